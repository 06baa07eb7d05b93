#pragma once
// What a signed release file is for. The maker puts one statement line into the trusted comment of
// every release signature (minisign -S -t "..."), which the signature's global signature covers:
//
//   kestrel-release kind=firmware device=QX40 version=1.21
//   kestrel-release kind=tool platform=linux-x86_64 version=1.5
//
// Fields in this order, separated by single spaces. The tool takes a signed file only for what its
// statement says: firmware for the connected device type and newer than the device's software, a
// tool for its own platform and newer than itself. That stops an old signed file from being
// replayed (rollback) and a file signed for one purpose from being used for another
// (mix-and-match). No Qt and no platform code.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class TReleaseKind { Firmware, Tool };

struct TReleaseStatement {
    TReleaseKind kind = TReleaseKind::Firmware;
    std::string device{};   // firmware: the device type, e.g. QX40
    std::string platform{}; // tool: e.g. linux-x86_64
    std::string version{};  // numbers separated by dots
};

inline constexpr std::string_view kReleaseStatementWord = "kestrel-release";

// The platform names of tool statements.
inline constexpr std::string_view kPlatformLinuxX64 = "linux-x86_64";
inline constexpr std::string_view kPlatformWindowsX64 = "windows-x86_64";
// The platform this program was built for ("linux-x86_64", "windows-x86_64", ...).
std::string_view ThisPlatform();

// "firmware" or "tool".
const char* ReleaseKindName(TReleaseKind kind);

// The statement of a trusted comment; nothing, with what is wrong in `error`, when the text is not
// exactly one statement of the form above.
std::optional<TReleaseStatement> ParseReleaseStatement(std::string_view text, std::string& error);
// The statement as its line.
std::string ReleaseStatementText(const TReleaseStatement& statement);

// Negative, zero or positive as the version numbers `a` are older than, equal to or newer than
// `b`, compared left to right; a missing number counts as 0 ({1, 4} == {1, 4, 0}).
int CompareVersionNumbers(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b);
// Compares two version texts by their groups of digits, read as numbers from left to right; a
// missing group counts as 0 ("1.21" > "1.20", "2.0" > "1.99", "1.4" == "1.4.0"). Negative, zero or
// positive as `a` is older than, equal to or newer than `b`; nothing when either text has no
// digit at all.
std::optional<int> CompareVersionTexts(std::string_view a, std::string_view b);

// What the receiver of a signed file expects it to be.
// A field left out is not checked; an empty text is checked like any other (an empty version
// cannot be compared and is refused). Every member has an initialiser: GCC warns when a
// designated initialiser leaves out one without.
struct TReleaseExpectation {
    TReleaseKind kind = TReleaseKind::Firmware;
    std::optional<std::string> device{};    // firmware: the connected device's type
    std::optional<std::string> platform{};  // tool: this tool's platform
    std::optional<std::string> newerThan{}; // the version the signed one must be newer than
};

// Empty when the statement fits the expectation; otherwise the cause, naming the field, the
// expected and the signed value ("the signed firmware is version 1.19, not newer than the
// device's 1.20 (a rollback)").
std::string CheckReleaseStatement(const TReleaseStatement& statement,
                                  const TReleaseExpectation& expected);
