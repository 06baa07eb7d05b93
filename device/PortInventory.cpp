// The texts of ports and their failures, the same on every platform.
#include "PortInventory.h"

#include <cerrno>
#include <cstring>

std::string PortDescription(const TPortInfo& info) {
    std::string text;
    auto add = [&text](const std::string& part) {
        if (!part.empty())
            text += (text.empty() ? "" : ", ") + part;
    };
    if (info.usb)
        add("USB " + info.vendorId + ":" + info.productId);
    for (const std::string* part : {&info.friendlyName, &info.manufacturer, &info.product})
        add(*part);
    if (!info.serial.empty())
        add("serial " + info.serial);
    return text;
}

namespace {

// The path where it says more than the name (not \\.\COM5), then the description.
std::string Details(const TPortId& port) {
    const std::string name = ComPortName(port.number);
    std::string text = port.path == name || port.path == "\\\\.\\" + name ? "" : port.path;
    if (!port.description.empty())
        text += (text.empty() ? "" : "  ") + port.description;
    return text;
}

} // namespace

std::string PortTip(const TPortId& port) {
    const std::string text = Details(port);
    return text.empty() ? port.Name() : text;
}

std::string PortOverview(int32_t selected) {
    if (selected > 0) {
        // A port no longer among those there are: its path, as far as it has one.
        TPortId port{.number = selected};
        for (const TPortId& listed : ListSerialPorts())
            if (listed.number == selected)
                port = listed;
        return PortTip(port);
    }
    std::string text;
    for (const TPortInfo& info : DescribePorts()) {
        const std::string line = Details(
            {.path = info.path, .number = info.number, .description = PortDescription(info)});
        text += (text.empty() ? "" : "\n") + ComPortName(info.number) +
                (line.empty() ? "" : "  " + line);
    }
    return text;
}

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
        if (holders.empty())
            holders = UnnamedHolderNote();
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
