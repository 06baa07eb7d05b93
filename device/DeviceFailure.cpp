// The lines that say why an operation of the device link failed.
#include "DeviceFailure.h"
#include "Commands.h"
#include "PortInventory.h"
#include <cstdio>

namespace {

using Kind = TDeviceFailureKind;

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

// The port's device path, or its name when no device had that number.
std::string Where(const TDeviceFailure& failure) {
    return failure.port.path.empty() ? failure.port.Name() : failure.port.path;
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

// "port 3 (/dev/ttyUSB0)", or the path of a port outside the numbered list.
std::string PortAndPath(const TPortId& port) {
    return port.number > 0 ? "port " + std::to_string(port.number) + " (" + port.path + ")"
                           : port.path;
}

// For the ports among `ports` (those that stayed silent) that other programs hold open:
// "; port 3 (/dev/ttyUSB0) is open in cat, pid 4242 — ...". Such a program need not lock the
// port, yet it reads the device's answers before this tool does. Empty when none is held.
std::string HeldPortsNote(const std::vector<TPortId>& ports) {
    std::vector<std::string> paths;
    paths.reserve(ports.size());
    for (const TPortId& port : ports)
        paths.push_back(port.path);
    const std::vector<std::vector<std::string>> holders = PortHoldersOf(paths);
    std::string note;
    size_t held = 0;
    for (size_t i = 0; i < ports.size(); ++i) {
        if (holders[i].empty())
            continue;
        note += "; " + PortAndPath(ports[i]) + " is open in ";
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

// A data frame that failed: "<path>: the device refused data frame 3 of 8 (bytes 512 to 767)".
std::string FrameText(const TDeviceFailure& failure) {
    const char* how = failure.kind == Kind::WriteFailed ? "the port failed while sending"
                      : failure.kind == Kind::BadReply  ? "the device refused"
                                                        : "the device did not acknowledge";
    const TFrameSpan& frame = failure.frame;
    return failure.port.path + ": " + how + " data frame " + std::to_string(frame.number) + " of " +
           std::to_string(frame.count) + " (bytes " + std::to_string(frame.firstByte) + " to " +
           std::to_string(frame.lastByte) + ")";
}

// A command that failed: "<where>: the device did not answer command 0xC9 (read device identity)".
std::string CommandText(const TDeviceFailure& failure) {
    char what[64];
    std::snprintf(what, sizeof what, "command 0x%02X (%s)", failure.code,
                  CommandName(failure.code));
    const std::string where = Where(failure) + ": ";
    switch (failure.kind) {
    case Kind::WriteFailed:
        return where + "the port failed while sending " + what + " — unplugged?";
    case Kind::BadReply:
        return where + "the device answered " + what + " wrongly (bad sum or refusal)";
    default: // NoReply, and an exchange refused before sending, which nothing answered either
        return where +
               (failure.probed ? "the device answered the probe but not "
                               : "the device did not answer ") +
               what;
    }
}

} // namespace

bool TDeviceFailure::LeftHalfProgrammed() const {
    switch (kind) {
    case TDeviceFailureKind::WriteFailed:
    case TDeviceFailureKind::NoReply:
    case TDeviceFailureKind::BadReply:
        // The data frames and the closing reset come after the device accepted the start.
        return code == Command::DataFrame || code == Command::Reset;
    default:
        return false;
    }
}

std::string DeviceFailureText(const TDeviceFailure& failure) {
    switch (failure.kind) {
    case Kind::None:
        return {};
    case Kind::EmptyImage:
        return "the image is empty";
    case Kind::UnknownImageKind:
        return "image kind " + std::to_string(failure.imageKind) + " is not known";
    case Kind::ImageForOtherType:
        return "image kind 1 is only for the device type QX40, not \"" + failure.deviceType + "\"";
    case Kind::ImageTooLarge:
        return "the image is too large";
    case Kind::OutOfMemory:
        return "not enough memory for an image of " + std::to_string(failure.bytes) + " bytes";
    case Kind::NoDevice:
        return failure.port.Name() + " has no device (" + ExistingPorts() + ")";
    case Kind::OpenFailed:
        return OpenFailureCause(failure.port.path, failure.openError);
    case Kind::NoProbeAnswer:
        return Where(failure) + ": no device answered the probe on " + failure.port.Name() +
               HeldPortsNote(failure.silent);
    case Kind::NoPortAnswered:
        return "no device answered on ports 1 to " + std::to_string(ComPortCount) + " (" +
               ExistingPorts() + ")" + HeldPortsNote(failure.silent);
    case Kind::OpenFailedElsewhereSilent: {
        std::string cause = OpenFailureCause(failure.port.path, failure.openError);
        if (failure.openFailures > 1)
            cause += " (and " + std::to_string(failure.openFailures - 1) +
                     " more ports could not be opened)";
        return cause + "; no device answered on the other ports" + HeldPortsNote(failure.silent);
    }
    case Kind::RefusedLength:
    case Kind::WriteFailed:
    case Kind::NoReply:
    case Kind::BadReply:
        return failure.code == Command::DataFrame ? FrameText(failure) : CommandText(failure);
    }
    return {};
}
