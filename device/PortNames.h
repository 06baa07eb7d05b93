#pragma once
// Which serial ports there are and how the user names them. The ports are numbered 1 to 256: port
// N is the N-th entry of the environment variable KESTREL_PORTS (a ':'-separated list of device
// paths; an empty entry leaves that number without a device), read anew at each listing. Without
// the variable, the system's serial devices are enumerated and sorted: USB bridges (ttyUSB*), then
// ttyACM*, then the rest (ttyS*, ...), in natural numeric order within each group. On Windows port
// N is \\.\COMN. A port is reached by its path; the number is how it is shown.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

constexpr int32_t ComPortCount = 256;

// The port's name as the user sees it, the same in every program: "COM" followed by the number.
std::string ComPortName(int32_t number);

// One serial port: where it is, the number it is shown with, and what the system says about it.
struct TPortId {
    std::string path{};        // the device path ("/dev/ttyUSB0", "\\.\COM5"); empty: no device
    int32_t number = 0;        // 1..256; 0 for a device outside the numbered list
    std::string description{}; // "USB 1a86:7523, ..." (PortInventory.h); empty when none known

    // ComPortName(number), or the path of a device outside the numbered list.
    std::string Name() const { return number > 0 ? ComPortName(number) : path; }
};

// The ordered device list ports are numbered from (entry 0 is port 1); empty paths are gaps.
std::vector<std::string> SerialPortPaths();
// How port numbers reach devices on this system, for help texts.
const char* PortNumbering();
// The order of the default enumeration: true when device name a comes before b.
bool SerialPortBefore(const std::string& a, const std::string& b);
// The numbered port a user named on the command line, looked up in `listed` (ListSerialPorts): a
// number 1..256 ("7") or "COM7" in any letter case gives that port, or a port of that number
// without a path when the list has none; a device path (a link such as /dev/serial/by-id/...
// counts as the device it points to) gives the listed port with that device. Otherwise nothing,
// and `error` says what is wrong with the argument and points at `kestrel-cli ports`.
std::optional<TPortId> PortFromArgument(const std::string& arg, const std::vector<TPortId>& listed,
                                        std::string& error);

// Why `path` cannot serve as a serial port, or empty when it can: it must exist and be a
// character device that takes the serial line settings (a device another program holds, or one
// this user may not open, passes: the open itself reports that). One check per platform; on
// Windows only the COM ports are serial ports.
std::string SerialDeviceProblem(const std::string& path);
