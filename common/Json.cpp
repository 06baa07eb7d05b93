#include "Json.h"

#include "VisibleText.h"

std::string TJson::Quote(const std::string& text) {
    return "\"" + VisibleText(text, TVisibleForm::Json) + "\"";
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

TJson& TJson::Add(const std::string& key, const std::optional<std::string>& value) {
    return value ? Add(key, *value) : AddNull(key);
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
