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

std::string OpenFailureCause(const std::string& path, int err) {
    switch (err) {
    case EACCES:
    case EPERM: {
        std::string group = PortGroup(path);
        std::string text = path + ": permission denied — ";
        if (!group.empty() && group != "root")
            text += "add yourself to the group " + group + " (sudo usermod -aG " + group +
                    " $USER, then log in again) or ";
        return text + "install the udev rule of the kestrel package";
    }
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
