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

// The NETSCAPE2.0 (or ANIMEXTS1.0) application block: an 11-byte identifier followed by the
// sub-block {1, lo, hi}. giflib hands the sub-block over as a separate continuation block.
int FindLoopCount(const ExtensionBlock* blocks, int count) {
    for (int i = 0; i + 1 < count; ++i) {
        const ExtensionBlock& id = blocks[i];
        if (id.Function != APPLICATION_EXT_FUNC_CODE || id.ByteCount != 11)
            continue;
        if (std::memcmp(id.Bytes, "NETSCAPE2.0", 11) != 0 &&
            std::memcmp(id.Bytes, "ANIMEXTS1.0", 11) != 0)
            continue;
        const ExtensionBlock& data = blocks[i + 1];
        if (data.Function == CONTINUE_EXT_FUNC_CODE && data.ByteCount >= 3 && data.Bytes[0] == 1)
            return data.Bytes[1] | (data.Bytes[2] << 8);
    }
    return -1;
}

bool Fail(QString* error, const QString& text) {
    if (error)
        *error = text;
    return false;
}

} // namespace

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
        Fail(error, QString::fromUtf8(GifErrorString(code)));
        return std::nullopt;
    }
    if (DGifSlurp(file.get()) == GIF_ERROR) {
        Fail(error, QString::fromUtf8(GifErrorString(file->Error)));
        return std::nullopt;
    }
    const int width = file->SWidth, height = file->SHeight;
    if (width <= 0 || height <= 0 || file->ImageCount <= 0) {
        Fail(error, QStringLiteral("empty GIF picture"));
        return std::nullopt;
    }

    TGifAnimation result;
    result.size = QSize(width, height);
    result.loopCount = FindLoopCount(file->SavedImages[0].ExtensionBlocks,
                                     file->SavedImages[0].ExtensionBlockCount);
    if (result.loopCount < 0)
        result.loopCount = FindLoopCount(file->ExtensionBlocks, file->ExtensionBlockCount);

    // Every frame is kept composed: refuse pictures that would not fit in a sane amount of memory.
    const double total = 4.0 * width * height * file->ImageCount;
    QImage canvas(width, height, QImage::Format_ARGB32);
    if (total > 512.0 * 1024 * 1024 || canvas.isNull()) {
        Fail(error, QStringLiteral("GIF picture too large"));
        return std::nullopt;
    }
    canvas.fill(Qt::transparent);
    for (int i = 0; i < file->ImageCount; ++i) {
        const SavedImage& image = file->SavedImages[i];
        const GifImageDesc& desc = image.ImageDesc;
        GraphicsControlBlock gcb{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
        if (DGifSavedExtensionToGCB(file.get(), i, &gcb) == GIF_ERROR)
            gcb = GraphicsControlBlock{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
        const ColorMapObject* map = desc.ColorMap ? desc.ColorMap : file->SColorMap;
        if (!map || !image.RasterBits) {
            Fail(error, QStringLiteral("frame %1 has no colour map").arg(i));
            return std::nullopt;
        }

        const QImage before = gcb.DisposalMode == DISPOSE_PREVIOUS ? canvas.copy() : QImage();
        const QRect area =
            QRect(desc.Left, desc.Top, desc.Width, desc.Height) & QRect(0, 0, width, height);
        for (int y = area.top(); y <= area.bottom(); ++y) {
            const GifByteType* row = image.RasterBits + static_cast<size_t>(y - desc.Top) *
                                                            static_cast<size_t>(desc.Width);
            auto* out = reinterpret_cast<QRgb*>(canvas.scanLine(y));
            for (int x = area.left(); x <= area.right(); ++x) {
                const int index = row[x - desc.Left];
                if (index == gcb.TransparentColor || index >= map->ColorCount)
                    continue;
                const GifColorType& c = map->Colors[index];
                out[x] = qRgb(c.Red, c.Green, c.Blue);
            }
        }
        result.frames.push_back(canvas.copy());
        result.delaysMs.push_back(gcb.DelayTime * 10);

        if (gcb.DisposalMode == DISPOSE_BACKGROUND) {
            for (int y = area.top(); y <= area.bottom(); ++y) {
                auto* out = reinterpret_cast<QRgb*>(canvas.scanLine(y));
                std::fill(out + area.left(), out + area.right() + 1, qRgba(0, 0, 0, 0));
            }
        } else if (gcb.DisposalMode == DISPOSE_PREVIOUS) {
            canvas = before;
        }
    }
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
