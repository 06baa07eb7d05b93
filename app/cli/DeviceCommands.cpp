#include "DeviceCommands.h"

#include "PortNames.h"
#include "UPCommFun.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>

namespace {

std::string Hex2(uint8_t v) {
    char b[4];
    std::snprintf(b, sizeof b, "%02X", v);
    return b;
}

// Finds and identifies the device; on failure tells the user and returns false.
bool Connect(TTerminalWindow& window) {
    window.ShowStatus(WorkflowText::Connecting);
    if (!ConnectDevice()) {
        window.FinishLine();
        std::fprintf(stderr, "%s\n", WorkflowText::ConnectFailed);
        return false;
    }
    window.ShowStatus(ComPortName(IOPack.ComID) + " " + IOPack.TypeText.substr(0, 4) + " " +
                      WorkflowText::Connected);
    return true;
}

} // namespace

std::string PortLine(int comId) {
    return "port: " + std::to_string(comId) + " (" + ComPortName(comId) + ", " +
           PortDevicePath(comId) + ")";
}

int RunIdentify(const std::vector<std::string>& args, TTerminalWindow& window) {
    if (!args.empty()) {
        std::fprintf(stderr, "kestrel-cli identify: no arguments expected\n");
        return ExitUsage;
    }
    if (!Connect(window))
        return ExitDevice;
    const TIOPack& d = IOPack;
    std::string text = d.TypeText;
    text.resize(9, ' ');
    std::printf("%s\n", PortLine(d.ComID).c_str());
    std::printf("device type: %s\n", text.substr(0, 4).c_str());
    std::printf("software version: %s\n", text.substr(4, 4).c_str());
    std::printf("hardware version: %s\n", text.substr(8, 1).c_str());
    std::printf("device identity: %s\n", d.DevID.c_str());
    std::printf("identity bytes: %s %s %s %s\n", Hex2(d.CID[0]).c_str(), Hex2(d.CID[1]).c_str(),
                Hex2(d.CID[2]).c_str(), Hex2(d.CID[3]).c_str());
    std::printf("use counter: %d\n", d.Count1);
    std::printf("second counter: %d\n", d.Count2);
    return ExitOk;
}

int RunFlash(const std::vector<std::string>& args, TTerminalWindow& window) {
    if (args.size() != 1) {
        std::fprintf(stderr, "kestrel-cli flash: expects one image file\n");
        return ExitUsage;
    }
    // The image is read before the device is touched: a missing or empty file costs no
    // discovery and never reaches the device.
    std::ifstream in(args[0], std::ios::binary);
    std::vector<uint8_t> bytes;
    if (in)
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) {
        std::fprintf(stderr, "kestrel-cli flash: cannot read %s\n", args[0].c_str());
        return ExitUsage;
    }
    if (bytes.empty() || bytes.size() > size_t(std::numeric_limits<int32_t>::max() / 2)) {
        std::fprintf(stderr, "kestrel-cli flash: %s is %s\n", args[0].c_str(),
                     bytes.empty() ? "empty" : "too large");
        return ExitUsage;
    }
    TMemoryStream image;
    image.Write(bytes.data(), bytes.size());
    // The technician's own file is programmed as it is; one with a signature trailer must carry a
    // valid signature (with update keys built in) and is programmed without its trailer.
    TUpdatePolicy policy(BuiltInUpdateKeys(), false);
    TUpdateCheck check = policy.CheckAndStrip(image, true);
    if (!check.accepted) {
        std::fprintf(stderr, "kestrel-cli flash: %s is refused: %s\n", args[0].c_str(),
                     check.fault.c_str());
        return ExitUsage;
    }
    if (!policy.HasKeys() && check.fileSize != bytes.size())
        NoteUnverifiedUpdates();
    if (check.verified)
        std::fprintf(stderr, "kestrel-cli flash: %s is signed by %s\n", args[0].c_str(),
                     check.signer.c_str());

    if (!Connect(window))
        return ExitDevice;
    window.ShowStatus(WorkflowText::Programming);
    bool ok = DownloadFirmware(&window.ProgressBar(), IOPack.TypeText.substr(0, 4), image,
                               static_cast<int32_t>(image.Size()), 0, 3);
    window.FinishLine();
    if (!ok) {
        std::fprintf(stderr, "%s\n", WorkflowText::ProgrammingFailed);
        return ExitDevice;
    }
    std::printf("%s\n", WorkflowText::ProgrammingDone);
    return ExitOk;
}
