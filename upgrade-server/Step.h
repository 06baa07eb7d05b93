#pragma once
// The named points of one upgrade dialogue, as seen by the server. A step covers what the client
// sends first (if anything) and then the server's own part; logs and faults name steps this way.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

enum class StepKind {
    Announce,  // n = 1..27: the client's n-th announcement line and the server's reply
    Length,    // the server's length (or status) line
    LengthAck, // the client's length echo and the server's "OK"
    Values,    // the 13 value lines
    Check,     // the check line
    Crc,       // the client's "OK", then the server's CRC text
    Chunk,     // n = 1..: the CRC echo or the handshake's last "OK", then chunk n
    ChunkAck,  // n = 1..: the client's "OK" after chunk n and the server's "OK"
    Byte,      // n: the moment exactly n data bytes have been sent (faults only)
    AllOk,     // the client's "AllOK"
};

struct Step {
    StepKind kind = StepKind::Announce;
    uint64_t n = 0;

    bool operator==(const Step&) const = default;
};

// "announce:3", "length", "chunk:2", ...
std::string StepName(const Step& step);
// The inverse of StepName; nothing for a text that names no step.
std::optional<Step> ParseStep(std::string_view text);
// A whole decimal number without sign, no leading '+', fitting in 64 bits.
std::optional<uint64_t> ParseCount(std::string_view text);
