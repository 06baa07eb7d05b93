#pragma once
// A small GIF89a writer over giflib: the pictures of both windows are drawn by our own program
// and stored with it, and the picture tests build their sample files with it. It writes exactly
// what it is given (palette indices, colour maps, frame rectangles, disposal, transparency), so
// that a reader can be checked against known data.
#include <cstdint>
#include <string>
#include <vector>

struct TGifColor {
    std::uint8_t r = 0, g = 0, b = 0;
};

struct TGifFrameData {
    int left = 0, top = 0, width = 0, height = 0;
    std::vector<std::uint8_t> pixels; // width * height palette indices, rows top to bottom;
                                      // each below the colour map's size
    std::vector<TGifColor> localMap;  // empty: the frame uses the global colour map
    int disposal = 0;                 // 0 unspecified, 1 keep, 2 clear to background, 3 previous
    int transparentIndex = -1;        // -1: no transparent colour
    int delayCs = 0;                  // delay after this frame, in hundredths of a second
    bool interlaced = false;
};

struct TGifData {
    int width = 0, height = 0;        // the logical screen
    std::vector<TGifColor> globalMap; // empty: no global colour map
    int backgroundIndex = 0;
    int loopCount = -1;                // -1: no NETSCAPE2.0 block; 0: repeat without end
    std::vector<TGifFrameData> frames; // at least one
};

// Writes the file; on failure returns false with a reason in `error`.
bool WriteGif(const std::string& path, const TGifData& gif, std::string& error);
