#include "WindowThreadLink.h"

#include "GifPicture.h"
#include "HintWin.h"
#include "MainWindow.h"
#include "WideText_win32.h"
#include "WindowTexts.h"

#include <commctrl.h>

#include <algorithm>

// PBar as the device and server links see it.
class TWindowThreadLink::TFormProgress : public TProgressBar {
public:
    explicit TFormProgress(TWindowThreadLink& link) : link_(link) {}
    void SetMax(int max) override {
        link_.Dispatch([bar = link_.form_.PBar, max] {
            SendMessageW(bar, PBM_SETRANGE32, 0, std::max(max, 1));
        });
    }
    void SetPosition(int position) override {
        link_.Dispatch([bar = link_.form_.PBar, position] {
            const int high = static_cast<int>(SendMessageW(bar, PBM_GETRANGE, FALSE, 0));
            SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(std::clamp(position, 0, high)), 0);
        });
    }

private:
    TWindowThreadLink& link_;
};

TWindowThreadLink::TWindowThreadLink(TForm_Main& form)
    : form_(form), progress_(std::make_unique<TFormProgress>(*this)),
      deviceType_(form.BoxText(form.CBox_HardTyp)) {}

TWindowThreadLink::~TWindowThreadLink() = default;

bool TWindowThreadLink::OnWindowThread() const {
    return GetWindowThreadProcessId(form_.Handle(), nullptr) == GetCurrentThreadId();
}

template <typename F> void TWindowThreadLink::Dispatch(F action) {
    if (OnWindowThread())
        action();
    else // never wait: the window's thread may itself be waiting for the caller
        PostCall(form_.Handle(), std::move(action));
}

void TWindowThreadLink::ShowStatus(const std::string& text) {
    Dispatch([this, text] { form_.SetStatusText(text); });
}

void TWindowThreadLink::ShowCause(const std::string& cause) {
    Dispatch([this, cause] { form_.SetCause(cause); });
}

TProgressBar& TWindowThreadLink::ProgressBar() {
    return *progress_;
}

void TWindowThreadLink::ShowBusy(bool busy) {
    Dispatch([this, busy] {
        ShowWindow(form_.IMG1, busy ? SW_HIDE : SW_SHOW);
        ShowWindow(form_.IMG2, busy ? SW_SHOW : SW_HIDE);
    });
}

void TWindowThreadLink::SetStartEnabled(bool enabled) {
    Dispatch([this, enabled] { EnableWindow(form_.But_Stat, enabled); });
}

void TWindowThreadLink::SetStopEnabled(bool enabled) {
    Dispatch([this, enabled] { EnableWindow(form_.But_Stop, enabled); });
}

void TWindowThreadLink::Repaint() {
    if (OnWindowThread())
        RedrawWindow(form_.Handle(), nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    else
        InvalidateRect(form_.Handle(), nullptr, FALSE); // thread-safe: painted by its thread
}

void TWindowThreadLink::ProcessMessages() {
    if (!OnWindowThread())
        return;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // The end of the program belongs to the message loop, after the current action.
            PostQuitMessage(static_cast<int>(message.wParam));
            return;
        }
        if (!IsDialogMessageW(form_.Handle(), &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

void TWindowThreadLink::ShowPort(const TPortId& port) {
    Dispatch([this, comId = port.number, path = port.path] {
        if (comId < 1)
            return;
        form_.SelectPort(comId);
        EchoToTerminal(WindowTextOf(form_.Label2) + "COM" + std::to_string(comId) +
                       (path.empty() ? std::string() : " " + path));
    });
}

void TWindowThreadLink::SetDeviceType(const std::string& text) {
    {
        std::lock_guard lock(deviceTypeMutex_);
        deviceType_ = text;
    }
    Dispatch([this, text] { form_.SetDeviceTypeText(text); });
}

std::string TWindowThreadLink::DeviceType() {
    std::lock_guard lock(deviceTypeMutex_);
    return deviceType_;
}

void TWindowThreadLink::Sleep(int ms) {
    if (ms > 0)
        ::Sleep(static_cast<DWORD>(ms));
}

void TWindowThreadLink::ShowHintSteps() {
    Dispatch([this] {
        if (hintForm_)
            hintForm_->ShowHintSteps();
    });
}

void TWindowThreadLink::RequestTerminate() {
    // Posted: the message loop ends once the current action has returned to it.
    PostMessageW(form_.Handle(), WM_KESTREL_TERMINATE, 0, 0);
}

void TWindowThreadLink::ShowError(const std::string& text) {
    Dispatch([this, text] {
        EchoToTerminal(text);
        MessageBoxW(form_.Handle(), Widen(text).c_str(),
                    Widen(WindowText::ApplicationTitle).c_str(), MB_OK | MB_ICONERROR);
    });
}
