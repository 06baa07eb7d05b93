#pragma once
// Maps the port numbers 1..256 to serial devices. Port N is the N-th entry of the environment
// variable KESTREL_PORTS (a ':'-separated list of device paths; an empty entry leaves that number
// without a device), read anew at each call. Without the variable, the system's serial devices
// are enumerated and sorted: USB bridges (ttyUSB*), then ttyACM*, then the rest (ttyS*, ...), in
// natural numeric order within each group. On Windows port N is \\.\COMN.
#include <cstdint>
#include <string>
#include <vector>

// The port's name as the user sees it, the same in every program: "COM" followed by the number;
// for the port of AdmitOutsidePort, its path.
std::string ComPortName(int32_t port);
// The device path of port `port`, or empty when no device has that number.
std::string PortDevicePath(int32_t port);
// The ordered device list ports are numbered from (entry 0 is port 1); empty paths are gaps.
std::vector<std::string> SerialPortPaths();
// How port numbers reach devices on this system, for help texts.
const char* PortNumbering();
// The order of the default enumeration: true when device name a comes before b.
bool SerialPortBefore(const std::string& a, const std::string& b);
// The port a user named on the command line: a number 1..256 ("7"), "COM7" in any letter case,
// or a device path (a link such as /dev/serial/by-id/... counts as the device it points to) that
// is one of SerialPortPaths(). Otherwise 0, and `error` says what is wrong with the argument and
// points at `kestrel-cli ports`.
int32_t PortNumberFromArgument(const std::string& arg, std::string& error);

// Why `path` cannot serve as a serial port, or empty when it can: it must exist and be a
// character device that takes the serial line settings (a device another program holds, or one
// this user may not open, passes: the open itself reports that). One check per platform; on
// Windows only the COM ports are serial ports.
std::string SerialDeviceProblem(const std::string& path);
// A serial device outside the numbered list (a pseudo-terminal, a Bluetooth serial port) that
// the user named: for the rest of the process it takes the first number without a device, so
// the device link reaches it like any other port. That number, or 0 when every number has a
// device (always on Windows).
int32_t AdmitOutsidePort(const std::string& path);
// True for the number AdmitOutsidePort gave.
bool IsOutsidePort(int32_t port);
