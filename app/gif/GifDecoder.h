#pragma once
// The GIF decoder of the windows' pictures, over giflib: it composes the frames the way they are
// meant to be seen, as plain pixels that each window toolkit draws its own way.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct TGifFrame {
    // The screen as it looks while this frame is shown: width × height pixels, rows top to
    // bottom, each 0xAARRGGBB with straight alpha (0x00000000 where nothing has been drawn).
    std::vector<uint32_t> pixels;
    int delayMs = 0;  // as stored (hundredths of a second times 10)
    int disposal = 0; // the frame's disposal method as stored (0 to 7), already applied
};

struct TGifAnimation {
    int width = 0, height = 0; // the logical screen
    std::vector<TGifFrame> frames;
    int loopCount = -1; // NETSCAPE2.0 count: 0 repeats without end; -1 = no loop block
};

// What a picture may declare, checked before anything is allocated for it: the windows'
// pictures are a few hundred pixels a side with at most a few dozen frames, so these leave a wide
// margin while a hostile file cannot make the decoder ask for more than about 64 MiB of frames.
constexpr int kGifMaxSide = 4096; // screen and frame, each side
constexpr int kGifMaxFrames = 1000;
constexpr int64_t kGifMaxPixels = 16 << 20; // composed frames × screen, and all frames' own pixels

// Composition rules: the canvas starts transparent; a frame's transparent index and indices
// beyond its colour map leave the canvas as it is; after a frame has been shown, disposal 2
// clears its rectangle to transparent, disposal 3 restores the canvas from before the frame, and
// 0, 1 (and the undefined 4 to 7) leave it. Frame rectangles are clipped to the screen. A picture
// beyond the limits above is refused with an error (English) naming the size.
std::optional<TGifAnimation> DecodeGif(std::span<const uint8_t> bytes,
                                       std::string* error = nullptr);

// Which frame a picture shows, and when the next one comes: frame 0 first; with several frames
// the frames follow their delays (very short ones, 10 ms or less, last 100 ms, as browsers show
// them) and the loop count (0: without end; n: n repetitions after the first pass; no loop
// block: one pass), ending on the last frame. The animation must outlive the playback.
class TGifPlayback {
public:
    TGifPlayback() = default;
    explicit TGifPlayback(const TGifAnimation& animation);

    int Frame() const { return frame_; }
    // How long the current frame stays before the next; nothing when none comes.
    std::optional<int> DelayMs() const;
    // Moves on to the next frame; false (and nothing changes) when none comes.
    bool Advance();

private:
    const TGifAnimation* animation_ = nullptr;
    int frame_ = 0;
    int passesLeft_ = 0; // further passes after the current one; -1: without end
};
