#include "GifPicture.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {
const wchar_t* const PictureClass = L"KestrelPicture";
constexpr UINT_PTR FrameTimer = 1;

// One frame as a top-down 32-bit DIB with premultiplied alpha, which GdiAlphaBlend expects.
HBITMAP MakeBitmap(const std::vector<uint32_t>& pixels, int width, int height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap)
        return nullptr;
    auto* out = static_cast<uint32_t*>(bits);
    for (size_t i = 0; i < pixels.size(); ++i) {
        const uint32_t p = pixels[i], a = p >> 24;
        const uint32_t r = ((p >> 16) & 0xff) * a / 255, g = ((p >> 8) & 0xff) * a / 255,
                       b = (p & 0xff) * a / 255;
        out[i] = (a << 24) | (r << 16) | (g << 8) | b;
    }
    return bitmap;
}

struct TPicture {
    TGifAnimation animation;
    std::vector<HBITMAP> bitmaps;
    TGifPlayback playback;
    long long changes = 0;
    bool animating = false;

    ~TPicture() { Clear(); }
    void Clear() {
        for (HBITMAP bitmap : bitmaps)
            DeleteObject(bitmap);
        bitmaps.clear();
    }
};

TPicture* PictureOf(HWND window) {
    return reinterpret_cast<TPicture*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

void ScheduleNext(HWND window, TPicture& picture) {
    picture.animating = false;
    KillTimer(window, FrameTimer);
    if (!IsWindowVisible(window))
        return;
    if (const std::optional<int> delay = picture.playback.DelayMs()) {
        SetTimer(window, FrameTimer, static_cast<UINT>(*delay), nullptr);
        picture.animating = true;
    }
}

void Advance(HWND window, TPicture& picture) {
    if (picture.playback.Advance()) {
        ++picture.changes;
        InvalidateRect(window, nullptr, FALSE);
    }
    ScheduleNext(window, picture);
}

void Paint(HWND window, TPicture* picture) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT all;
    GetClientRect(window, &all);
    // The parent's background, which the picture's transparent pixels let through.
    FillRect(dc, &all, GetSysColorBrush(COLOR_BTNFACE));
    if (picture && !picture->bitmaps.empty()) {
        const UINT dpi = WindowDpi(window);
        const int width = Scaled(picture->animation.width, dpi);
        const int height = Scaled(picture->animation.height, dpi);
        HDC memory = CreateCompatibleDC(dc);
        HGDIOBJ old =
            SelectObject(memory, picture->bitmaps[static_cast<size_t>(picture->playback.Frame())]);
        const BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
        // gdi32's own export: msimg32's AlphaBlend only forwards to it, and msimg32 is no known
        // DLL, which Windows would look for in the program's folder first.
        GdiAlphaBlend(dc, (all.right - width) / 2, (all.bottom - height) / 2, width, height, memory,
                      0, 0, picture->animation.width, picture->animation.height, blend);
        SelectObject(memory, old);
        DeleteDC(memory);
    }
    EndPaint(window, &paint);
}

LRESULT CALLBACK PictureProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    TPicture* picture = PictureOf(window);
    switch (message) {
    case WM_NCCREATE:
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new TPicture));
        break;
    case WM_NCDESTROY:
        delete picture;
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        break;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        Paint(window, picture);
        return 0;
    case WM_SHOWWINDOW:
        // Animated only while on show: a hidden picture costs no timer.
        if (picture) {
            if (wParam) {
                if (!picture->animating)
                    PostMessageW(window, WM_TIMER, 0, 0); // once visible: schedule, not advance
            } else {
                KillTimer(window, FrameTimer);
                picture->animating = false;
            }
        }
        return 0;
    case WM_TIMER:
        if (picture) {
            if (wParam == FrameTimer)
                Advance(window, *picture);
            else if (!picture->animating)
                ScheduleNext(window, *picture);
        }
        return 0;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void RegisterPictureClass() {
    static const bool registered = [] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = PictureProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.lpszClassName = PictureClass;
        return RegisterClassExW(&windowClass) != 0;
    }();
    (void)registered;
}
} // namespace

namespace GifPicture {
HWND Create(HWND parent, int id, DWORD style) {
    RegisterPictureClass();
    return MakeControl(parent, PictureClass, {}, style, id);
}

bool Load(HWND window, std::span<const uint8_t> bytes, const char* name) {
    TPicture* picture = PictureOf(window);
    std::string error;
    std::optional<TGifAnimation> animation = DecodeGif(bytes, &error);
    if (!picture || !animation || animation->frames.empty()) {
        EchoToTerminal(std::string("picture ") + name + ": " +
                       (error.empty() ? "no frames" : error));
        return false;
    }
    KillTimer(window, FrameTimer);
    picture->Clear();
    picture->animation = std::move(*animation);
    for (const TGifFrame& frame : picture->animation.frames)
        picture->bitmaps.push_back(
            MakeBitmap(frame.pixels, picture->animation.width, picture->animation.height));
    picture->playback = TGifPlayback(picture->animation);
    picture->changes = 0;
    ScheduleNext(window, *picture);
    InvalidateRect(window, nullptr, FALSE);
    return true;
}

std::span<const uint8_t> Resource(int id) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), RT_RCDATA);
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes)
        return {};
    return {static_cast<const uint8_t*>(bytes), SizeofResource(module, found)};
}

void Resume(HWND window) {
    PostMessageW(window, WM_TIMER, 0, 0);
}

int CurrentFrame(HWND window) {
    const TPicture* picture = PictureOf(window);
    return picture ? picture->playback.Frame() : -1;
}

long long FrameChanges(HWND window) {
    const TPicture* picture = PictureOf(window);
    return picture ? picture->changes : 0;
}

bool IsAnimating(HWND window) {
    const TPicture* picture = PictureOf(window);
    return picture && picture->animating;
}

HICON MakeIcon(const TGifAnimation& animation) {
    if (animation.frames.empty())
        return nullptr;
    HBITMAP colour = MakeBitmap(animation.frames[0].pixels, animation.width, animation.height);
    // The mask is unused with a 32-bit colour bitmap that has alpha, but must be there.
    HBITMAP mask = CreateBitmap(animation.width, animation.height, 1, 1, nullptr);
    ICONINFO info{TRUE, 0, 0, mask, colour};
    HICON icon = colour && mask ? CreateIconIndirect(&info) : nullptr;
    DeleteObject(colour);
    DeleteObject(mask);
    return icon;
}
} // namespace GifPicture
