#include "GifDecoder.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct Reader {
    std::span<const uint8_t> bytes;
    size_t pos = 0;
};

int ReadBytes(GifFileType* file, GifByteType* into, int count) {
    auto* reader = static_cast<Reader*>(file->UserData);
    if (count <= 0 || reader->pos >= reader->bytes.size())
        return 0;
    const size_t n = std::min(static_cast<size_t>(count), reader->bytes.size() - reader->pos);
    std::memcpy(into, reader->bytes.data() + reader->pos, n);
    reader->pos += n;
    return static_cast<int>(n);
}

// A rectangle of the screen, clipped: [left, right) × [top, bottom).
struct TArea {
    int left, top, right, bottom;
};

TArea Clipped(const GifImageDesc& desc, int width, int height) {
    return {std::clamp(desc.Left, 0, width), std::clamp(desc.Top, 0, height),
            std::clamp(desc.Left + desc.Width, 0, width),
            std::clamp(desc.Top + desc.Height, 0, height)};
}

// The screen's pixels, rows top to bottom.
struct TCanvas {
    int width, height;
    std::vector<uint32_t> pixels;
    uint32_t* Row(int y) {
        return pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(width);
    }
};

struct FileCloser {
    void operator()(GifFileType* file) const {
        int ignored = 0;
        DGifCloseFile(file, &ignored);
    }
};

bool Fail(std::string* error, const std::string& text) {
    if (error)
        *error = text;
    return false;
}

// giflib fails some reads (a descriptor cut short before its code size) without an error code.
std::string GiflibError(int code) {
    const char* text = GifErrorString(code);
    return text ? text : "damaged GIF picture";
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
void Draw(TCanvas& canvas, const GifImageDesc& desc, const std::vector<GifByteType>& pixels,
          const ColorMapObject& map, int transparent) {
    const TArea area = Clipped(desc, canvas.width, canvas.height);
    for (int y = area.top; y < area.bottom; ++y) {
        const GifByteType* row =
            pixels.data() + static_cast<size_t>(y - desc.Top) * static_cast<size_t>(desc.Width);
        uint32_t* out = canvas.Row(y);
        for (int x = area.left; x < area.right; ++x) {
            const int index = row[x - desc.Left];
            if (index == transparent || index >= map.ColorCount)
                continue;
            const GifColorType& c = map.Colors[index];
            out[x] = 0xFF000000u | uint32_t{c.Red} << 16 | uint32_t{c.Green} << 8 | c.Blue;
        }
    }
}

std::string TooLarge(int width, int height) {
    const std::string side = std::to_string(kGifMaxSide);
    return std::to_string(width) + " × " + std::to_string(height) + " pixels, at most " + side +
           " × " + side;
}

} // namespace

// The frames are read one by one with giflib's record functions, so that every size is checked
// before anything is allocated for it: the screen before the canvas, each frame before its
// pixels are decoded.
std::optional<TGifAnimation> DecodeGif(std::span<const uint8_t> bytes, std::string* error) {
    // The version is read from the header itself: giflib's own report of it is not reliable.
    const auto startsWith = [&](const char* magic) {
        return std::memcmp(bytes.data(), magic, 6) == 0;
    };
    if (bytes.size() < 13 || !(startsWith("GIF89a") || startsWith("GIF87a"))) {
        Fail(error, "not a GIF picture");
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
        Fail(error, "empty GIF picture");
        return std::nullopt;
    }
    if (width > kGifMaxSide || height > kGifMaxSide) {
        Fail(error, "GIF picture too large: its screen is " + TooLarge(width, height));
        return std::nullopt;
    }

    TGifAnimation result;
    result.width = width;
    result.height = height;
    const int64_t screenPixels = int64_t{width} * height;
    TCanvas canvas{width, height, std::vector<uint32_t>(static_cast<size_t>(screenPixels), 0u)};
    int64_t framePixels = 0; // decoded so far, the frames' own rectangles
    int leadingLoop = -1;    // a loop block before the first frame
    int trailingLoop = -1;   // one after the last frame
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
            Fail(error, "GIF frame " + std::to_string(i) + " has no pixels");
            return std::nullopt;
        }
        if (desc.Width > kGifMaxSide || desc.Height > kGifMaxSide) {
            Fail(error, "GIF frame " + std::to_string(i) +
                            " too large: " + TooLarge(desc.Width, desc.Height));
            return std::nullopt;
        }
        framePixels += int64_t{desc.Width} * desc.Height;
        if (i + 1 > kGifMaxFrames) {
            Fail(error,
                 "GIF picture has too many frames: more than " + std::to_string(kGifMaxFrames));
            return std::nullopt;
        }
        if (screenPixels * (i + 1) > kGifMaxPixels || framePixels > kGifMaxPixels) {
            Fail(error, "GIF picture too large: with frame " + std::to_string(i) +
                            " its frames would hold more than " + std::to_string(kGifMaxPixels) +
                            " pixels");
            return std::nullopt;
        }
        const ColorMapObject* map = desc.ColorMap ? desc.ColorMap : file->SColorMap;
        if (!map) {
            Fail(error, "frame " + std::to_string(i) + " has no colour map");
            return std::nullopt;
        }
        if (!ReadPixels(file.get(), desc, pixels))
            return giflibFailed();

        std::vector<uint32_t> before;
        if (gcb.DisposalMode == DISPOSE_PREVIOUS)
            before = canvas.pixels;
        Draw(canvas, desc, pixels, *map, gcb.TransparentColor);
        result.frames.push_back({canvas.pixels, gcb.DelayTime * 10, gcb.DisposalMode});
        if (gcb.DisposalMode == DISPOSE_BACKGROUND) {
            const TArea area = Clipped(desc, width, height);
            for (int y = area.top; y < area.bottom; ++y)
                std::fill(canvas.Row(y) + area.left, canvas.Row(y) + area.right, 0u);
        } else if (gcb.DisposalMode == DISPOSE_PREVIOUS) {
            canvas.pixels = std::move(before);
        }
        gcb = GraphicsControlBlock{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
        gcbSeen = false;
        trailingLoop = -1;
    }
    if (result.frames.empty()) {
        Fail(error, "empty GIF picture");
        return std::nullopt;
    }
    result.loopCount = leadingLoop >= 0 ? leadingLoop : trailingLoop;
    return result;
}

TGifPlayback::TGifPlayback(const TGifAnimation& animation)
    : animation_(&animation),
      passesLeft_(animation.loopCount == 0 ? -1 : std::max(animation.loopCount, 0)) {}

std::optional<int> TGifPlayback::DelayMs() const {
    const int count = animation_ ? static_cast<int>(animation_->frames.size()) : 0;
    if (count < 2 || (frame_ == count - 1 && passesLeft_ == 0))
        return std::nullopt;
    const int delay = animation_->frames[static_cast<size_t>(frame_)].delayMs;
    return delay <= 10 ? 100 : delay;
}

bool TGifPlayback::Advance() {
    if (!DelayMs())
        return false;
    if (++frame_ == static_cast<int>(animation_->frames.size())) {
        if (passesLeft_ > 0)
            --passesLeft_;
        frame_ = 0;
    }
    return true;
}
