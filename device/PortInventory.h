#pragma once
// What the system's serial ports are: for `kestrel-cli ports`, the windows' port boxes, and for
// the causes the device link gives when a port cannot be opened. On Linux USB details come from
// sysfs under the directory of KESTREL_SYSFS_ROOT (default /sys), so that tests can give a tree of
// their own; on Windows from the device list (SetupAPI, read by PortInventoryRecords.h). One file
// per platform (PortInventory_posix.cpp, PortInventory_win32.cpp) beside the portable texts.
#include "PortNames.h"

#include <cstdint>
#include <string>
#include <vector>

struct TPortInfo {
    int32_t number = 0;       // the port number, 1..256
    std::string path;         // the device path
    std::string friendlyName; // the system's name for it: "USB-SERIAL CH340 (COM5)" (Windows)
    bool usb = false;         // a USB bridge: the ids below are known, the rest where told
    std::string vendorId, productId; // lower-case hex, "1a86" and "7523"
    std::string manufacturer, product, serial;
    bool inUse = false;    // another program holds the port open or locked
    std::string usedBy;    // who, when it can be found: "minicom, pid 4242" ("; " between several)
    std::string openError; // why this process could not look at the port (e.g. permission)
};

// The ports a search for the device tries, listed once for it: every entry of SerialPortPaths()
// that names a device (on Windows every COM port, \\.\COM1 to \\.\COM256), in the order of their
// numbers, each with what the system says about it when it exists. None is opened.
std::vector<TPortId> ListSerialPorts();
// Every serial port of SerialPortPaths() that exists (on Windows: the COM ports that exist or that
// the device list names), by number, with what the system says about it. None is opened.
std::vector<TPortInfo> DescribePorts();
// DescribePorts(), and each port opened for a moment (non-blocking) to learn whether another
// program keeps it to itself; a port that other processes hold open is in use too, with them
// named.
std::vector<TPortInfo> ListPorts();
// What the system says about a port, one line: "USB 1a86:7523, USB-SERIAL CH340 (COM5)",
// "USB 1a86:7523, QinHeng Electronics, USB Serial, serial 0001"; empty when it says nothing.
std::string PortDescription(const TPortInfo& info);
// The text of a port box's tooltip for one port: its path and description ("/dev/ttyUSB0  USB
// 1a86:7523, ..."; on Windows, where the path only repeats the name, the description); its name
// when neither says more.
std::string PortTip(const TPortId& port);
// The tooltip as the box is hovered: PortTip of port `selected` as the system has it now; for 0
// (no port chosen) every port of DescribePorts(), one a line ("COM5  USB 1a86:7523, ..."), so
// that the user can tell which one is the bridge.
std::string PortOverview(int32_t selected);
// Why a port in use names no holder on this system (Windows does not tell which program holds a
// COM port); empty where holders are named when they can be seen.
std::string UnnamedHolderNote();

// True when the device of that path exists (a character device; a COM port present).
bool PortExists(const std::string& path);
// The other processes that hold each of `paths` open, in the same order: "name, pid N" each
// (none when none can be found, or the system does not tell). An open descriptor counts whether
// or not its program took a lock: a reader without one still takes the device's answers. A
// process that also holds the master side of a pseudo-terminal is that line's far end (the
// device), not a holder. One pass over the system's processes serves every path.
std::vector<std::vector<std::string>> PortHoldersOf(const std::vector<std::string>& paths);
// The holders of one path, joined by "; ".
std::string PortHolders(const std::string& path);
// The group that owns the device node (e.g. "dialout"), empty when unknown.
std::string PortGroup(const std::string& path);
// Where the kestrel package's udev rule (70-kestrel.rules) is installed, empty when it is not.
std::string InstalledUdevRule();
// The cause of a refused open: the fix by the group that owns the port (`group`, unless empty or
// root), and by the udev rule: to install it, or, with the rule installed (`installedRule`),
// what makes it apply (a new login at the seat or replugging; it does not reach a remote
// session).
std::string PermissionCause(const std::string& path, const std::string& group,
                            const std::string& installedRule);

// One line on why `path` could not be opened, from the error number the port layer left:
// "<path>: permission denied — add yourself to the group dialout (...)", "<path>: in use by
// another program (minicom, pid 4242)", "<path>: the device is gone (unplugged?)", or the
// system's own words.
std::string OpenFailureCause(const std::string& path, int err);
