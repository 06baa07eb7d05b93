// The GIF decoder of the windows' pictures on any bytes: refused, or frames that agree with the
// picture's screen and stay within the decoder's limits.
#include "GifDecoder.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const QByteArray input =
        QByteArray::fromRawData(reinterpret_cast<const char*>(bytes), static_cast<qsizetype>(size));
    QString error;
    const auto picture = DecodeGif(input, &error);
    if (!picture) {
        if (error.isEmpty()) {
            std::fprintf(stderr, "refused without a reason\n");
            std::abort();
        }
        return 0;
    }
    const QSize screen = picture->size;
    bool sane = !picture->frames.empty() && picture->frames.size() == picture->delaysMs.size() &&
                picture->frames.size() <= size_t{kGifMaxFrames} && screen.width() <= kGifMaxSide &&
                screen.height() <= kGifMaxSide;
    for (const QImage& frame : picture->frames)
        sane = sane && frame.size() == screen && frame.format() == QImage::Format_ARGB32;
    if (!sane) {
        std::fprintf(stderr, "decoded %zu frames that do not fit a %d x %d screen\n",
                     picture->frames.size(), screen.width(), screen.height());
        std::abort();
    }
    return 0;
}
