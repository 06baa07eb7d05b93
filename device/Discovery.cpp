// Finding the device on the serial ports and reading its identity.
#include "DeviceLink.h"
#include "PortInventory.h"
#include "TimeLimits.h"
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <random>
#include <utility>

namespace {

TFrame QueryFrame(uint8_t code) {
    TFrame frame{};
    frame[0] = code;
    return WithSum(frame);
}

// The key exchange with a fixed identity and key 0: any device answers it with an acknowledgement.
TFrame ProbeFrame() {
    TFrame frame{Command::KeyExchange, 'P', 'X', '7', '3', '9', '2', 'M', '4', 0x00};
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

void TDeviceLink::Record(TDeviceFailure failure) {
    failure_ = std::move(failure);
    failureCause_ = DeviceFailureText(failure_);
}

TDeviceFailure TDeviceLink::OpenFailure(const TPortId& port, int err) {
    // A port without a path is a number that no device has.
    if (port.path.empty())
        return {.kind = TDeviceFailureKind::NoDevice, .port = port};
    return {.kind = TDeviceFailureKind::OpenFailed, .port = port, .openError = err};
}

TDeviceFailure TDeviceLink::CommandFailure(const TPortId& port, uint8_t code,
                                           TDeviceFailureKind how, bool probed) {
    return {.kind = how, .port = port, .code = code, .probed = probed};
}

TDeviceFailure TDeviceLink::ScanFailure(const TScan& scan) const {
    const auto& faults = scan.openFaults;
    if (onlyPort_) {
        if (!faults.empty())
            return OpenFailure(faults.front().first, faults.front().second);
        return {
            .kind = TDeviceFailureKind::NoProbeAnswer, .port = *onlyPort_, .silent = {*onlyPort_}};
    }
    // A port that exists but could not be opened says more than the ports that stayed silent.
    if (!faults.empty())
        return {.kind = TDeviceFailureKind::OpenFailedElsewhereSilent,
                .port = faults.front().first,
                .openError = faults.front().second,
                .openFailures = faults.size(),
                .silent = scan.opened};
    return {.kind = TDeviceFailureKind::NoPortAnswered, .silent = scan.opened};
}

TDeviceFailureKind TDeviceLink::Query(TComPort& port, uint8_t code, TReply& reply) {
    return SendCmd(port, QueryFrame(code), reply);
}

void TDeviceLink::DiscardInput(TComPort& port) {
    if (!port.ClearCom(0))
        port.DelayMs(DeviceLimits::SettlePause);
}

void TDeviceLink::StartSequence(TComPort& port) {
    port.SetComDTR(0);
    port.DelayMs(DeviceLimits::SettlePause);
    DiscardInput(port);
}

TDeviceLink::TProbe TDeviceLink::ProbeCom(const TPortId& port, std::chrono::microseconds wait) {
    TComPort com(window_);
    if (!com.OpenCom(port.path, IOPack.Baud))
        return {.opened = false, .openError = com.LastOpenError()};
    com.SetComDTR(0);
    uint8_t ack = 0;
    if (!SendFrame(com, ProbeFrame()) || !com.ReadComWithin(&ack, 1, wait))
        return {.opened = true};
    const uint8_t value = AckValue(ack, IOPack.Key);
    return {
        .opened = true, .replied = true, .answered = value == AckCommand || value == AckProbeAlt};
}

TDeviceLink::TScan TDeviceLink::Scan(bool all) {
    TScan scan;
    std::vector<TPortId> silent; // opened, and nothing came back in time
    // One listing for the whole scan: every probe opens the path it names.
    const std::vector<TPortId> ports =
        onlyPort_ ? std::vector<TPortId>{*onlyPort_} : ListSerialPorts();
    for (const TPortId& port : ports) {
        const TProbe probe = ProbeCom(port, DeviceLimits::ProbeWait);
        // Listed paths without a device fail with ENOENT at once; anything else is worth naming.
        if (!probe.opened && (probe.openError != ENOENT || onlyPort_))
            scan.openFaults.emplace_back(port, probe.openError);
        if (probe.opened)
            scan.opened.push_back(port);
        if (probe.opened && !probe.replied)
            silent.push_back(port);
        if (probe.answered) {
            scan.answering.push_back(port);
            if (!all)
                break;
        }
    }
    // On a loaded machine (or behind a slow bridge) a device's answer can come after the quick
    // look the scan gives every port. When no port answered, the silent ones are asked once more
    // and given as long as a command's reply.
    for (size_t i = 0; i < silent.size() && scan.answering.empty(); ++i)
        if (ProbeCom(silent[i], DeviceLimits::ReplyWait).answered)
            scan.answering.push_back(silent[i]);
    return scan;
}

TDeviceFailure TDeviceLink::ScanCom() {
    const TScan scan = Scan(false);
    if (scan.answering.empty())
        return ScanFailure(scan);
    IOPack.ComID = scan.answering.front();
    return {};
}

std::vector<TPortId> TDeviceLink::AnsweringPorts() {
    if (IOPack.Baud == 0)
        IOPack.Baud = DeviceBaud;
    return Scan(true).answering;
}

bool TDeviceLink::ConnectDevice() {
    Record({});
    IOPack.Baud = DeviceBaud;
    // A failed scan leaves the port of an earlier run, which is tried below (unless the user
    // named another one). Then the scan's cause is the one that counts.
    TDeviceFailure scanned = ScanCom();
    const bool probed = !scanned.Failed();
    if (!probed) {
        Record(std::move(scanned));
        if (IOPack.ComID.path.empty() || (onlyPort_ && IOPack.ComID.path != onlyPort_->path))
            return false;
    }
    TDeviceFailure failure = Identify(IOPack.ComID, probed);
    const bool ok = !failure.Failed();
    // After a failed scan its cause stays, unless the port of the earlier run worked.
    if (ok || probed)
        Record(std::move(failure));
    return ok;
}

TDeviceFailure TDeviceLink::Identify(const TPortId& port, bool probed) {
    auto fail = [&](uint8_t code, TDeviceFailureKind how) {
        return CommandFailure(port, code, how, probed);
    };
    TComPort com(window_);
    if (!com.OpenCom(port.path, IOPack.Baud))
        return OpenFailure(port, com.LastOpenError());
    StartSequence(com);
    TReply reply{};
    if (auto how = Query(com, Command::Reset, reply); how != TDeviceFailureKind::None)
        return fail(Command::Reset, how);
    com.DelayMs(DeviceLimits::ResetPause);
    // A failed read of the counters is tolerated: whatever half reply came is dropped.
    if (Read(com, Command::ReadCounters) != TDeviceFailureKind::None)
        DiscardInput(com);
    Read(com, Command::ReadCID); // tolerated
    if (auto how = Read(com, Command::ReadDevID); how != TDeviceFailureKind::None)
        return fail(Command::ReadDevID, how);
    if (auto how = SendKey(com); how != TDeviceFailureKind::None) {
        com.ClearDtrOnFailure();
        return fail(Command::KeyExchange, how);
    }
    for (uint8_t code : {Command::ReadTypeText, Command::ReadUseCount})
        if (auto how = Read(com, code); how != TDeviceFailureKind::None)
            return fail(code, how);
    if (auto how = Query(com, Command::Reset, reply); how != TDeviceFailureKind::None)
        return fail(Command::Reset, how);
    com.CloseCom();
    return {};
}

TDeviceFailureKind TDeviceLink::Read(TComPort& port, uint8_t code) {
    // What a failed read leaves: counters 0, an empty identity; identity bytes and text stay.
    switch (code) {
    case Command::ReadCounters:
        IOPack.Count2 = 0;
        [[fallthrough]];
    case Command::ReadUseCount:
        IOPack.Count1 = 0;
        break;
    case Command::ReadDevID:
        IOPack.DevID.clear();
        break;
    default:
        break;
    }
    TReply reply{};
    if (auto how = Query(port, code, reply); how != TDeviceFailureKind::None)
        return how;
    switch (code) {
    case Command::ReadCounters:
        IOPack.Count1 = BigEndian24(&reply[1]);
        IOPack.Count2 = BigEndian24(&reply[5]);
        break;
    case Command::ReadCID:
        std::copy(&reply[1], &reply[5], IOPack.CID.begin());
        break;
    case Command::ReadDevID:
        for (size_t i = 1; i <= 8; ++i)
            IOPack.DevID.push_back(static_cast<char>(255 - reply[i]));
        break;
    case Command::ReadTypeText:
        IOPack.TypeText.assign(reinterpret_cast<const char*>(&reply[1]), 9);
        break;
    case Command::ReadUseCount:
        IOPack.Count1 = BigEndian24(&reply[1]);
        break;
    default:
        break;
    }
    return TDeviceFailureKind::None;
}

TDeviceFailureKind TDeviceLink::SendKey(TComPort& port) {
    TFrame frame{};
    frame[0] = Command::KeyExchange;
    for (size_t i = 0; i < 8 && i < IOPack.DevID.size(); ++i)
        frame[1 + i] = static_cast<uint8_t>(IOPack.DevID[i]);
    // Stored before sending: the acknowledgement comes back encoded with the new key.
    IOPack.Key = DrawKey();
    frame[9] = IOPack.Key;
    TReply reply{};
    return SendCmd(port, frame, reply);
}
