#include "Win32Window.h"

#include "VisibleText.h"
#include "WideText_win32.h"

#include <cstdio>
#include <memory>

UINT WindowDpi(HWND window) {
    // GetDpiForWindow exists from Windows 10 1607 on: looked up, not linked.
    using TGetDpiForWindow = UINT(WINAPI*)(HWND);
    static const auto getDpi = reinterpret_cast<TGetDpiForWindow>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpi && window)
        if (const UINT dpi = getDpi(window))
            return dpi;
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96u;
}

int Scaled(int designPixels, UINT dpi) {
    return MulDiv(designPixels, static_cast<int>(dpi), 96);
}

void PlaceControl(HWND control, const TDesignRect& place, UINT dpi) {
    SetWindowPos(control, nullptr, Scaled(place.left, dpi),
                 Scaled(place.top - SkinCaptionBand, dpi), Scaled(place.width, dpi),
                 Scaled(place.height, dpi), SWP_NOZORDER | SWP_NOACTIVATE);
}

SIZE FrameSize(DWORD style, int width, int height, UINT dpi) {
    RECT rect{0, 0, Scaled(width, dpi), Scaled(height - SkinCaptionBand, dpi)};
    using TAdjust = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static const auto adjustForDpi = reinterpret_cast<TAdjust>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi")));
    if (!adjustForDpi || !adjustForDpi(&rect, style, FALSE, 0, dpi))
        AdjustWindowRectEx(&rect, style, FALSE, 0);
    return {rect.right - rect.left, rect.bottom - rect.top};
}

namespace {
int CALLBACK FaceFound(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return 0;
}

const std::wstring& ChineseFace() {
    static const std::wstring face = [] {
        // Windows' own faces first, then the one a Linux host offers wine through fontconfig.
        HDC screen = GetDC(nullptr);
        std::wstring chosen = L"MS Shell Dlg 2";
        for (const wchar_t* candidate : {L"Microsoft YaHei", L"SimSun", L"WenQuanYi Micro Hei"}) {
            LOGFONTW wanted{};
            wanted.lfCharSet = DEFAULT_CHARSET;
            lstrcpynW(wanted.lfFaceName, candidate, LF_FACESIZE);
            bool found = false;
            EnumFontFamiliesExW(screen, &wanted, FaceFound, reinterpret_cast<LPARAM>(&found), 0);
            if (found) {
                chosen = candidate;
                break;
            }
        }
        ReleaseDC(nullptr, screen);
        return chosen;
    }();
    return face;
}
} // namespace

HFONT MakeChineseFont(int pixels, bool bold, UINT dpi) {
    return CreateFontW(-Scaled(pixels, dpi), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE,
                       FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                       CLEARTYPE_QUALITY, DEFAULT_PITCH, ChineseFace().c_str());
}

HWND MakeControl(HWND parent, const wchar_t* windowClass, const std::string& text, DWORD style,
                 int id, DWORD exStyle) {
    return CreateWindowExW(exStyle, windowClass, Widen(text).c_str(), WS_CHILD | style, 0, 0, 0, 0,
                           parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           GetModuleHandleW(nullptr), nullptr);
}

void ShowScrollBarAsNeeded(HWND edit) {
    ShowScrollBar(edit, SB_VERT, FALSE);
    HDC dc = GetDC(edit);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(edit, WM_GETFONT, 0, 0)));
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(edit, dc);
    RECT text{};
    SendMessageW(edit, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&text));
    const LRESULT lines = SendMessageW(edit, EM_GETLINECOUNT, 0, 0);
    if (lines * metrics.tmHeight > text.bottom - text.top)
        ShowScrollBar(edit, SB_VERT, TRUE);
}

std::string WindowTextOf(HWND window) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(
        static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return Narrow(text);
}

void EchoToTerminal(const std::string& text) {
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue; // a Windows line break is one break
        line += text[i] == '\n' || text[i] == '\r' ? ' ' : text[i];
    }
    // A line may carry text from outside (a cause quoting the server, a device's identity).
    std::fprintf(stderr, "%s\n", VisibleText(line).c_str());
    std::fflush(stderr);
}

void PostCall(HWND window, std::function<void()> call) {
    auto* posted = new std::function<void()>(std::move(call));
    if (!PostMessageW(window, WM_KESTREL_CALL, 0, reinterpret_cast<LPARAM>(posted)))
        delete posted; // the window is gone: nothing to show it on
}

void RunPostedCall(LPARAM call) {
    std::unique_ptr<std::function<void()>> posted(reinterpret_cast<std::function<void()>*>(call));
    (*posted)();
}

void DeliverPostedCalls(HWND window) {
    MSG message;
    while (PeekMessageW(&message, window, WM_KESTREL_CALL, WM_KESTREL_CALL, PM_REMOVE))
        RunPostedCall(message.lParam);
}

void DiscardPostedCalls(HWND window) {
    MSG message;
    while (PeekMessageW(&message, window, WM_KESTREL_CALL, WM_KESTREL_CALL, PM_REMOVE))
        delete reinterpret_cast<std::function<void()>*>(message.lParam);
}
