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

// The control block of a frame without one.
constexpr GraphicsControlBlock kNoControlBlock{DISPOSAL_UNSPECIFIED, false, 0,
                                               NO_TRANSPARENT_COLOR};

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
        *gcb = kNoControlBlock;
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

using TGifFile = std::unique_ptr<GifFileType, FileCloser>;

// Opens the file once its header says it is a GIF picture, and checks its screen's size.
TGifFile OpenGif(Reader& reader, std::string* error) {
    // The version is read from the header itself: giflib's own report of it is not reliable.
    const std::span<const uint8_t> bytes = reader.bytes;
    const auto startsWith = [&](const char* magic) {
        return std::memcmp(bytes.data(), magic, 6) == 0;
    };
    if (bytes.size() < 13 || !(startsWith("GIF89a") || startsWith("GIF87a"))) {
        Fail(error, "not a GIF picture");
        return nullptr;
    }
    int code = 0;
    TGifFile file(DGifOpen(&reader, ReadBytes, &code));
    if (!file) {
        Fail(error, GiflibError(code));
        return nullptr;
    }
    const int width = file->SWidth, height = file->SHeight;
    if (width <= 0 || height <= 0) {
        Fail(error, "empty GIF picture");
        return nullptr;
    }
    if (width > kGifMaxSide || height > kGifMaxSide) {
        Fail(error, "GIF picture too large: its screen is " + TooLarge(width, height));
        return nullptr;
    }
    return file;
}

// Reads the records of an open file one by one and composes its frames, so that every size is
// checked before anything is allocated for it: each frame before its pixels are decoded.
class TComposer {
public:
    TComposer(GifFileType& file, std::string* error)
        : file_(file), error_(error), screenPixels_(int64_t{file.SWidth} * file.SHeight),
          canvas_{file.SWidth, file.SHeight,
                  std::vector<uint32_t>(static_cast<size_t>(screenPixels_), 0u)} {
        result_.width = file.SWidth;
        result_.height = file.SHeight;
    }

    std::optional<TGifAnimation> Decode() {
        if (!ReadRecords())
            return std::nullopt;
        if (result_.frames.empty()) {
            Fail(error_, "empty GIF picture");
            return std::nullopt;
        }
        result_.loopCount = leadingLoop_ >= 0 ? leadingLoop_ : trailingLoop_;
        return std::move(result_);
    }

private:
    bool GiflibFailed() { return Fail(error_, GiflibError(file_.Error)); }

    bool ReadRecords() {
        for (GifRecordType record = UNDEFINED_RECORD_TYPE; record != TERMINATE_RECORD_TYPE;) {
            if (DGifGetRecordType(&file_, &record) == GIF_ERROR)
                return GiflibFailed();
            if (record == EXTENSION_RECORD_TYPE && !ReadExtensionRecord())
                return false;
            if (record == IMAGE_DESC_RECORD_TYPE && !ReadFrame())
                return false;
        }
        return true;
    }

    bool ReadExtensionRecord() {
        int function = 0;
        GifByteType* first = nullptr;
        if (DGifGetExtension(&file_, &function, &first) == GIF_ERROR)
            return GiflibFailed();
        const bool control = function == GRAPHICS_EXT_FUNC_CODE && !gcbSeen_;
        gcbSeen_ = gcbSeen_ || function == GRAPHICS_EXT_FUNC_CODE;
        int& loop = result_.frames.empty() ? leadingLoop_ : trailingLoop_;
        const int before = loop;
        if (!ReadExtension(&file_, function, first, loop, control ? &gcb_ : nullptr))
            return GiflibFailed();
        if (before >= 0) // the first loop block counts
            loop = before;
        return true;
    }

    bool ReadFrame() {
        if (DGifGetImageDesc(&file_) == GIF_ERROR)
            return GiflibFailed();
        const GifImageDesc& desc = file_.Image;
        if (!CheckFrame(desc))
            return false;
        const ColorMapObject* map = desc.ColorMap ? desc.ColorMap : file_.SColorMap;
        if (!map)
            return Fail(error_,
                        "frame " + std::to_string(result_.frames.size()) + " has no colour map");
        if (!ReadPixels(&file_, desc, pixels_))
            return GiflibFailed();
        Compose(desc, *map);
        return true;
    }

    // The frame's own size, and the picture's with it.
    bool CheckFrame(const GifImageDesc& desc) {
        const int i = static_cast<int>(result_.frames.size());
        if (desc.Width <= 0 || desc.Height <= 0)
            return Fail(error_, "GIF frame " + std::to_string(i) + " has no pixels");
        if (desc.Width > kGifMaxSide || desc.Height > kGifMaxSide)
            return Fail(error_, "GIF frame " + std::to_string(i) +
                                    " too large: " + TooLarge(desc.Width, desc.Height));
        framePixels_ += int64_t{desc.Width} * desc.Height;
        if (i + 1 > kGifMaxFrames)
            return Fail(error_, "GIF picture has too many frames: more than " +
                                    std::to_string(kGifMaxFrames));
        if (screenPixels_ * (i + 1) > kGifMaxPixels || framePixels_ > kGifMaxPixels)
            return Fail(error_, "GIF picture too large: with frame " + std::to_string(i) +
                                    " its frames would hold more than " +
                                    std::to_string(kGifMaxPixels) + " pixels");
        return true;
    }

    // Draws the frame, keeps the screen as it then looks, and disposes of the frame as its
    // control block says.
    void Compose(const GifImageDesc& desc, const ColorMapObject& map) {
        std::vector<uint32_t> before;
        if (gcb_.DisposalMode == DISPOSE_PREVIOUS)
            before = canvas_.pixels;
        Draw(canvas_, desc, pixels_, map, gcb_.TransparentColor);
        result_.frames.push_back({canvas_.pixels, gcb_.DelayTime * 10, gcb_.DisposalMode});
        if (gcb_.DisposalMode == DISPOSE_BACKGROUND) {
            const TArea area = Clipped(desc, canvas_.width, canvas_.height);
            for (int y = area.top; y < area.bottom; ++y)
                std::fill(canvas_.Row(y) + area.left, canvas_.Row(y) + area.right, 0u);
        } else if (gcb_.DisposalMode == DISPOSE_PREVIOUS) {
            canvas_.pixels = std::move(before);
        }
        gcb_ = kNoControlBlock;
        gcbSeen_ = false;
        trailingLoop_ = -1;
    }

    GifFileType& file_;
    std::string* error_;
    const int64_t screenPixels_;
    TCanvas canvas_;
    TGifAnimation result_;
    int64_t framePixels_ = 0; // decoded so far, the frames' own rectangles
    int leadingLoop_ = -1;    // a loop block before the first frame
    int trailingLoop_ = -1;   // one after the last frame
    GraphicsControlBlock gcb_ = kNoControlBlock;
    bool gcbSeen_ = false; // the first control block before a frame is the frame's
    std::vector<GifByteType> pixels_;
};

} // namespace

std::optional<TGifAnimation> DecodeGif(std::span<const uint8_t> bytes, std::string* error) {
    Reader reader{bytes};
    TGifFile file = OpenGif(reader, error);
    if (!file)
        return std::nullopt;
    return TComposer(*file, error).Decode();
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
