#pragma once
// Scripted misbehaviour for tests: which bytes of the dialogue the server changes, and where it
// closes or stops answering. A default-constructed Faults changes nothing.
#include "Step.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

enum class CrcFault { None, Lower, Empty, Wrong };

struct Faults {
    std::map<int, std::string> replies;   // announcement step (1..27) -> reply text
    std::optional<std::string> status;    // replaces the length line, then the server closes
    std::optional<uint64_t> length;       // announced length instead of the data's own
    std::optional<std::string> lengthAck; // reply to the client's length echo
    std::map<int, std::string> values;    // value line (1..13) -> text
    std::optional<std::string> check;     // the whole check line
    bool checkNoSpace = false;            // the check line without its final space
    CrcFault crc = CrcFault::None;
    std::optional<std::string> chunkAck; // reply in every chunk handshake
    bool corruptData = false;            // the byte at length / 2 goes out inverted
    std::optional<int> kind;             // 3 or 7: answer with that kind whatever the decision
    std::optional<Step> closeAt;
    std::optional<Step> stallAt;

    bool ClosesAt(const Step& step) const { return closeAt && *closeAt == step; }
    bool StallsAt(const Step& step) const { return stallAt && *stallAt == step; }
    bool ActsAt(const Step& step) const { return ClosesAt(step) || StallsAt(step); }
};

// Adds one --fault FAULT to `faults`; on a malformed FAULT returns false and says why in `error`.
bool ParseFault(const std::string& fault, Faults& faults, std::string& error);
