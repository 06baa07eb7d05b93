// The GIF decoder of the windows' pictures on any bytes: refused, or frames that agree with the
// picture's screen and stay within the decoder's limits.
#include "GifDecoder.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    std::string error;
    const auto picture = DecodeGif({bytes, size}, &error);
    if (!picture) {
        if (error.empty()) {
            std::fprintf(stderr, "refused without a reason\n");
            std::abort();
        }
        return 0;
    }
    const size_t screen =
        static_cast<size_t>(picture->width) * static_cast<size_t>(picture->height);
    bool sane = !picture->frames.empty() && picture->frames.size() <= size_t{kGifMaxFrames} &&
                picture->width <= kGifMaxSide && picture->height <= kGifMaxSide;
    for (const TGifFrame& frame : picture->frames)
        sane = sane && frame.pixels.size() == screen;
    if (!sane) {
        std::fprintf(stderr, "decoded %zu frames that do not fit a %d x %d screen\n",
                     picture->frames.size(), picture->width, picture->height);
        std::abort();
    }
    return 0;
}
