// `kestrel-cli ports`, and the choice of one port with --port.
#include "DeviceCommands.h"

#include "PortInventory.h"

namespace {
// "USB 1a86:7523, QinHeng Electronics, USB Serial, serial 0001; in use by minicom, pid 4242"
std::string PortDetail(const TPortInfo& p) {
    std::string text = PortDescription(p);
    std::string use = p.openError;
    if (use.empty() && p.inUse) {
        const std::string unnamed = UnnamedHolderNote();
        use = !p.usedBy.empty() ? "in use by " + p.usedBy
              : unnamed.empty() ? "in use"
                                : "in use by another program (" + unnamed + ")";
    } else if (use.empty()) {
        use = "free";
    }
    return text.empty() ? use : text + "; " + use;
}
} // namespace

int RunPorts(TCliRun& run) {
    if (!run.Options().operands.empty()) {
        run.Error("kestrel-cli ports: no arguments expected (see kestrel-cli help ports)");
        return ExitUsage;
    }
    std::vector<TPortInfo> ports = ListPorts();
    TJson list = TJson::Array();
    for (const TPortInfo& p : ports) {
        run.Result(std::to_string(p.number) + "  " + ComPortName(p.number) + "  " + p.path + "  " +
                   PortDetail(p));
        TJson port = TJson::Object()
                         .Add("number", int(p.number))
                         .Add("name", ComPortName(p.number))
                         .Add("path", p.path);
        if (p.friendlyName.empty())
            port.AddNull("friendly_name");
        else
            port.Add("friendly_name", p.friendlyName);
        port.Add("usb", p.usb);
        if (p.usb)
            port.Add("vendor_id", p.vendorId)
                .Add("product_id", p.productId)
                .Add("manufacturer", p.manufacturer)
                .Add("product", p.product)
                .Add("serial", p.serial);
        port.Add("in_use", p.inUse).Add("used_by", p.usedBy);
        if (p.openError.empty())
            port.AddNull("open_error");
        else
            port.Add("open_error", p.openError);
        list.Push(port);
    }
    if (ports.empty())
        run.Say("kestrel-cli ports: no serial port found (" + std::string(PortNumbering()) + ")");
    run.Report().Add("ports", list);
    run.SetOutcome(ports.empty() ? "no-ports" : "listed", "");
    return ExitOk;
}

bool PortToTry(TCliRun& run, std::optional<TPortId>& port) {
    const std::string& arg = run.Options().port;
    if (arg.empty())
        return true;
    auto refuse = [&](const std::string& why) {
        run.SetOutcome("usage-error", "");
        run.Error("kestrel-cli " + run.Command() + ": " + why);
        return false;
    };
    std::string error;
    if (std::optional<TPortId> listed = PortFromArgument(arg, ListSerialPorts(), error)) {
        // A number without a device is a slip on the command line, refused before anything is
        // opened: a search there could only end in "device not found".
        const std::string& path = listed->path;
        if (!PortExists(path))
            return refuse("port " + arg + (path.empty() || path == arg ? "" : " (" + path + ")") +
                          " does not exist; `kestrel-cli ports` lists the ports there are");
        run.Detail("only port " + std::to_string(listed->number) + " (" + listed->Name() + ", " +
                   path + ") is tried");
        port = std::move(listed);
        return true;
    }
    if (arg.find('/') == std::string::npos && arg.find('\\') == std::string::npos)
        return refuse(error);
    // A serial device the list does not number (a pseudo-terminal, /dev/rfcomm0) is taken by
    // its path; anything else is named with why it is no serial port.
    if (std::string problem = SerialDeviceProblem(arg); !problem.empty())
        return refuse(problem + "; `kestrel-cli ports` lists the serial ports");
    run.Detail("only " + arg + " is tried (not in the numbered list)");
    port = TPortId{.path = arg};
    return true;
}
