#include "Faults.h"

#include "RequestKind.h"

namespace {
// Splits "name:rest" into name and rest (rest may contain further colons).
std::pair<std::string, std::optional<std::string>> SplitFirst(const std::string& text) {
    auto colon = text.find(':');
    if (colon == std::string::npos)
        return {text, std::nullopt};
    return {text.substr(0, colon), text.substr(colon + 1)};
}

// "N:TEXT" with N in [lo, hi].
bool ParseIndexed(const std::optional<std::string>& arg, int lo, int hi, int& index,
                  std::string& text) {
    if (!arg)
        return false;
    auto [number, rest] = SplitFirst(*arg);
    auto n = ParseCount(number);
    if (!n || !rest || *n < static_cast<uint64_t>(lo) || *n > static_cast<uint64_t>(hi))
        return false;
    index = static_cast<int>(*n);
    text = *rest;
    return true;
}
} // namespace

bool ParseFault(const std::string& fault, Faults& faults, std::string& error) {
    auto [name, arg] = SplitFirst(fault);
    auto fail = [&](const std::string& why) {
        error = "bad fault \"" + fault + "\": " + why;
        return false;
    };
    int index = 0;
    std::string text;
    if (name == "reply") {
        if (!ParseIndexed(arg, 1, 27, index, text))
            return fail("expected reply:N:TEXT with N from 1 to 27");
        faults.replies[index] = text;
    } else if (name == "status") {
        if (!arg)
            return fail("expected status:TEXT");
        faults.status = *arg;
    } else if (name == "length") {
        auto n = arg ? ParseCount(*arg) : std::nullopt;
        if (!n || *n < 1)
            return fail("expected length:N with N at least 1");
        faults.length = *n;
    } else if (name == "length-ack") {
        if (!arg)
            return fail("expected length-ack:TEXT");
        faults.lengthAck = *arg;
    } else if (name == "value") {
        if (!ParseIndexed(arg, 1, 13, index, text))
            return fail("expected value:I:TEXT with I from 1 to 13");
        faults.values[index] = text;
    } else if (name == "check") {
        if (!arg)
            return fail("expected check:TEXT");
        faults.check = *arg;
    } else if (name == "check-no-space" && !arg) {
        faults.checkNoSpace = true;
    } else if (name == "crc") {
        if (arg == "lower")
            faults.crc = CrcFault::Lower;
        else if (arg == "empty")
            faults.crc = CrcFault::Empty;
        else if (arg == "wrong")
            faults.crc = CrcFault::Wrong;
        else
            return fail("expected crc:lower, crc:empty or crc:wrong");
    } else if (name == "chunk-ack") {
        if (!arg)
            return fail("expected chunk-ack:TEXT");
        faults.chunkAck = *arg;
    } else if (name == "corrupt-data" && !arg) {
        faults.corruptData = true;
    } else if (name == "kind") {
        if (arg == "3")
            faults.kind = RequestKind::Firmware;
        else if (arg == "7")
            faults.kind = RequestKind::Tool;
        else
            return fail("expected kind:3 or kind:7");
    } else if (name == "close-at" || name == "stall-at") {
        auto step = arg ? ParseStep(*arg) : std::nullopt;
        if (!step)
            return fail("unknown step (announce:N, length, length-ack, values, check, crc, "
                        "chunk:K, chunk-ack:K, byte:N, allok)");
        (name == "close-at" ? faults.closeAt : faults.stallAt) = *step;
    } else {
        return fail("unknown fault");
    }
    return true;
}
