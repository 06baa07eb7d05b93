#include "Json.h"

#include <cstdio>

namespace {
// The length of the well-formed UTF-8 sequence at text[i], or 0 when there is none.
size_t Utf8Length(const std::string& text, size_t i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char b = byte(i);
    size_t n = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > text.size())
        return 0;
    for (size_t k = 1; k < n; ++k)
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
    // Overlong forms, surrogates and values above U+10FFFF are not UTF-8.
    unsigned char second = n > 1 ? byte(i + 1) : 0;
    bool overlong = (n == 2 && b < 0xC2) || (n == 3 && b == 0xE0 && second < 0xA0) ||
                    (n == 4 && b == 0xF0 && second < 0x90);
    bool outside = (n == 3 && b == 0xED && second >= 0xA0) ||
                   (n == 4 && (b > 0xF4 || (b == 0xF4 && second >= 0x90)));
    return overlong || outside ? 0 : n;
}
} // namespace

std::string TJson::Quote(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
            out += escaped;
        } else if (size_t n = Utf8Length(text, i); n > 0) {
            out.append(text, i, n);
            i += n;
            continue;
        } else {
            out += "\xEF\xBF\xBD"; // U+FFFD
        }
        ++i;
    }
    return out + "\"";
}

TJson& TJson::Member(const std::string& key, const std::string& literal) {
    if (!empty_)
        text_ += ',';
    empty_ = false;
    text_ += Quote(key) + ':' + literal;
    return *this;
}

TJson& TJson::Add(const std::string& key, const std::string& value) {
    return Member(key, Quote(value));
}

TJson& TJson::Add(const std::string& key, const char* value) {
    return Member(key, Quote(value));
}

TJson& TJson::Add(const std::string& key, int64_t value) {
    return Member(key, std::to_string(value));
}

TJson& TJson::Add(const std::string& key, bool value) {
    return Member(key, value ? "true" : "false");
}

TJson& TJson::Add(const std::string& key, const TJson& value) {
    return Member(key, value.Text());
}

TJson& TJson::AddNull(const std::string& key) {
    return Member(key, "null");
}

TJson& TJson::Merge(const TJson& other) {
    if (other.empty_)
        return *this;
    if (!empty_)
        text_ += ',';
    empty_ = false;
    text_.append(other.text_, 1, std::string::npos);
    return *this;
}

TJson TJson::Number(int64_t value) {
    return TJson(std::to_string(value));
}

TJson& TJson::Push(const TJson& value) {
    if (!empty_)
        text_ += ',';
    empty_ = false;
    text_ += value.Text();
    return *this;
}
