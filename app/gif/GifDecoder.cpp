#include "GifDecoder.h"

#include <QFile>

#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

struct Reader {
    const QByteArray& bytes;
    qsizetype pos = 0;
};

int ReadBytes(GifFileType* file, GifByteType* into, int count) {
    auto* reader = static_cast<Reader*>(file->UserData);
    const qsizetype n = std::min<qsizetype>(count, reader->bytes.size() - reader->pos);
    if (n <= 0)
        return 0;
    std::memcpy(into, reader->bytes.constData() + reader->pos, static_cast<size_t>(n));
    reader->pos += n;
    return static_cast<int>(n);
}

struct FileCloser {
    void operator()(GifFileType* file) const {
        int ignored = 0;
        DGifCloseFile(file, &ignored);
    }
};

bool Fail(QString* error, const QString& text) {
    if (error)
        *error = text;
    return false;
}

// giflib fails some reads (a descriptor cut short before its code size) without an error code.
QString GiflibError(int code) {
    const char* text = GifErrorString(code);
    return text ? QString::fromUtf8(text) : QStringLiteral("damaged GIF picture");
}

// The NETSCAPE2.0 (or ANIMEXTS1.0) application block: an 11-byte identifier followed by the
// sub-block {1, lo, hi}. `id` is the extension's first sub-block; reads the rest of it.
bool ReadExtension(GifFileType* file, int function, GifByteType* id, int& loopCount,
                   GraphicsControlBlock* gcb) {
    if (function == GRAPHICS_EXT_FUNC_CODE && gcb && id &&
        DGifExtensionToGCB(id[0], id + 1, gcb) == GIF_ERROR)
        *gcb = GraphicsControlBlock{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
    const bool loopBlock = function == APPLICATION_EXT_FUNC_CODE && id && id[0] == 11 &&
                           (std::memcmp(id + 1, "NETSCAPE2.0", 11) == 0 ||
                            std::memcmp(id + 1, "ANIMEXTS1.0", 11) == 0);
    GifByteType* next = id;
    for (bool first = true; next; first = false) {
        if (DGifGetExtensionNext(file, &next) == GIF_ERROR)
            return false;
        if (first && loopBlock && next && next[0] >= 3 && next[1] == 1)
            loopCount = next[2] | (next[3] << 8);
    }
    return true;
}

// The frame's palette indices, rows top to bottom (interlaced frames come in four passes).
bool ReadPixels(GifFileType* file, const GifImageDesc& desc, std::vector<GifByteType>& pixels) {
    const auto width = static_cast<size_t>(desc.Width);
    pixels.resize(width * static_cast<size_t>(desc.Height));
    if (!desc.Interlace)
        return DGifGetLine(file, pixels.data(), static_cast<int>(pixels.size())) != GIF_ERROR;
    constexpr int offsets[] = {0, 4, 2, 1}, steps[] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (int y = offsets[pass]; y < desc.Height; y += steps[pass])
            if (DGifGetLine(file, pixels.data() + static_cast<size_t>(y) * width, desc.Width) ==
                GIF_ERROR)
                return false;
    return true;
}

// Draws the frame onto the canvas, clipped to the screen.
void Draw(QImage& canvas, const GifImageDesc& desc, const std::vector<GifByteType>& pixels,
          const ColorMapObject& map, int transparent) {
    const QRect area = QRect(desc.Left, desc.Top, desc.Width, desc.Height) & canvas.rect();
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const GifByteType* row =
            pixels.data() + static_cast<size_t>(y - desc.Top) * static_cast<size_t>(desc.Width);
        auto* out = reinterpret_cast<QRgb*>(canvas.scanLine(y));
        for (int x = area.left(); x <= area.right(); ++x) {
            const int index = row[x - desc.Left];
            if (index == transparent || index >= map.ColorCount)
                continue;
            const GifColorType& c = map.Colors[index];
            out[x] = qRgb(c.Red, c.Green, c.Blue);
        }
    }
}

QString TooLarge(int width, int height) {
    return QStringLiteral("%1 × %2 pixels, at most %3 × %3")
        .arg(width)
        .arg(height)
        .arg(kGifMaxSide);
}

} // namespace

// The frames are read one by one with giflib's record functions, so that every size is checked
// before anything is allocated for it: the screen before the canvas, each frame before its
// pixels are decoded.
std::optional<TGifAnimation> DecodeGif(const QByteArray& bytes, QString* error) {
    // The version is read from the header itself: giflib's own report of it is not reliable.
    if (bytes.size() < 13 || !(bytes.startsWith("GIF89a") || bytes.startsWith("GIF87a"))) {
        Fail(error, QStringLiteral("not a GIF picture"));
        return std::nullopt;
    }
    Reader reader{bytes};
    int code = 0;
    std::unique_ptr<GifFileType, FileCloser> file(DGifOpen(&reader, ReadBytes, &code));
    if (!file) {
        Fail(error, GiflibError(code));
        return std::nullopt;
    }
    auto giflibFailed = [&] {
        Fail(error, GiflibError(file->Error));
        return std::nullopt;
    };
    const int width = file->SWidth, height = file->SHeight;
    if (width <= 0 || height <= 0) {
        Fail(error, QStringLiteral("empty GIF picture"));
        return std::nullopt;
    }
    if (width > kGifMaxSide || height > kGifMaxSide) {
        Fail(error,
             QStringLiteral("GIF picture too large: its screen is ") + TooLarge(width, height));
        return std::nullopt;
    }

    TGifAnimation result;
    result.size = QSize(width, height);
    QImage canvas(width, height, QImage::Format_ARGB32);
    if (canvas.isNull()) {
        Fail(error, QStringLiteral("GIF picture too large: no memory for its %1 × %2 canvas")
                        .arg(width)
                        .arg(height));
        return std::nullopt;
    }
    canvas.fill(Qt::transparent);
    const qint64 screenPixels = qint64{width} * height;
    qint64 framePixels = 0; // decoded so far, the frames' own rectangles
    int leadingLoop = -1;   // a loop block before the first frame
    int trailingLoop = -1;  // one after the last frame
    GraphicsControlBlock gcb{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
    bool gcbSeen = false; // the first control block before a frame is the frame's
    std::vector<GifByteType> pixels;
    for (GifRecordType record = UNDEFINED_RECORD_TYPE; record != TERMINATE_RECORD_TYPE;) {
        if (DGifGetRecordType(file.get(), &record) == GIF_ERROR)
            return giflibFailed();
        if (record == EXTENSION_RECORD_TYPE) {
            int function = 0;
            GifByteType* first = nullptr;
            if (DGifGetExtension(file.get(), &function, &first) == GIF_ERROR)
                return giflibFailed();
            const bool control = function == GRAPHICS_EXT_FUNC_CODE && !gcbSeen;
            gcbSeen = gcbSeen || function == GRAPHICS_EXT_FUNC_CODE;
            int& loop = result.frames.empty() ? leadingLoop : trailingLoop;
            const int before = loop;
            if (!ReadExtension(file.get(), function, first, loop, control ? &gcb : nullptr))
                return giflibFailed();
            if (before >= 0) // the first loop block counts
                loop = before;
            continue;
        }
        if (record != IMAGE_DESC_RECORD_TYPE)
            continue;

        if (DGifGetImageDesc(file.get()) == GIF_ERROR)
            return giflibFailed();
        const GifImageDesc& desc = file->Image;
        const int i = static_cast<int>(result.frames.size());
        if (desc.Width <= 0 || desc.Height <= 0) {
            Fail(error, QStringLiteral("GIF frame %1 has no pixels").arg(i));
            return std::nullopt;
        }
        if (desc.Width > kGifMaxSide || desc.Height > kGifMaxSide) {
            Fail(error, QStringLiteral("GIF frame %1 too large: ").arg(i) +
                            TooLarge(desc.Width, desc.Height));
            return std::nullopt;
        }
        framePixels += qint64{desc.Width} * desc.Height;
        if (i + 1 > kGifMaxFrames) {
            Fail(
                error,
                QStringLiteral("GIF picture has too many frames: more than %1").arg(kGifMaxFrames));
            return std::nullopt;
        }
        if (screenPixels * (i + 1) > kGifMaxPixels || framePixels > kGifMaxPixels) {
            Fail(error, QStringLiteral("GIF picture too large: with frame %1 its frames would "
                                       "hold more than %2 pixels")
                            .arg(i)
                            .arg(kGifMaxPixels));
            return std::nullopt;
        }
        const ColorMapObject* map = desc.ColorMap ? desc.ColorMap : file->SColorMap;
        if (!map) {
            Fail(error, QStringLiteral("frame %1 has no colour map").arg(i));
            return std::nullopt;
        }
        if (!ReadPixels(file.get(), desc, pixels))
            return giflibFailed();

        const QImage before = gcb.DisposalMode == DISPOSE_PREVIOUS ? canvas.copy() : QImage();
        Draw(canvas, desc, pixels, *map, gcb.TransparentColor);
        result.frames.push_back(canvas.copy());
        result.delaysMs.push_back(gcb.DelayTime * 10);
        if (gcb.DisposalMode == DISPOSE_BACKGROUND) {
            const QRect area = QRect(desc.Left, desc.Top, desc.Width, desc.Height) & canvas.rect();
            for (int y = area.top(); y <= area.bottom(); ++y) {
                auto* out = reinterpret_cast<QRgb*>(canvas.scanLine(y));
                std::fill(out + area.left(), out + area.right() + 1, qRgba(0, 0, 0, 0));
            }
        } else if (gcb.DisposalMode == DISPOSE_PREVIOUS) {
            canvas = before;
        }
        gcb = GraphicsControlBlock{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
        gcbSeen = false;
        trailingLoop = -1;
    }
    if (result.frames.empty()) {
        Fail(error, QStringLiteral("empty GIF picture"));
        return std::nullopt;
    }
    result.loopCount = leadingLoop >= 0 ? leadingLoop : trailingLoop;
    return result;
}

std::optional<TGifAnimation> LoadGif(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        Fail(error, file.errorString());
        return std::nullopt;
    }
    return DecodeGif(file.readAll(), error);
}
