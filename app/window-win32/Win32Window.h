#pragma once
// What the window program's Win32 parts share: the layout scale (the design is in pixels at
// 96 dpi), the Chinese font chosen by enumeration, child controls placed by their design
// rectangle, the echo of window texts on standard error, and calls carried to a window's thread
// as posted messages.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <functional>
#include <string>

// A rectangle of the design: left, top, width, height in pixels at 96 dpi.
struct TDesignRect {
    int left, top, width, height;
};

// The messages of the program's own windows.
enum : UINT {
    WM_KESTREL_CALL = WM_APP + 1, // lParam: a std::function<void()>* to run and delete
    WM_KESTREL_TERMINATE,         // end the message loop
};

// The designs are those of skinned forms, whose client area begins with the skin's own caption
// band (30 px, as the Qt window draws it). Here the system's caption is the title bar: the
// client area is that much shorter, and every control that much higher.
inline constexpr int SkinCaptionBand = 30;

// The dots per inch of `window` (GetDpiForWindow where the system has it, else the screen's).
UINT WindowDpi(HWND window);
int Scaled(int designPixels, UINT dpi);
// Places `control` at its design rectangle (moved up by SkinCaptionBand) scaled to `dpi`.
void PlaceControl(HWND control, const TDesignRect& place, UINT dpi);
// The outer size of a top-level window of `style` whose design client area (the skinned
// form's, SkinCaptionBand included) is `width` × `height`, at `dpi`.
SIZE FrameSize(DWORD style, int width, int height, UINT dpi);

// A font for Chinese text: the first face the system has of "Microsoft YaHei", "SimSun" and
// "WenQuanYi Micro Hei" (a face it lacks would show boxes), `pixels` high at 96 dpi.
HFONT MakeChineseFont(int pixels, bool bold, UINT dpi);

// A child control of `parent` with the given class, text (UTF-8), style and id.
HWND MakeControl(HWND parent, const wchar_t* windowClass, const std::string& text, DWORD style,
                 int id, DWORD exStyle = 0);
// A multi-line text box's vertical scroll bar only when its text does not fit (the box keeps
// its width for the text otherwise).
void ShowScrollBarAsNeeded(HWND edit);
// The text of a window, UTF-8.
std::string WindowTextOf(HWND window);

// Copies a text the windows show to standard error as one line (line breaks become spaces), so
// that a run can be followed from a terminal.
void EchoToTerminal(const std::string& text);

// Runs `call` on the thread of `window`: posted, never waiting for that thread. The window's
// procedure runs it on WM_KESTREL_CALL (RunPostedCall).
void PostCall(HWND window, std::function<void()> call);
// The window procedure's part: runs and releases the call of a WM_KESTREL_CALL message.
void RunPostedCall(LPARAM call);
// Runs the calls already posted to `window`, in order (and releases them).
void DeliverPostedCalls(HWND window);
// Releases calls posted to `window` without running them (the window is going away).
void DiscardPostedCalls(HWND window);
