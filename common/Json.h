#pragma once
// The JSON that `--json` prints on standard output (kestrel-cli, the upgrade server's register
// commands): members in the order they are added, strings escaped as VisibleText's JSON form does
// it (control characters, the bidirectional controls and the line separators as \uXXXX; other
// UTF-8 passes through, and a byte that starts no UTF-8 sequence, e.g. in a device's identity,
// becomes U+FFFD).
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

class TJson {
public:
    static TJson Object() { return TJson('{', '}'); }
    static TJson Array() { return TJson('[', ']'); }

    // Object members.
    TJson& Add(const std::string& key, const std::string& value);
    TJson& Add(const std::string& key, const char* value);
    TJson& Add(const std::string& key, int64_t value);
    TJson& Add(const std::string& key, int value) { return Add(key, int64_t(value)); }
    TJson& Add(const std::string& key, bool value);
    TJson& Add(const std::string& key, const TJson& value);
    TJson& AddNull(const std::string& key);
    // The string, or null when there is none.
    TJson& Add(const std::string& key, const std::optional<std::string>& value);
    // The members of another object, after these.
    TJson& Merge(const TJson& other);
    // Array elements.
    TJson& Push(const TJson& value);
    // A number as an array element.
    static TJson Number(int64_t value);

    // The finished text, on one line.
    std::string Text() const { return text_ + close_; }

    // A JSON string literal, quotes included.
    static std::string Quote(const std::string& text);

private:
    TJson(char open, char close) : text_(1, open), close_(1, close) {}
    explicit TJson(std::string literal) : text_(std::move(literal)), empty_(false) {}
    TJson& Member(const std::string& key, const std::string& literal);

    std::string text_;
    std::string close_;
    bool empty_ = true;
};
