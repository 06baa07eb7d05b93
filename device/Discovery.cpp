// Finding the device on the serial ports and reading its identity.
#include "DeviceLink.h"
#include "TimeLimits.h"
#include <chrono>
#include <random>

namespace {

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

bool TDeviceLink::Query(uint8_t code, TReply& reply) {
    return SendCmd(IOPack.ComID, QueryFrame(code), reply);
}

void TDeviceLink::DiscardInput(int32_t port) {
    if (!Com.ClearCom(port, 0))
        Com.DelayMs(DeviceLimits::SettlePause);
}

void TDeviceLink::StartSequence(int32_t port) {
    Com.SetComDTR(port, 0);
    Com.DelayMs(DeviceLimits::SettlePause);
    DiscardInput(port);
}

bool TDeviceLink::ProbeCom(int32_t port) {
    TOpenCom open(Com, port, IOPack.Baud);
    if (!open.IsOpen())
        return false;
    Com.SetComDTR(port, 0);
    uint8_t ack = 0;
    if (!SendFrame(port, ProbeFrame()) ||
        !Com.ReadComWithin(port, &ack, 1, {DeviceLimits::ProbePolls, DeviceLimits::ReplyPollPause}))
        return false;
    const uint8_t value = AckValue(ack, IOPack.Key);
    return value == AckCommand || value == AckProbeAlt;
}

bool TDeviceLink::ScanCom() {
    for (int32_t port = 1; port <= ComPortCount; ++port) {
        if (ProbeCom(port)) {
            IOPack.ComID = static_cast<uint16_t>(port);
            return true;
        }
    }
    return false;
}

bool TDeviceLink::ConnectDevice() {
    IOPack.Baud = DeviceBaud;
    ScanCom(); // a failed scan leaves the port of an earlier run, which is tried below
    TOpenCom open(Com, IOPack.ComID, IOPack.Baud);
    if (!open.IsOpen())
        return false;
    StartSequence(open.Port());
    if (!SendCmd0B())
        return false;
    Com.DelayMs(DeviceLimits::ResetPause);
    if (!ReadCounters()) // tolerated: drop whatever half reply came
        DiscardInput(open.Port());
    ReadCID(); // tolerated
    if (!ReadDevID())
        return false;
    if (!SendKey()) {
        open.ClearDtrOnFailure();
        return false;
    }
    if (!ReadTypeText() || !ReadUseCount() || !SendCmd0B())
        return false;
    return open.Close();
}

bool TDeviceLink::ReadCounters() {
    IOPack.Count1 = 0;
    IOPack.Count2 = 0;
    TReply reply{};
    if (!Query(0xC2, reply))
        return false;
    IOPack.Count1 = BigEndian24(&reply[1]);
    IOPack.Count2 = BigEndian24(&reply[5]);
    return true;
}

bool TDeviceLink::ReadCID() {
    TReply reply{};
    if (!Query(0xC4, reply))
        return false;
    std::copy(&reply[1], &reply[5], IOPack.CID.begin());
    return true;
}

bool TDeviceLink::ReadDevID() {
    IOPack.DevID.clear();
    TReply reply{};
    if (!Query(0xC9, reply))
        return false;
    for (size_t i = 1; i <= 8; ++i)
        IOPack.DevID.push_back(static_cast<char>(255 - reply[i]));
    return true;
}

bool TDeviceLink::ReadTypeText() {
    TReply reply{};
    if (!Query(0xC8, reply))
        return false;
    IOPack.TypeText.assign(reinterpret_cast<const char*>(&reply[1]), 9);
    return true;
}

bool TDeviceLink::ReadUseCount() {
    IOPack.Count1 = 0;
    TReply reply{};
    if (!Query(0xCA, reply))
        return false;
    IOPack.Count1 = BigEndian24(&reply[1]);
    return true;
}

bool TDeviceLink::SendKey() {
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

bool TDeviceLink::SendCmd0B() {
    TReply reply{};
    return SendCmd(IOPack.ComID, QueryFrame(0x0B), reply);
}
