#include "Faults.h"

#include "RequestKind.h"

#include <algorithm>
#include <string_view>

namespace {
// Splits "name:rest" into name and rest (rest may contain further colons).
std::pair<std::string, std::optional<std::string>> SplitFirst(const std::string& text) {
    auto colon = text.find(':');
    if (colon == std::string::npos)
        return {text, std::nullopt};
    return {text.substr(0, colon), text.substr(colon + 1)};
}

using Arg = const std::optional<std::string>&;

// "N:TEXT" with N from 1 to `last`: TEXT goes to `into` at N.
bool SetIndexed(Arg arg, int last, std::map<int, std::string>& into) {
    if (!arg)
        return false;
    auto [number, rest] = SplitFirst(*arg);
    auto n = ParseCount(number);
    if (!n || !rest || *n < 1 || *n > static_cast<uint64_t>(last))
        return false;
    into[static_cast<int>(*n)] = *rest;
    return true;
}

// "TEXT", which may be empty.
bool SetText(Arg arg, std::optional<std::string>& into) {
    if (!arg)
        return false;
    into = *arg;
    return true;
}

// A fault without an argument.
bool SetFlag(Arg arg, bool& into) {
    if (arg)
        return false;
    into = true;
    return true;
}

bool SetLength(Arg arg, std::optional<uint64_t>& into) {
    auto n = arg ? ParseCount(*arg) : std::nullopt;
    if (!n || *n < 1)
        return false;
    into = n;
    return true;
}

bool SetCrc(Arg arg, CrcFault& into) {
    if (arg == "lower")
        into = CrcFault::Lower;
    else if (arg == "empty")
        into = CrcFault::Empty;
    else if (arg == "wrong")
        into = CrcFault::Wrong;
    else
        return false;
    return true;
}

bool SetKind(Arg arg, std::optional<int>& into) {
    if (arg == "3")
        into = RequestKind::Firmware;
    else if (arg == "7")
        into = RequestKind::Tool;
    else
        return false;
    return true;
}

bool SetStep(Arg arg, std::optional<Step>& into) {
    auto step = arg ? ParseStep(*arg) : std::nullopt;
    if (!step)
        return false;
    into = *step;
    return true;
}

// Every fault by name: how its argument is applied (false, changing nothing, when it does not
// fit) and what the error says then.
struct TFault {
    std::string_view name;
    const char* expected;
    bool (*apply)(Arg arg, Faults& faults);
};

constexpr const char* kSteps = "unknown step (announce:N, length, length-ack, values, check, crc, "
                               "chunk:K, chunk-ack:K, byte:N, allok)";

constexpr TFault kFaults[] = {
    {"reply", "expected reply:N:TEXT with N from 1 to 27",
     [](Arg arg, Faults& f) { return SetIndexed(arg, 27, f.replies); }},
    {"status", "expected status:TEXT", [](Arg arg, Faults& f) { return SetText(arg, f.status); }},
    {"length", "expected length:N with N at least 1",
     [](Arg arg, Faults& f) { return SetLength(arg, f.length); }},
    {"length-ack", "expected length-ack:TEXT",
     [](Arg arg, Faults& f) { return SetText(arg, f.lengthAck); }},
    {"value", "expected value:I:TEXT with I from 1 to 13",
     [](Arg arg, Faults& f) { return SetIndexed(arg, 13, f.values); }},
    {"check", "expected check:TEXT", [](Arg arg, Faults& f) { return SetText(arg, f.check); }},
    // These two are no fault at all with an argument.
    {"check-no-space", "unknown fault",
     [](Arg arg, Faults& f) { return SetFlag(arg, f.checkNoSpace); }},
    {"corrupt-data", "unknown fault",
     [](Arg arg, Faults& f) { return SetFlag(arg, f.corruptData); }},
    {"crc", "expected crc:lower, crc:empty or crc:wrong",
     [](Arg arg, Faults& f) { return SetCrc(arg, f.crc); }},
    {"chunk-ack", "expected chunk-ack:TEXT",
     [](Arg arg, Faults& f) { return SetText(arg, f.chunkAck); }},
    {"kind", "expected kind:3 or kind:7", [](Arg arg, Faults& f) { return SetKind(arg, f.kind); }},
    {"close-at", kSteps, [](Arg arg, Faults& f) { return SetStep(arg, f.closeAt); }},
    {"stall-at", kSteps, [](Arg arg, Faults& f) { return SetStep(arg, f.stallAt); }},
};
} // namespace

bool ParseFault(const std::string& fault, Faults& faults, std::string& error) {
    auto [name, arg] = SplitFirst(fault);
    const auto* known = std::ranges::find(kFaults, name, &TFault::name);
    const bool isKnown = known != std::end(kFaults);
    if (isKnown && known->apply(arg, faults))
        return true;
    error = "bad fault \"" + fault + "\": " + (isKnown ? known->expected : "unknown fault");
    return false;
}
