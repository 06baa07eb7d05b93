#pragma once
// A well-behaved device for the scripted device, with switches for the faults a test needs.
// Runs on the scripted device's thread; read its fields after SyncWithDevice.
#include "PtyDevice.h"
#include <algorithm>
#include <string>

struct DeviceModel {
    uint8_t key = 0;       // the key of the last key exchange
    int probeAck = 11;     // value the probe's acknowledgement decodes to; -1: silent
    bool answerC2 = true;  // counters
    int keyAck = 11;       // value the key exchange's acknowledgement decodes to; -1: silent
    int startAck = 11;     // start of programming
    int blockAck = 16;     // data frames; -1: silent
    int blockAckBytes = 1; // how many acknowledgement bytes a data frame draws
    Bytes devIdReply = {0xBE, 0xCD, 0xCF, 0xCE, 0xCB, 0xCA, 0xC9, 0xC8}; // "A2014567"
    std::string typeText = "QX40V2.13";
    Bytes cid = {0x12, 0x34, 0xAB, 0xCD};

    static bool IsProbe(const Bytes& f) {
        return f[0] == 0x01 && std::string(f.begin() + 1, f.begin() + 9) == "PX7392M4";
    }

    static Bytes WithCode(uint8_t code, const Bytes& data) {
        Bytes body(1 + data.size(), code);
        std::copy(data.begin(), data.end(), body.begin() + 1);
        return body;
    }

    Bytes Ack(int value) const {
        return value < 0 ? Bytes{} : Bytes{AckByte(static_cast<uint8_t>(value), key)};
    }

    Bytes operator()(const Bytes& f) {
        switch (f[0]) {
        case 0x01:
            if (IsProbe(f))
                return probeAck < 0 ? Bytes{} : Bytes{AckByte(static_cast<uint8_t>(probeAck), 0)};
            key = f[9];
            return Ack(keyAck);
        case 0x02:
            return Ack(startAck);
        case 0x09:
            if (blockAck < 0)
                return {};
            return Bytes(static_cast<size_t>(blockAckBytes),
                         AckByte(static_cast<uint8_t>(blockAck), key));
        case 0xC2:
            return answerC2 ? Reply12({0xC2, 0x00, 0x01, 0x02, 0xFF, 0x03, 0x04, 0x05}) : Bytes{};
        case 0xC4:
            return Reply12({0xC4, cid[0], cid[1], cid[2], cid[3]});
        case 0xC8:
            return Reply12(WithCode(0xC8, Bytes(typeText.begin(), typeText.end())));
        case 0xC9:
            return Reply12(WithCode(0xC9, devIdReply));
        case 0xCA:
            return Reply12({0xCA, 0x00, 0x00, 0x2A});
        default:
            return {};
        }
    }
};

// The codes of the logged frames, in order (the marker left out).
inline Bytes Codes(const std::vector<Bytes>& frames) {
    Bytes codes;
    for (const Bytes& f : frames)
        if (f[0] != 0xEE)
            codes.push_back(f[0]);
    return codes;
}
