#pragma once
// The picture control of the two windows: a child window that shows a decoded GIF (GifDecoder.h)
// centred, drawn with its alpha over the window's background, and animates it while visible,
// following the frames' delays and the loop count (0: without end; n: n repetitions after the
// first pass; no loop block: one pass). At more than 96 dpi the picture is scaled with the layout.
#include "GifDecoder.h"
#include "Win32Window.h"

#include <cstdint>
#include <span>

namespace GifPicture {
// Creates the control, hidden, as a child of `parent` (WS_VISIBLE in `style` shows it).
HWND Create(HWND parent, int id, DWORD style = 0);
// Decodes `bytes` into the control; false (and the reason on standard error) when they are no
// picture.
bool Load(HWND picture, std::span<const uint8_t> bytes, const char* name);
// The bytes of an RCDATA resource of this program (empty when it is missing).
std::span<const uint8_t> Resource(int id);
// Starts the animation when the picture has become visible with its window (a shown parent
// does not tell its children).
void Resume(HWND picture);
// The frame on show, and the frame changes since the picture was loaded.
int CurrentFrame(HWND picture);
long long FrameChanges(HWND picture);
bool IsAnimating(HWND picture);
// Frame 0 of a decoded picture as an icon (the window icon); nullptr when there is none.
HICON MakeIcon(const TGifAnimation& animation);
} // namespace GifPicture
