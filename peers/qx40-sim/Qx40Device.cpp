#include "Qx40Device.h"

#include "Commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

namespace qx40sim {

namespace {
constexpr uint8_t kProbeKeyIdentity[8] = {'P', 'X', '7', '3', '9', '2', 'M', '4'};

std::string Hex2(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "%02X", v & 0xFF);
    return b;
}

std::array<uint8_t, 9> Counter24(uint32_t a) {
    return {uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a), 0, 0, 0, 0, 0, 0};
}

std::array<uint8_t, 9> Counters(const TSimConfig& c) {
    auto d = Counter24(c.count1);
    d[4] = uint8_t(c.count2 >> 16);
    d[5] = uint8_t(c.count2 >> 8);
    d[6] = uint8_t(c.count2);
    return d;
}

std::array<uint8_t, 9> TypeText(const TSimConfig& c) {
    std::array<uint8_t, 9> d{};
    for (size_t i = 0; i < 9 && i < c.typeText.size(); ++i)
        d[i] = uint8_t(c.typeText[i]);
    return d;
}

std::array<uint8_t, 9> DevId(const TSimConfig& c) {
    std::array<uint8_t, 9> d{};
    for (size_t i = 0; i < 8 && i < c.devId.size(); ++i)
        d[i] = uint8_t(~uint8_t(c.devId[i]));
    return d;
}

// The queries: what the log says of each, and the nine data bytes of its 12-byte reply.
struct TQuery {
    uint8_t code;
    const char* log;
    std::array<uint8_t, 9> (*data)(const TSimConfig& config);
};

constexpr TQuery kQueries[] = {
    {Command::ReadCounters, "command C2: counters", Counters},
    {Command::ReadCID, "command C4: identity bytes",
     [](const TSimConfig& c) -> std::array<uint8_t, 9> {
         return {c.cid[0], c.cid[1], c.cid[2], c.cid[3], 0, 0, 0, 0, 0};
     }},
    {Command::ReadTypeText, "command C8: identity text", TypeText},
    {Command::ReadDevID, "command C9: device identity", DevId},
    {Command::ReadUseCount, "command CA: use counter",
     [](const TSimConfig& c) { return Counter24(c.useCount); }},
};

const TQuery* FindQuery(uint8_t code) {
    const auto* query = std::ranges::find(kQueries, code, &TQuery::code);
    return query != std::end(kQueries) ? query : nullptr;
}
} // namespace

uint8_t EncodeAck(uint8_t value, uint8_t key) {
    return static_cast<uint8_t>(255 - ((value + (key & 0x0F)) & 0xFF));
}

uint16_t ByteSum(const uint8_t* bytes, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += bytes[i];
    return static_cast<uint16_t>(sum);
}

std::string HexBytes(const uint8_t* bytes, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        if (i)
            s += ' ';
        s += Hex2(bytes[i]);
    }
    return s;
}

bool TFrameReader::Push(uint8_t byte) {
    buf_.push_back(byte);
    if (buf_[0] != Command::DataFrame)
        return buf_.size() == 12;
    return buf_.size() >= 2 && buf_.size() == size_t(buf_[1]) + 5;
}

std::vector<uint8_t> TFrameReader::Take() {
    std::vector<uint8_t> frame;
    frame.swap(buf_);
    return frame;
}

TQx40Device::TQx40Device(TSimConfig config, LogFn log)
    : cfg_(std::move(config)), log_(std::move(log)) {}

std::vector<uint8_t> TQx40Device::Reply12(uint8_t code, const std::array<uint8_t, 9>& data) {
    std::vector<uint8_t> r(12, 0);
    r[0] = code;
    std::copy(data.begin(), data.end(), r.begin() + 1);
    uint16_t sum = ByteSum(r.data(), 10);
    if (cfg_.badSum.count(code)) {
        sum = static_cast<uint16_t>(sum + 1);
        log_("command " + Hex2(code) + ": replying with a wrong sum");
    }
    r[10] = uint8_t(sum >> 8);
    r[11] = uint8_t(sum);
    return r;
}

bool IsQuery(uint8_t code) {
    return FindQuery(code) != nullptr;
}

std::vector<uint8_t> TQx40Device::HandleFrame(const std::vector<uint8_t>& f) {
    if (unplugged_) {
        log_("unplugged: ignoring " + std::to_string(f.size()) + " bytes");
        return {};
    }
    if (f.empty())
        return {};
    if (f[0] == Command::DataFrame)
        return HandleData(f);
    return HandleCommand(f);
}

std::vector<uint8_t> TQx40Device::HandleCommand(const std::vector<uint8_t>& f) {
    uint8_t code = f[0];
    uint16_t sum = ByteSum(f.data(), 10);
    if (f[10] != uint8_t(sum >> 8) || f[11] != uint8_t(sum)) {
        log_("bad sum, frame ignored: " + HexBytes(f.data(), f.size()));
        return {};
    }
    if (cfg_.silent.count(code)) {
        log_("command " + Hex2(code) + ": staying silent");
        return {};
    }
    if (const TQuery* query = FindQuery(code)) {
        log_(query->log);
        return Reply12(code, query->data(cfg_));
    }
    switch (code) {
    case Command::KeyExchange:
        return HandleKeyFrame(f);
    case Command::StartProgramming:
        return HandleStart(f);
    case Command::Reset:
        log_("command 0B");
        if (running_)
            FinishRun();
        return {};
    default:
        log_("unexpected command " + Hex2(code) + ": " + HexBytes(f.data(), f.size()));
        return {};
    }
}

std::vector<uint8_t> TQx40Device::HandleKeyFrame(const std::vector<uint8_t>& f) {
    // Both the probe and the key exchange carry their key in byte 9; the answer is encoded with
    // that key, so the probe (key 0) is answered with key 0.
    uint8_t frameKey = f[9];
    if (std::equal(f.begin() + 1, f.begin() + 9, kProbeKeyIdentity)) {
        if (cfg_.probeAck < 0) {
            log_("probe: staying silent");
            return {};
        }
        // A slow device (or a loaded machine) answers late.
        std::this_thread::sleep_for(std::chrono::milliseconds(cfg_.probeDelayMs));
        log_("probe: answering " + std::to_string(cfg_.probeAck));
        return {EncodeAck(uint8_t(cfg_.probeAck), frameKey)};
    }
    std::string identity(f.begin() + 1, f.begin() + 9);
    if (identity != cfg_.devId) {
        log_("key exchange with unknown identity " + HexBytes(f.data() + 1, 8) + ": refused");
        return {EncodeAck(0, frameKey)};
    }
    if (cfg_.refuseKey) {
        log_("key exchange: key " + Hex2(frameKey) + " refused");
        return {EncodeAck(0, frameKey)};
    }
    key_ = frameKey;
    log_("key exchange: key " + Hex2(frameKey) + " accepted");
    return {EncodeAck(11, key_)};
}

std::vector<uint8_t> TQx40Device::HandleStart(const std::vector<uint8_t>& f) {
    if (cfg_.startAck != 11) {
        log_("start: refused with " + std::to_string(cfg_.startAck));
        return {EncodeAck(uint8_t(cfg_.startAck), key_)};
    }
    if (running_)
        log_("previous programming run abandoned after " + std::to_string(dataFrames_) +
             " data frames");
    address_ = uint32_t(f[1]) | uint32_t(f[2]) << 8 | uint32_t(f[3]) << 16 | uint32_t(f[4]) << 24;
    packLen_ = f[8];
    kind_ = f[9];
    running_ = true;
    dataFrames_ = 0;
    image_.clear();
    char line[128];
    std::snprintf(line, sizeof line, "start: address 0x%08X flag 0x%02X packlen %u kind %u",
                  address_, f[6], packLen_, kind_);
    log_(line);
    if (cfg_.unplugAfter == 0) {
        log_("unplugged after the start command");
        unplugged_ = true;
    }
    return {EncodeAck(11, key_)};
}

std::vector<uint8_t> TQx40Device::HandleData(const std::vector<uint8_t>& f) {
    size_t n = f[1];
    uint16_t sum = ByteSum(f.data(), n + 3);
    if (f[n + 3] != uint8_t(sum >> 8) || f[n + 4] != uint8_t(sum)) {
        log_("data frame " + std::to_string(dataFrames_ + 1) + ": bad sum, ignored");
        return {};
    }
    if (!running_) {
        log_("data frame without a start command: ignored");
        return {};
    }
    if (n != packLen_) {
        log_("data frame of " + std::to_string(n + 1) + " bytes, but the start announced " +
             std::to_string(packLen_ + 1) + ": ignored");
        return {};
    }
    if (cfg_.silent.count(Command::DataFrame)) {
        log_("data frame " + std::to_string(dataFrames_ + 1) + ": staying silent");
        return {};
    }
    image_.insert(image_.end(), f.begin() + 2, f.begin() + 3 + long(n));
    int frame = ++dataFrames_;
    std::vector<uint8_t> answer{EncodeAck(16, key_)};
    if (frame == cfg_.badAckAt) {
        log_("data frame " + std::to_string(frame) + ": wrong acknowledgement");
        answer = {EncodeAck(17, key_)};
    } else if (frame == cfg_.doubleAckAt) {
        log_("data frame " + std::to_string(frame) + ": two acknowledgements");
        answer.push_back(answer[0]);
    }
    if (frame == cfg_.unplugAfter) {
        log_("unplugged after data frame " + std::to_string(frame));
        unplugged_ = true;
    }
    return answer;
}

void TQx40Device::FinishRun() {
    running_ = false;
    if (cfg_.imageOut.empty()) {
        log_("image received: " + std::to_string(image_.size()) + " bytes (not stored)");
        return;
    }
    std::ofstream out(cfg_.imageOut, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image_.data()), std::streamsize(image_.size()));
    out.close();
    if (!out) {
        log_("image of " + std::to_string(image_.size()) + " bytes could not be written to " +
             cfg_.imageOut);
        return;
    }
    log_("image written: " + std::to_string(image_.size()) + " bytes to " + cfg_.imageOut);
}

} // namespace qx40sim
