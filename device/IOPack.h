#pragma once
// The device session record: what discovery learns about the device and what programming reuses.
// Each device link holds one.
#include "PortNames.h"

#include <array>
#include <cstdint>
#include <string>

class TProgressBar;

struct TIOPack {
    TPortId ComID;        // the device's port: its path and number (no path: none found yet)
    uint8_t Key = 0;      // session key 0..254; its low nibble decodes every acknowledgement
    uint8_t PackLen = 0;  // data bytes per programming block minus one
    std::string TypeText; // 9 characters: type (4), software version (4), hardware version (1)
    std::string DevID;    // the 8-character device identity
    std::array<uint8_t, 4> CID{};        // identity bytes
    int32_t Count1 = 0;                  // use counter
    int32_t Count2 = 0;                  // second counter
    TProgressBar* ProgressBar = nullptr; // moved by the programming transfer
    int32_t Baud = 0;                    // serial speed in bit/s
};

// The fields of an identity text (TypeText): the device type (4 characters), the software version
// (4) and the hardware version (1); each holds what the text has of it, empty past its end.
struct TTypeFields {
    std::string type, software, hardware;
};
inline TTypeFields TypeFields(const std::string& typeText) {
    auto part = [&](size_t at, size_t n) {
        return typeText.size() > at ? typeText.substr(at, n) : std::string();
    };
    return {part(0, 4), part(4, 4), part(8, 1)};
}
