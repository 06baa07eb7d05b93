#include "HintWin.h"

#include "GifPicture.h"
#include "HintSteps.h"
#include "Resources.h"
#include "WideText_win32.h"
#include "WindowTexts.h"

THintForm* HintForm = nullptr;

namespace {
const wchar_t* const HintClass = L"KestrelHintForm";
// A caption without the system menu: no close button.
constexpr DWORD HintStyle = WS_POPUP | WS_CAPTION | WS_CLIPCHILDREN;
constexpr int ClientWidth = 339, ClientHeight = 335;
enum : int {
    IdSeen = THintForm::ResultSeen,
    IdNotSeen = THintForm::ResultNotSeen,
    IdDone = THintForm::ResultDone,
    IdMemo = 20,
    IdImg1,
    IdImg2,
    IdImg3
};
constexpr TDesignRect PlaceBut2{13, 299, 80, 27}, PlaceBut1{133, 299, 80, 27},
    PlaceBut3{245, 299, 80, 27}, PlacePicture{6, 32, 329, 209}, PlaceMemo{10, 250, 321, 41};
} // namespace

THintForm::THintForm(HWND owner) : owner_(owner) {
    static const bool registered = [] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = WindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
        windowClass.lpszClassName = HintClass;
        return RegisterClassExW(&windowClass) != 0;
    }();
    (void)registered;
    const SIZE frame = FrameSize(HintStyle, ClientWidth, ClientHeight, 96);
    window_ = CreateWindowExW(WS_EX_DLGMODALFRAME, HintClass,
                              Widen(WindowText::HintCaption).c_str(), HintStyle, 0, 0, frame.cx,
                              frame.cy, owner, nullptr, GetModuleHandleW(nullptr), this);
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    But2 = MakeControl(window_, L"BUTTON", HintText::Seen, WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                       IdSeen);
    But1 = MakeControl(window_, L"BUTTON", HintText::Done, WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                       IdDone);
    But3 = MakeControl(window_, L"BUTTON", HintText::NotSeen,
                       WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, IdNotSeen);
    IMG1 = GifPicture::Create(window_, IdImg1, WS_VISIBLE);
    GifPicture::Load(IMG1, GifPicture::Resource(KESTREL_PICTURE_POWER_OUT), "hint_power_out.gif");
    // Read-only, no border, red bold text (WM_CTLCOLORSTATIC).
    HintMemo =
        MakeControl(window_, L"EDIT", {},
                    WS_VISIBLE | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL, IdMemo);
    IMG2 = GifPicture::Create(window_, IdImg2, WS_VISIBLE);
    GifPicture::Load(IMG2, GifPicture::Resource(KESTREL_PICTURE_YES_KEY), "hint_yes_key.gif");
    IMG3 = GifPicture::Create(window_, IdImg3, WS_VISIBLE);
    GifPicture::Load(IMG3, GifPicture::Resource(KESTREL_PICTURE_POWER_IN), "hint_power_in.gif");
    ApplyDpi(WindowDpi(window_));
}

THintForm::~THintForm() {
    if (HintForm == this)
        HintForm = nullptr;
    DestroyWindow(window_);
    DeleteObject(buttonFont_);
    DeleteObject(memoFont_);
}

void THintForm::ApplyDpi(UINT dpi) {
    const HFONT old[] = {buttonFont_, memoFont_};
    buttonFont_ = MakeChineseFont(13, true, dpi);
    memoFont_ = MakeChineseFont(11, true, dpi); // three lines of the first step fit the memo
    for (HWND button : {But1, But2, But3})
        SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(buttonFont_), TRUE);
    SendMessageW(HintMemo, WM_SETFONT, reinterpret_cast<WPARAM>(memoFont_), TRUE);
    const std::pair<HWND, TDesignRect> places[] = {
        {But2, PlaceBut2},    {But1, PlaceBut1},    {But3, PlaceBut3},    {IMG1, PlacePicture},
        {IMG2, PlacePicture}, {IMG3, PlacePicture}, {HintMemo, PlaceMemo}};
    for (const auto& [control, place] : places)
        PlaceControl(control, place, dpi);
    for (HFONT font : old)
        DeleteObject(font);
}

LRESULT CALLBACK THintForm::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* form = reinterpret_cast<THintForm*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (form) {
        switch (message) {
        case WM_COMMAND:
            if (HIWORD(wParam) == BN_CLICKED &&
                (LOWORD(wParam) == IdSeen || LOWORD(wParam) == IdNotSeen ||
                 LOWORD(wParam) == IdDone))
                form->EndModal(LOWORD(wParam));
            return 0;
        case WM_CLOSE: // Alt+F4: ends the display without an answer
            form->EndModal(IDCANCEL);
            return 0;
        case WM_CTLCOLORSTATIC:
            if (reinterpret_cast<HWND>(lParam) == form->HintMemo) {
                SetTextColor(reinterpret_cast<HDC>(wParam), RGB(255, 0, 0));
                SetBkColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_BTNFACE));
                return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
            }
            break;
        case WM_DPICHANGED: {
            const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
            SetWindowPos(window, nullptr, suggested->left, suggested->top,
                         suggested->right - suggested->left, suggested->bottom - suggested->top,
                         SWP_NOZORDER | SWP_NOACTIVATE);
            form->ApplyDpi(HIWORD(wParam));
            return 0;
        }
        default:
            break;
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void THintForm::SetMemo(const std::string& text) {
    SetWindowTextW(HintMemo, Widen(text).c_str());
    SendMessageW(HintMemo, EM_SETSEL, 0, 0); // show the first line, not the last
    SendMessageW(HintMemo, EM_SCROLLCARET, 0, 0);
    ShowScrollBarAsNeeded(HintMemo);
}

int THintForm::ShowModal() {
    // Centred over the main window.
    RECT owner, own;
    GetWindowRect(owner_, &owner);
    GetWindowRect(window_, &own);
    SetWindowPos(window_, nullptr, (owner.left + owner.right - (own.right - own.left)) / 2,
                 (owner.top + owner.bottom - (own.bottom - own.top)) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    // The step's text on the terminal too: one line per display.
    EchoToTerminal(WindowTextOf(HintMemo));
    modalResult_ = 0;
    EnableWindow(owner_, FALSE);
    ShowWindow(window_, SW_SHOW);
    for (HWND picture : {IMG1, IMG2, IMG3})
        GifPicture::Resume(picture);
    MSG message;
    while (!modalResult_) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            // The program is ending: the request stays for the message loop.
            PostQuitMessage(got == 0 ? static_cast<int>(message.wParam) : 1);
            quit_ = true;
            break;
        }
        if (!IsDialogMessageW(window_, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    // Enabled before hidden: the activation goes back to the main window.
    EnableWindow(owner_, TRUE);
    ShowWindow(window_, SW_HIDE);
    return modalResult_;
}

int THintForm::ShowStep(HWND picture, bool lastStep, const std::string& text) {
    for (HWND each : {IMG1, IMG2, IMG3})
        ShowWindow(each, each == picture ? SW_SHOW : SW_HIDE);
    ShowWindow(But1, lastStep ? SW_HIDE : SW_SHOW);
    ShowWindow(But2, lastStep ? SW_SHOW : SW_HIDE);
    ShowWindow(But3, lastStep ? SW_SHOW : SW_HIDE);
    SetMemo(text);
    return quit_ ? 0 : ShowModal();
}

void THintForm::ShowHintSteps() {
    const auto& text = HintText::Steps;
    // A pass is four modal displays. Only the answer to the last one counts: "看到了" ends the
    // steps; "没有看到" or closing the dialog otherwise starts them again.
    int result = 0;
    quit_ = false;
    do {
        ShowStep(IMG1, false, std::string(text[0]) + "\r\n" + text[1]);
        ShowStep(IMG2, false, text[2]);
        ShowStep(IMG3, false, text[3]);
        result = ShowStep(IMG3, true, text[4]);
    } while (result != ResultSeen && !quit_);
    modalResult_ = 0;
}
