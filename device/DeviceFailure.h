#pragma once
// Why an operation of the device link failed: a kind from a closed set with the detail its line
// names, and the one function that turns it into that line.
#include "PortNames.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class TDeviceFailureKind {
    None,
    // The image, refused before the device is touched.
    EmptyImage,        // nothing to program
    UnknownImageKind,  // imageKind is none of ImageKind
    ImageForOtherType, // a model image for a device type other than QX40 (deviceType)
    ImageTooLarge,     // filled up, more bytes than an int32_t holds
    OutOfMemory,       // no buffer for `bytes`
    // The ports.
    NoDevice,                  // no device has the port's number
    OpenFailed,                // the device at the port's path could not be opened (openError)
    NoProbeAnswer,             // the one port discovery was limited to stayed silent
    NoPortAnswered,            // no port answered the probe
    OpenFailedElsewhereSilent, // a port could not be opened (openError), the others stayed silent
    // One exchange: command `code`, or a data frame (code Command::DataFrame, `frame`).
    RefusedLength, // refused before anything was sent or read: unknown code, short buffer
    WriteFailed,   // the port failed while sending
    NoReply,       // nothing came back in time
    BadReply,      // a reply with a bad sum or a refusal
};

// A data frame of the image: its number (from 1), how many there are, and its bytes.
struct TFrameSpan {
    int32_t number = 0;
    int32_t count = 0;
    int32_t firstByte = 0;
    int32_t lastByte = 0;
};

struct TDeviceFailure {
    TDeviceFailureKind kind = TDeviceFailureKind::None;
    TPortId port{};                // the port concerned; no path when no device had its number
    uint8_t code = 0;              // the command of a failed exchange
    bool probed = false;           // NoReply: the port had answered the probe in this run
    int openError = 0;             // OpenFailed, OpenFailedElsewhereSilent: the errno of the open
    int32_t imageKind = 0;         // UnknownImageKind
    std::string deviceType{};      // ImageForOtherType
    int64_t bytes = 0;             // OutOfMemory
    TFrameSpan frame{};            // a data frame that failed
    size_t openFailures = 0;       // OpenFailedElsewhereSilent: the ports that could not be opened
    std::vector<TPortId> silent{}; // the ports that stayed silent, for the programs that hold them

    bool Failed() const { return kind != TDeviceFailureKind::None; }
    // The transfer had begun: the device's old image is gone and the new one is incomplete, so
    // it does not start until it is programmed again.
    bool LeftHalfProgrammed() const;
};

// The failure as one English line, beginning with the port's device path when there is one
// ("/dev/ttyUSB0: permission denied — ...", "no device answered on ports 1 to 256 (...)"); empty
// for None. The lines that name existing ports or the programs holding them look at the system
// now.
std::string DeviceFailureText(const TDeviceFailure& failure);
