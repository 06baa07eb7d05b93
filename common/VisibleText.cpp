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

// A character that acts on a terminal instead of showing: C0, DEL and C1 controls move the
// cursor or begin a sequence; the bidirectional controls reorder the text after them; the
// separators end the line for whoever reads it as Unicode.
bool Acts(uint32_t code) {
    return code < 0x20 || code == 0x7F || (code >= 0x80 && code <= 0x9F) ||
           (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069) ||
           code == 0x2028 || code == 0x2029;
}

// JSON's own short escapes.
const char* JsonShortEscape(uint32_t code) {
    switch (code) {
    case '"':
        return "\\\"";
    case '\\':
        return "\\\\";
    case '\n':
        return "\\n";
    case '\r':
        return "\\r";
    case '\t':
        return "\\t";
    default:
        return nullptr;
    }
}
} // namespace

std::string VisibleText(std::string_view text, TVisibleForm form) {
    const bool json = form == TVisibleForm::Json;
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<uint8_t>(text[i]);
        uint32_t code = c;
        // A character of its own: ASCII, or a valid UTF-8 sequence; anything else is one byte.
        const size_t n = c < 0x80 ? 1 : Utf8Length(text, i, code);
        if (n == 0) {
            if (json)
                out += "\xEF\xBF\xBD"; // U+FFFD
            else
                Escape(out, "\\x%02X", c);
            ++i;
            continue;
        }
        if (const char* escaped = json ? JsonShortEscape(code) : nullptr)
            out += escaped;
        else if (Acts(code))
            Escape(out, !json && code < 0x80 ? "\\x%02X" : "\\u%04X", code);
        else
            out.append(text.substr(i, n));
        i += n;
    }
    return out;
}
