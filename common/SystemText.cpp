#include "SystemText.h"

std::filesystem::path Utf8Path(std::string_view utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string PathText(const std::filesystem::path& path) {
    std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

bool RemoveFile(const std::string& path) {
    std::error_code ec;
    return std::filesystem::remove(Utf8Path(path), ec);
}
