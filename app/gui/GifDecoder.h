#pragma once
// The GIF decoder of the windows' pictures, over giflib: it composes the frames the way they are
// meant to be seen, into QImages (Qt Gui only, no widgets).
#include <QByteArray>
#include <QImage>
#include <QString>

#include <optional>
#include <vector>

struct TGifAnimation {
    QSize size;                 // the logical screen
    std::vector<QImage> frames; // composed, screen-sized, ARGB32 (transparent where undrawn)
    std::vector<int> delaysMs;  // per frame, as stored (hundredths of a second times 10)
    int loopCount = -1;         // NETSCAPE2.0 count: 0 repeats without end; -1 = no loop block
};

// What a picture may declare, checked before anything is allocated for it: the windows'
// pictures are a few hundred pixels a side with at most a few dozen frames, so these leave a wide
// margin while a hostile file cannot make the decoder ask for more than about 64 MiB of frames.
constexpr int kGifMaxSide = 4096; // screen and frame, each side
constexpr int kGifMaxFrames = 1000;
constexpr qint64 kGifMaxPixels = 16 << 20; // composed frames × screen, and all frames' own pixels

// Composition rules: the canvas starts transparent; a frame's transparent index and indices
// beyond its colour map leave the canvas as it is; after a frame has been shown, disposal 2
// clears its rectangle to transparent, disposal 3 restores the canvas from before the frame, and
// 0, 1 (and the undefined 4 to 7) leave it. Frame rectangles are clipped to the screen. A picture
// beyond the limits above is refused with an error naming the size.
std::optional<TGifAnimation> DecodeGif(const QByteArray& bytes, QString* error = nullptr);
// A file or a Qt resource path (":/pictures/radar.gif").
std::optional<TGifAnimation> LoadGif(const QString& path, QString* error = nullptr);
