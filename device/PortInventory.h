#pragma once
// What the system's serial ports are: for `kestrel-cli ports`, and for the causes the device
// link gives when a port cannot be opened. USB details come from sysfs under the directory of
// KESTREL_SYSFS_ROOT (default /sys), so that tests can give a tree of their own. One file per
// platform (PortInventory_posix.cpp, PortInventory_win32.cpp) beside the portable texts.
#include <cstdint>
#include <string>
#include <vector>

struct TPortInfo {
    int32_t number = 0; // the port number, 1..256
    std::string path;   // the device path
    bool usb = false;   // a USB bridge: the fields below are known
    std::string vendorId, productId, manufacturer, product, serial;
    bool inUse = false;    // another program holds the port open or locked
    std::string usedBy;    // who, when it can be found: "minicom, pid 4242" ("; " between several)
    std::string openError; // why this process could not look at the port (e.g. permission)
};

// Every serial port of SerialPortPaths() that exists (on Windows: the COM ports that exist), by
// number. Each port is opened for a moment (non-blocking) to learn whether another program keeps
// it to itself; a port that other processes hold open is in use too, with them named.
std::vector<TPortInfo> ListPorts();

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
