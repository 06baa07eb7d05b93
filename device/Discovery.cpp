// Finding the device on the serial ports and reading its identity.
#include "COMFunAPI.h"
#include "UPCommFun.h"
#include <chrono>
#include <random>

namespace {

using TReply = std::array<uint8_t, 12>;

TFrame QueryFrame(uint8_t code) {
    TFrame frame{};
    frame[0] = code;
    return WithSum(frame);
}

// Command 0x01 with a fixed identity and key 0: any device answers it with an acknowledgement.
TFrame ProbeFrame() {
    TFrame frame{0x01, 'P', 'X', '7', '3', '9', '2', 'M', '4', 0x00};
    return WithSum(frame);
}

bool Query(uint8_t code, TReply& reply) {
    return SendCmd(IOPack.ComID, QueryFrame(code), reply);
}

int32_t BigEndian24(const uint8_t* p) {
    return p[0] << 16 | p[1] << 8 | p[2];
}

// A key 0..254 from a generator seeded afresh from the clock (and the system's entropy).
uint8_t DrawKey() {
    auto ticks = std::chrono::high_resolution_clock::now().time_since_epoch().count();
    std::seed_seq seed{static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32),
                       std::random_device{}()};
    std::mt19937 generator(seed);
    return static_cast<uint8_t>(std::uniform_int_distribution<int>(0, 254)(generator));
}

} // namespace

bool ScanCom() {
    for (int32_t port = 1; port <= ComPortCount; ++port) {
        if (!OpenCom(port, IOPack.Baud)) {
            CloseCom(port);
            continue;
        }
        SetComDTR(port, 0);
        if (!SendFrame(port, ProbeFrame())) {
            CloseCom(port);
            continue;
        }
        bool answered = false;
        for (int poll = 0; poll < 51 && !answered; ++poll) {
            answered = ComInCount(port) > 0;
            if (!answered)
                DelayMs(1, false);
        }
        uint8_t ack = 0;
        bool read = answered && ReadComBuf(port, &ack, 1);
        CloseCom(port);
        if (!read)
            continue;
        uint8_t value = AckValue(ack, IOPack.Key);
        if (value == AckCommand || value == AckProbeAlt) {
            IOPack.ComID = static_cast<uint16_t>(port);
            return true;
        }
    }
    return false;
}

bool ConnectDevice() {
    IOPack.Baud = DeviceBaud;
    ScanCom(); // a failed scan leaves the port of an earlier run, which is tried below
    const int32_t port = IOPack.ComID;
    if (!OpenCom(port, IOPack.Baud)) {
        CloseCom(port);
        return false;
    }
    auto fail = [port](bool dtrOff) {
        if (dtrOff)
            SetComDTR(port, 0);
        CloseCom(port);
        return false;
    };
    SetComDTR(port, 0);
    DelayMs(100, false);
    if (!ClearCom(port, 0))
        DelayMs(100, false);
    if (!SendCmd0B())
        return fail(false);
    DelayMs(3000, false);  // the device needs this long after 0x0B before it answers queries
    if (!ReadCounters()) { // tolerated: drop whatever half reply came
        if (!ClearCom(port, 0))
            DelayMs(100, false);
    }
    ReadCID(); // tolerated
    if (!ReadDevID())
        return fail(false);
    if (!SendKey())
        return fail(true);
    if (!ReadTypeText() || !ReadUseCount() || !SendCmd0B())
        return fail(false);
    return CloseCom(port);
}

bool ReadCounters() {
    IOPack.Count1 = 0;
    IOPack.Count2 = 0;
    TReply reply{};
    if (!Query(0xC2, reply))
        return false;
    IOPack.Count1 = BigEndian24(&reply[1]);
    IOPack.Count2 = BigEndian24(&reply[5]);
    return true;
}

bool ReadCID() {
    TReply reply{};
    if (!Query(0xC4, reply))
        return false;
    std::copy(&reply[1], &reply[5], IOPack.CID.begin());
    return true;
}

bool ReadDevID() {
    IOPack.DevID.clear();
    TReply reply{};
    if (!Query(0xC9, reply))
        return false;
    for (size_t i = 1; i <= 8; ++i)
        IOPack.DevID.push_back(static_cast<char>(255 - reply[i]));
    return true;
}

bool ReadTypeText() {
    TReply reply{};
    if (!Query(0xC8, reply))
        return false;
    IOPack.TypeText.assign(reinterpret_cast<const char*>(&reply[1]), 9);
    return true;
}

bool ReadUseCount() {
    IOPack.Count1 = 0;
    TReply reply{};
    if (!Query(0xCA, reply))
        return false;
    IOPack.Count1 = BigEndian24(&reply[1]);
    return true;
}

bool SendKey() {
    TFrame frame{};
    frame[0] = 0x01;
    for (size_t i = 0; i < 8 && i < IOPack.DevID.size(); ++i)
        frame[1 + i] = static_cast<uint8_t>(IOPack.DevID[i]);
    // Stored before sending: the acknowledgement comes back encoded with the new key.
    IOPack.Key = DrawKey();
    frame[9] = IOPack.Key;
    TReply reply{};
    return SendCmd(IOPack.ComID, frame, reply);
}

bool SendCmd0B() {
    TReply reply{};
    return SendCmd(IOPack.ComID, QueryFrame(0x0B), reply);
}
