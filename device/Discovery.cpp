// Finding the device on the serial ports and reading its identity.
#include "DeviceLink.h"
#include "PortInventory.h"
#include "PortNames.h"
#include "TimeLimits.h"
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>

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

// What a command does, for the cause of a failed step.
const char* CommandName(uint8_t code) {
    switch (code) {
    case Command::KeyExchange:
        return "key exchange";
    case Command::StartProgramming:
        return "start programming";
    case Command::Reset:
        return "reset";
    case Command::ReadCounters:
        return "read counters";
    case Command::ReadCID:
        return "read identity bytes";
    case Command::ReadTypeText:
        return "read identity text";
    case Command::ReadDevID:
        return "read device identity";
    case Command::ReadUseCount:
        return "read use counter";
    default:
        return "command";
    }
}

// The port's device path, or its name when no device has that number.
std::string PortWhere(int32_t port) {
    std::string path = PortDevicePath(port);
    return path.empty() ? ComPortName(port) : path;
}

// "3 serial ports exist: /dev/ttyS0, /dev/ttyS1, /dev/ttyUSB0" (the first few named).
std::string ExistingPorts() {
    std::vector<std::string> existing;
    for (const std::string& path : SerialPortPaths())
        if (PortExists(path))
            existing.push_back(path);
    if (existing.empty())
        return "no serial port exists: is the device plugged in?";
    std::string text = std::to_string(existing.size()) +
                       (existing.size() == 1 ? " serial port exists: " : " serial ports exist: ");
    constexpr size_t named = 6;
    for (size_t i = 0; i < existing.size() && i < named; ++i)
        text += (i ? ", " : "") + existing[i];
    if (existing.size() > named)
        text += ", ...";
    return text;
}

// For the ports among `ports` (those that stayed silent) that other programs hold open:
// "; port 3 (/dev/ttyUSB0) is open in cat, pid 4242 — ...". Such a program need not lock the
// port, yet it reads the device's answers before this tool does. Empty when none is held.
std::string HeldPortsNote(const std::vector<int32_t>& ports) {
    std::vector<std::string> paths;
    paths.reserve(ports.size());
    for (int32_t port : ports)
        paths.push_back(PortDevicePath(port));
    const std::vector<std::vector<std::string>> holders = PortHoldersOf(paths);
    std::string note;
    size_t held = 0;
    for (size_t i = 0; i < ports.size(); ++i) {
        if (holders[i].empty())
            continue;
        note += "; port " + std::to_string(ports[i]) + " (" + paths[i] + ") is open in ";
        for (size_t h = 0; h < holders[i].size(); ++h)
            note += (h ? " and in " : "") + holders[i][h];
        ++held;
    }
    if (held == 0)
        return {};
    return note + (held == 1 ? " — a program that has the port open may take the device's answers"
                             : " — programs that have these ports open may take the device's "
                               "answers");
}

} // namespace

const std::string& DeviceFailureCause() {
    return DefaultDeviceLink().FailureCause();
}

void TDeviceLink::FailOpen(int32_t port) {
    std::string path = PortDevicePath(port);
    if (port < 1 || port > ComPortCount)
        failureCause_ = "no port " + std::to_string(port) + " to open (" + ExistingPorts() + ")";
    else if (path.empty())
        failureCause_ = ComPortName(port) + " has no device (" + ExistingPorts() + ")";
    else
        failureCause_ = OpenFailureCause(path, Com.LastOpenError());
}

void TDeviceLink::FailCommand(int32_t port, uint8_t code) {
    char what[64];
    std::snprintf(what, sizeof what, "command 0x%02X (%s)", code, CommandName(code));
    std::string where = PortWhere(port) + ": ";
    switch (stepFault_) {
    case TStepFault::WriteFailed:
        failureCause_ = where + "the port failed while sending " + what + " — unplugged?";
        break;
    case TStepFault::BadReply:
        failureCause_ = where + "the device answered " + what + " wrongly (bad sum or refusal)";
        break;
    case TStepFault::None:
    case TStepFault::NoReply:
        failureCause_ =
            where +
            (probed_ ? "the device answered the probe but not " : "the device did not answer ") +
            what;
        break;
    }
}

std::string TDeviceLink::ScanFailureCause() const {
    if (onlyPort_ != 0) {
        for (const auto& [port, err] : openFaults_)
            if (port == onlyPort_) {
                std::string path = PortDevicePath(port);
                if (path.empty())
                    return ComPortName(port) + " has no device (" + ExistingPorts() + ")";
                return OpenFailureCause(path, err);
            }
        return PortWhere(onlyPort_) + ": no device answered the probe on " +
               ComPortName(onlyPort_) + HeldPortsNote({onlyPort_});
    }
    // The ports that exist and were probed, for the programs that may hold them.
    std::vector<int32_t> silent;
    const std::vector<std::string> paths = SerialPortPaths();
    for (size_t i = 0; i < paths.size() && i < static_cast<size_t>(ComPortCount); ++i) {
        const auto port = static_cast<int32_t>(i + 1);
        if (PortExists(paths[i]) &&
            std::none_of(openFaults_.begin(), openFaults_.end(),
                         [port](const auto& fault) { return fault.first == port; }))
            silent.push_back(port);
    }
    // A port that exists but could not be opened says more than the ports that stayed silent.
    for (const auto& [port, err] : openFaults_) {
        std::string path = PortDevicePath(port);
        if (path.empty())
            continue;
        std::string cause = OpenFailureCause(path, err);
        if (openFaults_.size() > 1)
            cause += " (and " + std::to_string(openFaults_.size() - 1) +
                     " more ports could not be opened)";
        return cause + "; no device answered on the other ports" + HeldPortsNote(silent);
    }
    return "no device answered on ports 1 to " + std::to_string(ComPortCount) + " (" +
           ExistingPorts() + ")" + HeldPortsNote(silent);
}

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
    if (!open.IsOpen()) {
        // Numbers without a device fail with ENOENT at once; anything else is worth naming.
        if (Com.LastOpenError() != ENOENT || port == onlyPort_)
            openFaults_.emplace_back(port, Com.LastOpenError());
        return false;
    }
    Com.SetComDTR(port, 0);
    uint8_t ack = 0;
    if (!SendFrame(port, ProbeFrame()) ||
        !Com.ReadComWithin(port, &ack, 1, {DeviceLimits::ProbePolls, DeviceLimits::ReplyPollPause}))
        return false;
    const uint8_t value = AckValue(ack, IOPack.Key);
    return value == AckCommand || value == AckProbeAlt;
}

bool TDeviceLink::ScanCom() {
    openFaults_.clear();
    const int32_t first = onlyPort_ != 0 ? onlyPort_ : 1;
    const int32_t last = onlyPort_ != 0 ? onlyPort_ : ComPortCount;
    for (int32_t port = first; port <= last; ++port) {
        if (ProbeCom(port)) {
            IOPack.ComID = static_cast<uint16_t>(port);
            return true;
        }
    }
    return false;
}

std::vector<int32_t> TDeviceLink::AnsweringPorts() {
    if (IOPack.Baud == 0)
        IOPack.Baud = DeviceBaud;
    openFaults_.clear();
    std::vector<int32_t> answering;
    const int32_t first = onlyPort_ != 0 ? onlyPort_ : 1;
    const int32_t last = onlyPort_ != 0 ? onlyPort_ : ComPortCount;
    for (int32_t port = first; port <= last; ++port)
        if (ProbeCom(port))
            answering.push_back(port);
    return answering;
}

bool TDeviceLink::ConnectDevice() {
    failureCause_.clear();
    IOPack.Baud = DeviceBaud;
    // A failed scan leaves the port of an earlier run, which is tried below (unless the user
    // named another one). Then the scan's cause is the one that counts.
    probed_ = ScanCom();
    if (!probed_) {
        failureCause_ = ScanFailureCause();
        if (onlyPort_ != 0 && IOPack.ComID != onlyPort_)
            return false;
    }
    const std::string scanCause = failureCause_;
    const int32_t port = IOPack.ComID;
    // Each failure names its cause; after a failed scan the scan's cause stays.
    auto fail = [&](uint8_t code) {
        if (probed_)
            FailCommand(port, code);
        return false;
    };
    TOpenCom open(Com, port, IOPack.Baud);
    if (!open.IsOpen()) {
        if (probed_)
            FailOpen(port);
        return false;
    }
    StartSequence(open.Port());
    if (!SendCmd0B())
        return fail(Command::Reset);
    Com.DelayMs(DeviceLimits::ResetPause);
    if (!ReadCounters()) // tolerated: drop whatever half reply came
        DiscardInput(open.Port());
    ReadCID(); // tolerated
    if (!ReadDevID())
        return fail(Command::ReadDevID);
    if (!SendKey()) {
        open.ClearDtrOnFailure();
        return fail(Command::KeyExchange);
    }
    if (!ReadTypeText())
        return fail(Command::ReadTypeText);
    if (!ReadUseCount())
        return fail(Command::ReadUseCount);
    if (!SendCmd0B())
        return fail(Command::Reset);
    if (!open.Close()) {
        failureCause_ = probed_ ? PortWhere(port) + ": the port could not be closed" : scanCause;
        return false;
    }
    failureCause_.clear();
    return true;
}

bool TDeviceLink::ReadCounters() {
    IOPack.Count1 = 0;
    IOPack.Count2 = 0;
    TReply reply{};
    if (!Query(Command::ReadCounters, reply))
        return false;
    IOPack.Count1 = BigEndian24(&reply[1]);
    IOPack.Count2 = BigEndian24(&reply[5]);
    return true;
}

bool TDeviceLink::ReadCID() {
    TReply reply{};
    if (!Query(Command::ReadCID, reply))
        return false;
    std::copy(&reply[1], &reply[5], IOPack.CID.begin());
    return true;
}

bool TDeviceLink::ReadDevID() {
    IOPack.DevID.clear();
    TReply reply{};
    if (!Query(Command::ReadDevID, reply))
        return false;
    for (size_t i = 1; i <= 8; ++i)
        IOPack.DevID.push_back(static_cast<char>(255 - reply[i]));
    return true;
}

bool TDeviceLink::ReadTypeText() {
    TReply reply{};
    if (!Query(Command::ReadTypeText, reply))
        return false;
    IOPack.TypeText.assign(reinterpret_cast<const char*>(&reply[1]), 9);
    return true;
}

bool TDeviceLink::ReadUseCount() {
    IOPack.Count1 = 0;
    TReply reply{};
    if (!Query(Command::ReadUseCount, reply))
        return false;
    IOPack.Count1 = BigEndian24(&reply[1]);
    return true;
}

bool TDeviceLink::SendKey() {
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

bool TDeviceLink::SendCmd0B() {
    TReply reply{};
    return SendCmd(IOPack.ComID, QueryFrame(Command::Reset), reply);
}
