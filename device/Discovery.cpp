// Finding the device on the serial ports and reading its identity.
#include "DeviceLink.h"
#include "PortInventory.h"
#include "PortNames.h"
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

// An open of port `port` (1..256) that failed with errno `err`: no device has that number, or
// the device's own refusal.
TDeviceFailure OpenFault(int32_t port, int err) {
    std::string path = PortDevicePath(port);
    if (path.empty())
        return {.kind = TDeviceFailureKind::NoDevice, .port = port};
    return {.kind = TDeviceFailureKind::OpenFailed,
            .port = port,
            .path = std::move(path),
            .openError = err};
}

} // namespace

void TDeviceLink::Record(TDeviceFailure failure) {
    failure_ = std::move(failure);
    failureCause_ = DeviceFailureText(failure_);
}

TDeviceFailure TDeviceLink::OpenFailure(int32_t port) const {
    if (port < 1 || port > ComPortCount)
        return {.kind = TDeviceFailureKind::NoSuchPort, .port = port};
    return OpenFault(port, Com.LastOpenError());
}

TDeviceFailure TDeviceLink::CommandFailure(int32_t port, uint8_t code, TDeviceFailureKind how,
                                           bool probed) {
    return {
        .kind = how, .port = port, .path = PortDevicePath(port), .code = code, .probed = probed};
}

TDeviceFailure TDeviceLink::ScanFailure(const TScan& scan) const {
    const auto& faults = scan.openFaults;
    if (onlyPort_ != 0) {
        for (const auto& [port, err] : faults)
            if (port == onlyPort_)
                return OpenFault(port, err);
        return {.kind = TDeviceFailureKind::NoProbeAnswer,
                .port = onlyPort_,
                .path = PortDevicePath(onlyPort_),
                .silent = {onlyPort_}};
    }
    // The ports that exist and were probed, for the programs that may hold them.
    std::vector<int32_t> silent;
    const std::vector<std::string> paths = SerialPortPaths();
    for (size_t i = 0; i < paths.size() && i < static_cast<size_t>(ComPortCount); ++i) {
        const auto port = static_cast<int32_t>(i + 1);
        if (PortExists(paths[i]) &&
            std::none_of(faults.begin(), faults.end(),
                         [port](const auto& fault) { return fault.first == port; }))
            silent.push_back(port);
    }
    // A port that exists but could not be opened says more than the ports that stayed silent.
    for (const auto& [port, err] : faults) {
        std::string path = PortDevicePath(port);
        if (!path.empty())
            return {.kind = TDeviceFailureKind::OpenFailedElsewhereSilent,
                    .port = port,
                    .path = std::move(path),
                    .openError = err,
                    .openFailures = faults.size(),
                    .silent = std::move(silent)};
    }
    return {.kind = TDeviceFailureKind::NoPortAnswered, .silent = std::move(silent)};
}

TDeviceFailureKind TDeviceLink::Query(uint8_t code, TReply& reply) {
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

TDeviceLink::TProbe TDeviceLink::ProbeCom(int32_t port, int polls) {
    TOpenCom open(Com, port, IOPack.Baud);
    if (!open.IsOpen())
        return {.opened = false, .openError = Com.LastOpenError()};
    Com.SetComDTR(port, 0);
    uint8_t ack = 0;
    if (!SendFrame(port, ProbeFrame()) ||
        !Com.ReadComWithin(port, &ack, 1, {polls, DeviceLimits::ReplyPollPause}))
        return {.opened = true};
    const uint8_t value = AckValue(ack, IOPack.Key);
    return {
        .opened = true, .replied = true, .answered = value == AckCommand || value == AckProbeAlt};
}

TDeviceLink::TScan TDeviceLink::Scan(bool all) {
    TScan scan;
    std::vector<int32_t> silent; // opened, and nothing came back in time
    const int32_t first = onlyPort_ != 0 ? onlyPort_ : 1;
    const int32_t last = onlyPort_ != 0 ? onlyPort_ : ComPortCount;
    for (int32_t port = first; port <= last; ++port) {
        const TProbe probe = ProbeCom(port, DeviceLimits::ProbePolls);
        // Numbers without a device fail with ENOENT at once; anything else is worth naming.
        if (!probe.opened && (probe.openError != ENOENT || port == onlyPort_))
            scan.openFaults.emplace_back(port, probe.openError);
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
        if (ProbeCom(silent[i], DeviceLimits::ReplyPolls).answered)
            scan.answering.push_back(silent[i]);
    return scan;
}

TDeviceFailure TDeviceLink::ScanCom() {
    const TScan scan = Scan(false);
    if (scan.answering.empty())
        return ScanFailure(scan);
    IOPack.ComID = static_cast<uint16_t>(scan.answering.front());
    return {};
}

std::vector<int32_t> TDeviceLink::AnsweringPorts() {
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
        if (onlyPort_ != 0 && IOPack.ComID != onlyPort_)
            return false;
    }
    TDeviceFailure failure = Identify(IOPack.ComID, probed);
    const bool ok = !failure.Failed();
    // After a failed scan its cause stays, unless the port of the earlier run worked.
    if (ok || probed)
        Record(std::move(failure));
    return ok;
}

TDeviceFailure TDeviceLink::Identify(int32_t port, bool probed) {
    auto fail = [&](uint8_t code, TDeviceFailureKind how) {
        return CommandFailure(port, code, how, probed);
    };
    TOpenCom open(Com, port, IOPack.Baud);
    if (!open.IsOpen())
        return OpenFailure(port);
    StartSequence(open.Port());
    TReply reply{};
    if (auto how = Query(Command::Reset, reply); how != TDeviceFailureKind::None)
        return fail(Command::Reset, how);
    Com.DelayMs(DeviceLimits::ResetPause);
    // A failed read of the counters is tolerated: whatever half reply came is dropped.
    if (Read(Command::ReadCounters) != TDeviceFailureKind::None)
        DiscardInput(open.Port());
    Read(Command::ReadCID); // tolerated
    if (auto how = Read(Command::ReadDevID); how != TDeviceFailureKind::None)
        return fail(Command::ReadDevID, how);
    if (auto how = SendKey(); how != TDeviceFailureKind::None) {
        open.ClearDtrOnFailure();
        return fail(Command::KeyExchange, how);
    }
    for (uint8_t code : {Command::ReadTypeText, Command::ReadUseCount})
        if (auto how = Read(code); how != TDeviceFailureKind::None)
            return fail(code, how);
    if (auto how = Query(Command::Reset, reply); how != TDeviceFailureKind::None)
        return fail(Command::Reset, how);
    if (!open.Close())
        return {
            .kind = TDeviceFailureKind::CloseFailed, .port = port, .path = PortDevicePath(port)};
    return {};
}

TDeviceFailureKind TDeviceLink::Read(uint8_t code) {
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
    if (auto how = Query(code, reply); how != TDeviceFailureKind::None)
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

TDeviceFailureKind TDeviceLink::SendKey() {
    TFrame frame{};
    frame[0] = Command::KeyExchange;
    for (size_t i = 0; i < 8 && i < IOPack.DevID.size(); ++i)
        frame[1 + i] = static_cast<uint8_t>(IOPack.DevID[i]);
    // Stored before sending: the acknowledgement comes back encoded with the new key.
    IOPack.Key = DrawKey();
    frame[9] = IOPack.Key;
    TReply reply{};
    return SendCmd(IOPack.ComID, frame, reply);
}
