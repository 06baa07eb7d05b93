#include "GifWriter.h"

#include <gif_lib.h>

#include <algorithm>
#include <memory>

namespace {

struct MapDeleter {
    void operator()(ColorMapObject* map) const { GifFreeMapObject(map); }
};
using MapPtr = std::unique_ptr<ColorMapObject, MapDeleter>;

// giflib wants colour maps of 2, 4, ... 256 entries: the rest is padded with black.
MapPtr MakeMap(const std::vector<TGifColor>& colors) {
    if (colors.empty() || colors.size() > 256)
        return nullptr;
    int size = 2;
    while (size < static_cast<int>(colors.size()))
        size *= 2;
    std::vector<GifColorType> entries(static_cast<size_t>(size), GifColorType{0, 0, 0});
    for (size_t i = 0; i < colors.size(); ++i)
        entries[i] = GifColorType{colors[i].r, colors[i].g, colors[i].b};
    return MapPtr(GifMakeMapObject(size, entries.data()));
}

// Row order of an interlaced image: every 8th row from 0, every 8th from 4, every 4th from 2,
// every 2nd from 1.
std::vector<int> RowOrder(int height, bool interlaced) {
    std::vector<int> rows;
    if (!interlaced) {
        for (int y = 0; y < height; ++y)
            rows.push_back(y);
        return rows;
    }
    const int start[4] = {0, 4, 2, 1};
    const int step[4] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (int y = start[pass]; y < height; y += step[pass])
            rows.push_back(y);
    return rows;
}

std::string Reason(const char* what, int code) {
    const char* text = GifErrorString(code);
    return std::string(what) + ": " + (text ? text : "unknown giflib error");
}

// An output file being written, closed (as far as it got) unless it is finished.
struct FileCloser {
    void operator()(GifFileType* file) const {
        int ignored = 0;
        EGifCloseFile(file, &ignored);
    }
};
using TGifFile = std::unique_ptr<GifFileType, FileCloser>;

// giflib's failure at `what`, set in `error`.
bool Failed(const GifFileType& file, const char* what, std::string& error) {
    error = Reason(what, file.Error);
    return false;
}

// What can be checked before the file is opened: the screen, the frames' presence and the global
// colour map, made into `global`.
bool CheckPicture(const TGifData& gif, MapPtr& global, std::string& error) {
    if (gif.width <= 0 || gif.height <= 0 || gif.width > 65535 || gif.height > 65535) {
        error = "bad screen size";
        return false;
    }
    if (gif.frames.empty()) {
        error = "no frames";
        return false;
    }
    if (!gif.globalMap.empty()) {
        global = MakeMap(gif.globalMap);
        if (!global) {
            error = "bad global colour map";
            return false;
        }
    }
    return true;
}

// The screen descriptor, and the loop block if there is one.
bool WriteHead(GifFileType& file, const TGifData& gif, const ColorMapObject* global,
               std::string& error) {
    // Without this giflib writes a GIF87a header, which has no place for extensions.
    EGifSetGifVersion(&file, true);
    const int resolution = global ? global->BitsPerPixel : 8;
    if (EGifPutScreenDesc(&file, gif.width, gif.height, resolution, gif.backgroundIndex, global) ==
        GIF_ERROR)
        return Failed(file, "screen descriptor", error);
    if (gif.loopCount < 0)
        return true;
    // Application extension: an 11-byte identifier block, then the sub-block {1, lo, hi}.
    GifByteType id[] = {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'};
    GifByteType loop[] = {1, static_cast<GifByteType>(gif.loopCount & 0xFF),
                          static_cast<GifByteType>((gif.loopCount >> 8) & 0xFF)};
    if (EGifPutExtensionLeader(&file, APPLICATION_EXT_FUNC_CODE) == GIF_ERROR ||
        EGifPutExtensionBlock(&file, sizeof id, id) == GIF_ERROR ||
        EGifPutExtensionBlock(&file, sizeof loop, loop) == GIF_ERROR ||
        EGifPutExtensionTrailer(&file) == GIF_ERROR)
        return Failed(file, "loop extension", error);
    return true;
}

bool WriteControlBlock(GifFileType& file, const TGifFrameData& frame, std::string& error) {
    GraphicsControlBlock gcb{};
    gcb.DisposalMode = frame.disposal;
    gcb.UserInputFlag = false;
    gcb.DelayTime = frame.delayCs;
    gcb.TransparentColor = frame.transparentIndex;
    GifByteType extension[4];
    const size_t length = EGifGCBToExtension(&gcb, extension);
    if (EGifPutExtension(&file, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(length), extension) ==
        GIF_ERROR)
        return Failed(file, "graphics control", error);
    return true;
}

// The frame's pixels, after its image descriptor.
bool WriteRows(GifFileType& file, const TGifFrameData& frame, const ColorMapObject* map,
               std::string& error) {
    // giflib would silently mask indices beyond the colour map (and modifies the row it is
    // given): refuse them, and hand it a copy.
    const int colours = map ? map->ColorCount : 0;
    for (std::uint8_t index : frame.pixels)
        if (index >= colours) {
            error = "pixel index beyond the colour map";
            return false;
        }
    std::vector<GifPixelType> row(static_cast<size_t>(frame.width));
    for (int y : RowOrder(frame.height, frame.interlaced)) {
        const auto* from =
            frame.pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(frame.width);
        std::copy(from, from + frame.width, row.begin());
        if (EGifPutLine(&file, row.data(), frame.width) == GIF_ERROR)
            return Failed(file, "image data", error);
    }
    return true;
}

bool WriteFrame(GifFileType& file, const TGifFrameData& frame, const ColorMapObject* global,
                std::string& error) {
    if (frame.width <= 0 || frame.height <= 0 ||
        frame.pixels.size() !=
            static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height)) {
        error = "bad frame size";
        return false;
    }
    MapPtr local;
    if (!frame.localMap.empty()) {
        local = MakeMap(frame.localMap);
        if (!local) {
            error = "bad local colour map";
            return false;
        }
    }
    if (!WriteControlBlock(file, frame, error))
        return false;
    if (EGifPutImageDesc(&file, frame.left, frame.top, frame.width, frame.height, frame.interlaced,
                         local.get()) == GIF_ERROR)
        return Failed(file, "image descriptor", error);
    return WriteRows(file, frame, local ? local.get() : global, error);
}

} // namespace

bool WriteGif(const std::string& path, const TGifData& gif, std::string& error) {
    MapPtr global;
    if (!CheckPicture(gif, global, error))
        return false;
    int code = 0;
    TGifFile file(EGifOpenFileName(path.c_str(), false, &code));
    if (!file) {
        error = Reason("open", code);
        return false;
    }
    if (!WriteHead(*file, gif, global.get(), error))
        return false;
    for (const TGifFrameData& frame : gif.frames)
        if (!WriteFrame(*file, frame, global.get(), error))
            return false;
    if (EGifCloseFile(file.release(), &code) == GIF_ERROR) {
        error = Reason("close", code);
        return false;
    }
    return true;
}
