#pragma once
// The simulated QX40: answers the device link's command frames and data frames the way the
// real device does, and can be told to misbehave. Pure logic without any I/O, so that the
// pseudo-terminal loop (main.cpp) and the unit tests share it.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace qx40sim {

struct TSimConfig {
    std::string typeText = "QX401.20B"; // device type (4), software version (4), hardware (1)
    std::string devId = "A2C4E6G8";     // the eight-character device identity
    std::array<uint8_t, 4> cid{0x1A, 0x2B, 0x3C, 0x4D};
    uint32_t count1 = 1234;  // first counter of 0xC2 (24 bits)
    uint32_t count2 = 56;    // second counter of 0xC2 (24 bits)
    uint32_t useCount = 789; // counter of 0xCA (24 bits)
    std::string imageOut;    // where a programmed image is written; empty: kept in memory only

    // Misbehaviours.
    std::set<uint8_t> silent; // commands that get no answer
    std::set<uint8_t> badSum; // commands whose 12-byte reply carries a wrong sum
    int probeAck = 11;        // decoded value of the probe answer; below 0: no answer
    int probeDelayMs = 0;     // the probe is answered this long after it came
    bool refuseKey = false;   // key exchange answered with a refusal
    int startAck = 11;        // decoded value of the start command's answer; others refuse it
    int badAckAt = 0;         // data frame (1-based) answered with a wrong acknowledgement
    int doubleAckAt = 0;      // data frame answered with two acknowledgement bytes
    int unplugAfter = -1;     // after this many data frames nothing is answered any more
    bool lineRate = false;    // emulate 500000 bit/s (handled by the I/O loop)
};

// Whether `code` is a query, answered with a 12-byte reply (the replies a wrong sum can be given).
bool IsQuery(uint8_t code);

// Encodes an acknowledgement so that the host decodes `value` with `key`:
// the host computes ((255 - B) - (key mod 16)) mod 256.
uint8_t EncodeAck(uint8_t value, uint8_t key);
// Sum of bytes [0, n) modulo 65536.
uint16_t ByteSum(const uint8_t* bytes, size_t n);

// Splits the byte stream from the host into frames: 12-byte command frames, and data frames
// (code 0x09) whose length n + 5 follows from their second byte.
class TFrameReader {
public:
    // Adds one byte; true when it completed a frame (then Take() returns it).
    bool Push(uint8_t byte);
    std::vector<uint8_t> Take();
    // Bytes of an incomplete frame, dropped by Reset().
    const std::vector<uint8_t>& Pending() const { return buf_; }
    void Reset() { buf_.clear(); }

private:
    std::vector<uint8_t> buf_;
};

class TQx40Device {
public:
    using LogFn = std::function<void(const std::string&)>;
    TQx40Device(TSimConfig config, LogFn log);

    // Handles one complete frame and returns the bytes to answer with (possibly none).
    std::vector<uint8_t> HandleFrame(const std::vector<uint8_t>& frame);

    // The script, which a test may change between two frames.
    TSimConfig& Config() { return cfg_; }
    uint8_t Key() const { return key_; }
    bool Unplugged() const { return unplugged_; }
    // Data received since the last start command.
    const std::vector<uint8_t>& Image() const { return image_; }
    int DataFrames() const { return dataFrames_; }

private:
    std::vector<uint8_t> Reply12(uint8_t code, const std::array<uint8_t, 9>& data);
    std::vector<uint8_t> HandleCommand(const std::vector<uint8_t>& f);
    std::vector<uint8_t> HandleKeyFrame(const std::vector<uint8_t>& f);
    std::vector<uint8_t> HandleStart(const std::vector<uint8_t>& f);
    std::vector<uint8_t> HandleData(const std::vector<uint8_t>& f);
    void FinishRun();

    TSimConfig cfg_;
    LogFn log_;
    uint8_t key_ = 0; // session key agreed by the last accepted key exchange
    bool unplugged_ = false;
    bool running_ = false; // a start command was accepted and not yet closed by 0x0B
    uint32_t address_ = 0;
    uint8_t packLen_ = 0;
    uint8_t kind_ = 0;
    int dataFrames_ = 0;
    std::vector<uint8_t> image_;
};

std::string HexBytes(const uint8_t* bytes, size_t n);

} // namespace qx40sim
