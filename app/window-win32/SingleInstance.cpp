#include "SingleInstance.h"

#include "WideText_win32.h"
#include "WindowTexts.h"

#include <commctrl.h>
#include <sddl.h>

#include <chrono>
#include <cstdio>

namespace {
// How long a later start looks for the first window: the first may still be creating it.
constexpr std::chrono::seconds AnswerWait{20};
// Between two looks while the mutex is held but no window is marked yet.
constexpr DWORD RetryPauseMs = 50;
// How long the first window may take to answer the request.
constexpr UINT AnswerTimeoutMs = 10000;
// The first window's answer to the request: it came to the front.
constexpr LRESULT Raised = 0x4B52;
constexpr UINT_PTR SubclassId = 0x4B53;

std::wstring InstanceName() {
    return Widen(WindowInstanceName());
}

// The property that marks the main window of this name.
std::wstring Mark() {
    return L"Kestrel.Window." + InstanceName();
}

UINT RaiseMessage() {
    static const UINT message = RegisterWindowMessageW(L"Kestrel.BringToFront");
    return message;
}

// The security id of the user running this process, as text ("S-1-5-21-..."); empty if unknown.
std::wstring UserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::wstring text;
    std::unique_ptr<BYTE[]> buffer(new BYTE[size ? size : 1]);
    if (size && GetTokenInformation(token, TokenUser, buffer.get(), size, &size)) {
        wchar_t* sid = nullptr;
        if (ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid, &sid)) {
            text = sid;
            LocalFree(sid);
        }
    }
    CloseHandle(token);
    return text;
}

BOOL CALLBACK FindMarked(HWND window, LPARAM found) {
    if (!GetPropW(window, Mark().c_str()))
        return TRUE;
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

LRESULT CALLBACK RaiseProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                           DWORD_PTR) {
    if (message != RaiseMessage())
        return DefSubclassProc(window, message, wParam, lParam);
    // The owner carries the task-bar entry: a minimised window is restored through it.
    for (HWND w : {GetWindow(window, GW_OWNER), window})
        if (w && IsIconic(w))
            ShowWindow(w, SW_RESTORE);
    ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
    std::fprintf(stderr, "kestrel: started again: this window was brought to the front\n");
    std::fflush(stderr);
    return Raised;
}
} // namespace

TSingleWindow::~TSingleWindow() {
    if (window_ && IsWindow(window_)) {
        RemoveWindowSubclass(window_, RaiseProc, SubclassId);
        RemovePropW(window_, Mark().c_str());
    }
    if (mutex_)
        CloseHandle(mutex_);
}

std::unique_ptr<TSingleWindow> TSingleWindow::Claim(std::string& message) {
    std::unique_ptr<TSingleWindow> self(new TSingleWindow);
    const std::wstring name = L"Local\\Kestrel." + InstanceName() + L"." + UserSid();
    const auto until = std::chrono::steady_clock::now() + AnswerWait;
    for (;;) {
        self->mutex_ = CreateMutexW(nullptr, FALSE, name.c_str());
        const DWORD error = GetLastError();
        if (!self->mutex_) {
            message = "kestrel: cannot create the mutex " + Narrow(name) + " (error " +
                      std::to_string(error) + "): a second window is not prevented";
            return self;
        }
        if (error != ERROR_ALREADY_EXISTS)
            return self;
        CloseHandle(self->mutex_);
        self->mutex_ = nullptr;
        HWND first = nullptr;
        EnumWindows(FindMarked, reinterpret_cast<LPARAM>(&first));
        if (first) {
            DWORD process = 0;
            GetWindowThreadProcessId(first, &process);
            // This start is what the user just did: it may hand the foreground on.
            AllowSetForegroundWindow(process);
            DWORD_PTR answer = 0;
            const bool raised = SendMessageTimeoutW(first, RaiseMessage(), 0, 0, SMTO_ABORTIFHUNG,
                                                    AnswerTimeoutMs, &answer) != 0 &&
                                static_cast<LRESULT>(answer) == Raised;
            message = raised ? "kestrel: the window is already open; it was brought to the front"
                             : "kestrel: the window is already open, but it did not come to the "
                               "front (it did not answer)";
            return nullptr;
        }
        // The mutex is held, but its window is not there yet (the first is starting) or any more
        // (it is ending): look again.
        if (std::chrono::steady_clock::now() >= until) {
            message = "kestrel: the window is already open, but it was not found to bring it to "
                      "the front";
            return nullptr;
        }
        Sleep(RetryPauseMs);
    }
}

void TSingleWindow::RaiseOnRequest(HWND window) {
    window_ = window;
    SetPropW(window, Mark().c_str(), reinterpret_cast<HANDLE>(1));
    SetWindowSubclass(window, RaiseProc, SubclassId, 0);
}
