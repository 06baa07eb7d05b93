// The texts of port failures, the same on every platform.
#include "PortInventory.h"

#include <cerrno>
#include <cstring>

std::string PortHolders(const std::string& path) {
    const std::vector<std::vector<std::string>> holders = PortHoldersOf({path});
    std::string joined;
    for (const std::string& holder : holders.front())
        joined += (joined.empty() ? "" : "; ") + holder;
    return joined;
}

std::string PermissionCause(const std::string& path, const std::string& group,
                            const std::string& installedRule) {
    std::string text = path + ": permission denied — ";
    const bool byGroup = !group.empty() && group != "root";
    const std::string joinGroup = "add yourself to the group " + group + " (sudo usermod -aG " +
                                  group + " $USER, then log in again)";
    if (installedRule.empty())
        return text + (byGroup ? joinGroup + " or " : "") +
               "install the udev rule of the kestrel package";
    // The rule gives the user at the seat access to the bridges it names, as they are plugged in
    // or once that user logs in.
    return text + "the udev rule " + installedRule +
           " gives the user at the seat access: log in again at the seat, or unplug and replug "
           "the device" +
           (byGroup ? "; in a remote session, " + joinGroup : "");
}

std::string OpenFailureCause(const std::string& path, int err) {
    switch (err) {
    case EACCES:
    case EPERM:
        return PermissionCause(path, PortGroup(path), InstalledUdevRule());
    case EBUSY:
    case EWOULDBLOCK: {
        std::string holders = PortHolders(path);
        return path + ": in use by another program" + (holders.empty() ? "" : " (" + holders + ")");
    }
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return path + ": the device is gone (unplugged?)";
    case ENOTTY:
        return path + ": not a serial port";
    default:
        return path + ": cannot be opened: " + std::strerror(err);
    }
}
