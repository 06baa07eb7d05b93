#include "VisibleText.h"

#include <cstdint>
#include <cstdio>

namespace {
// The length of the valid UTF-8 sequence at `at` (shortest form, no surrogates, at most
// U+10FFFF), or 0.
size_t Utf8Length(std::string_view text, size_t at, uint32_t& code) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t first = byte(at);
    size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : 2;
    if (first < 0xC2 || first > 0xF4 || at + length > text.size())
        return 0;
    code = first & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (byte(at + i) & 0x3F);
    }
    const bool shortest =
        length == 2 || (length == 3 && code >= 0x800) || (length == 4 && code >= 0x10000);
    if (!shortest || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return length;
}

void Escape(std::string& out, const char* form, unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, form, value);
    out += text;
}
} // namespace

std::string VisibleText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<uint8_t>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            Escape(out, "\\x%02X", c);
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (uint32_t code = 0; size_t n = Utf8Length(text, i, code)) {
            if (code <= 0x9F)
                Escape(out, "\\u%04X", code);
            else
                out.append(text.substr(i, n));
            i += n;
        } else {
            Escape(out, "\\x%02X", c);
            ++i;
        }
    }
    return out;
}
