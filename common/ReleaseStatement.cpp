#include "ReleaseStatement.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {
constexpr std::string_view kFirmwareForm = "kestrel-release kind=firmware device=TYPE version=V";
constexpr std::string_view kToolForm = "kestrel-release kind=tool platform=PLATFORM version=V";

// A text for a message: quoted, cut to a readable length, bytes outside printable ASCII as \xHH.
std::string Quoted(std::string_view text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out = "\"";
    for (size_t i = 0; i < text.size() && i < 100; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out + (text.size() > 100 ? "...\"" : "\"");
}

bool Visible(std::string_view value) {
    return !value.empty() &&
           std::all_of(value.begin(), value.end(), [](char c) { return c > ' ' && c <= '~'; });
}

// Numbers of at most nine digits separated by single dots.
bool DottedVersion(std::string_view text) {
    size_t digits = 0;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            if (++digits > 9)
                return false;
        } else if (c == '.' && digits > 0) {
            digits = 0;
        } else {
            return false;
        }
    }
    return digits > 0;
}

// The groups of digits of a text as numbers (a group too long for 64 bits saturates).
std::vector<uint64_t> DigitGroups(std::string_view text) {
    std::vector<uint64_t> groups;
    bool inGroup = false;
    for (char c : text) {
        if (c < '0' || c > '9') {
            inGroup = false;
            continue;
        }
        if (!inGroup)
            groups.push_back(0);
        inGroup = true;
        uint64_t& g = groups.back();
        auto digit = static_cast<uint64_t>(c - '0');
        g = g > (UINT64_MAX - digit) / 10 ? UINT64_MAX : g * 10 + digit;
    }
    return groups;
}

const char* Article(TReleaseKind kind) {
    return kind == TReleaseKind::Tool ? "a tool" : "firmware";
}
} // namespace

std::string_view ThisPlatform() {
#if defined(_WIN32)
#define KESTREL_OS "windows"
#elif defined(__linux__)
#define KESTREL_OS "linux"
#else
#define KESTREL_OS "unknown"
#endif
#if defined(__x86_64__) || defined(_M_X64)
    return KESTREL_OS "-x86_64";
#elif defined(__aarch64__) || defined(_M_ARM64)
    return KESTREL_OS "-aarch64";
#elif defined(__i386__) || defined(_M_IX86)
    return KESTREL_OS "-x86";
#else
    return KESTREL_OS "-unknown";
#endif
#undef KESTREL_OS
}

const char* ReleaseKindName(TReleaseKind kind) {
    return kind == TReleaseKind::Tool ? "tool" : "firmware";
}

std::optional<TReleaseStatement> ParseReleaseStatement(std::string_view text, std::string& error) {
    auto fail = [&](const std::string& why) {
        error = "the trusted comment " + Quoted(text) + " is not a release statement: " + why +
                " (expected \"" + std::string(kFirmwareForm) + "\" or \"" + std::string(kToolForm) +
                "\")";
        return std::nullopt;
    };
    std::vector<std::string_view> fields;
    for (std::string_view rest = text;;) {
        size_t space = rest.find(' ');
        fields.push_back(rest.substr(0, space));
        if (space == std::string_view::npos)
            break;
        rest.remove_prefix(space + 1);
    }
    if (fields[0] != kReleaseStatementWord)
        return fail("it does not start with " + std::string(kReleaseStatementWord));
    if (std::any_of(fields.begin(), fields.end(), [](std::string_view f) { return f.empty(); }))
        return fail("its fields are not separated by single spaces");
    if (fields.size() != 4)
        return fail("it has " + std::to_string(fields.size() - 1) + " fields, not 3");

    // Each field is NAME=VALUE, in a fixed order; the value is visible ASCII.
    auto value = [&](size_t i, std::string_view name, std::string& into) {
        std::string_view f = fields[i];
        if (f.substr(0, name.size()) != name || f.size() <= name.size() || f[name.size()] != '=') {
            fail("field " + std::to_string(i) + " is " + Quoted(f) + ", not " + std::string(name) +
                 "=...");
            return false;
        }
        f.remove_prefix(name.size() + 1);
        if (!Visible(f)) {
            fail("the value of " + std::string(name) + " is empty or not printable ASCII");
            return false;
        }
        into = std::string(f);
        return true;
    };
    TReleaseStatement statement;
    std::string kind;
    if (!value(1, "kind", kind))
        return std::nullopt;
    if (kind == "firmware") {
        statement.kind = TReleaseKind::Firmware;
        if (!value(2, "device", statement.device))
            return std::nullopt;
    } else if (kind == "tool") {
        statement.kind = TReleaseKind::Tool;
        if (!value(2, "platform", statement.platform))
            return std::nullopt;
    } else {
        return fail("kind is " + Quoted(kind) + ", not firmware or tool");
    }
    if (!value(3, "version", statement.version))
        return std::nullopt;
    if (!DottedVersion(statement.version))
        return fail("version " + Quoted(statement.version) +
                    " is not numbers separated by dots (1.21)");
    return statement;
}

std::string ReleaseStatementText(const TReleaseStatement& statement) {
    std::string text =
        std::string(kReleaseStatementWord) + " kind=" + ReleaseKindName(statement.kind);
    if (statement.kind == TReleaseKind::Tool)
        text += " platform=" + statement.platform;
    else
        text += " device=" + statement.device;
    return text + " version=" + statement.version;
}

int CompareVersionNumbers(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b) {
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        uint64_t p = i < a.size() ? a[i] : 0;
        uint64_t q = i < b.size() ? b[i] : 0;
        if (p != q)
            return p < q ? -1 : 1;
    }
    return 0;
}

std::optional<int> CompareVersionTexts(std::string_view a, std::string_view b) {
    std::vector<uint64_t> x = DigitGroups(a), y = DigitGroups(b);
    if (x.empty() || y.empty())
        return std::nullopt;
    return CompareVersionNumbers(x, y);
}

std::string CheckReleaseStatement(const TReleaseStatement& statement,
                                  const TReleaseExpectation& expected) {
    const bool tool = expected.kind == TReleaseKind::Tool;
    const std::string what = std::string("the signed ") + ReleaseKindName(statement.kind);
    if (statement.kind != expected.kind)
        return "the signature is for " + std::string(Article(statement.kind)) +
               " (kind=" + ReleaseKindName(statement.kind) + "), but it came as " +
               Article(expected.kind) + " (kind=" + ReleaseKindName(expected.kind) + ")";
    if (!tool && expected.device && statement.device != *expected.device)
        return what + " is for device " + statement.device + ", not the connected " +
               *expected.device + " (device=" + statement.device + ")";
    if (tool && expected.platform && statement.platform != *expected.platform)
        return what + " is for platform " + statement.platform + ", not this tool's " +
               *expected.platform + " (platform=" + statement.platform + ")";
    if (!expected.newerThan)
        return {};
    const std::string& newerThan = *expected.newerThan;
    const std::string whose = tool ? "this tool's" : "the device's";
    auto order = CompareVersionTexts(statement.version, newerThan);
    if (!order)
        return "the versions " + Quoted(statement.version) + " (signed) and " + Quoted(newerThan) +
               " (" + whose + ") cannot be compared: a version needs digits";
    if (*order <= 0)
        return what + " is version " + statement.version + ", not newer than " + whose + " " +
               newerThan + (*order < 0 ? " (a rollback)" : " (the same version)");
    return {};
}
