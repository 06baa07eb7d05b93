// kestrel-cli: the QX40 device link on the command line, for technicians and scripts.
// Ports are numbered as in the window program; KESTREL_PORTS places devices at port numbers.
#include "DeviceCommands.h"
#include "TerminalWindow.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct TCommand {
    const char* name;
    const char* synopsis;
    int (*run)(const std::vector<std::string>& args, TTerminalWindow& window);
};

// Subcommands; each gets the arguments after its name.
const TCommand Commands[] = {
    {"identify", "identify            find the device and print its identity and counters",
     RunIdentify},
    {"flash", "flash FILE          program the firmware image FILE into the device", RunFlash},
};

void Usage(std::FILE* to) {
    std::fprintf(to, "Usage: kestrel-cli COMMAND [ARGS]\n\nCommands:\n");
    for (const TCommand& c : Commands)
        std::fprintf(to, "  %s\n", c.synopsis);
    std::fprintf(
        to, "\nThe device is looked for on ports 1 to 256: the serial devices of the system, or\n"
            "the ':'-separated device paths of KESTREL_PORTS (an empty entry leaves a port\n"
            "number free). Exit status: 0 success, 1 the device failed, 2 usage error.\n");
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        Usage(stderr);
        return 2;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        Usage(stdout);
        return 0;
    }
    for (const TCommand& c : Commands) {
        if (args[0] != c.name)
            continue;
        // Progress and status lines go to standard error, and only when it is a terminal.
        TTerminalWindow window(stderr);
        SetMainWindow(&window);
        int status = c.run(std::vector<std::string>(args.begin() + 1, args.end()), window);
        SetMainWindow(nullptr);
        return status;
    }
    std::fprintf(stderr, "kestrel-cli: unknown command %s\n\n", args[0].c_str());
    Usage(stderr);
    return 2;
}
