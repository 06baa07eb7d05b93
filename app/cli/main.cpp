// kestrel-cli: the QX40 device link and the whole online upgrade on the command line, for
// technicians and scripts. Ports are numbered as in the window program; KESTREL_PORTS places
// devices at port numbers, KESTREL_UPDATE_HOST names the upgrade server.
#include "Console.h"
#include "DeviceCommands.h"
#include "HostToIP.h"
#include "PortNames.h"
#include "TerminalWindow.h"
#include "Workflow.h"

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
    {"update",
     "update              the online upgrade: find the device, ask the upgrade server,\n"
     "                      program the firmware it sends and guide through the\n"
     "                      device's restart (as the window's button does)",
     RunUpdate},
};

void Usage(std::FILE* to) {
    std::fprintf(to, "Usage: kestrel-cli COMMAND [ARGS]\n       kestrel-cli --version\n\n"
                     "Commands:\n");
    for (const TCommand& c : Commands)
        std::fprintf(to, "  %s\n", c.synopsis);
    std::fprintf(
        to,
        "\nThe device is looked for on ports 1 to 256: %s.\n"
        "`update` talks to the upgrade server on port 5001 of the host named by\n"
        "KESTREL_UPDATE_HOST, or else of the host chosen at build time (now: %s).\n"
        "\n"
        "`update` prints every status, the port and the device type on standard error, with\n"
        "a progress bar when standard error is a terminal. After new firmware it shows the\n"
        "four steps that restart the device into its loader: when standard input is a\n"
        "terminal it asks for each (Enter for steps 1 to 3; y or n at step 4, where n starts\n"
        "again at step 1), otherwise it only prints them. It never replaces itself: when the\n"
        "server offers a new version of the tool, it says so and exits with status 3.\n"
        "Ctrl-C cancels a running server exchange at once; discovery and programming are\n"
        "finished first (a second Ctrl-C quits at once).\n"
        "\n"
        "Exit status:\n"
        "  0    done: firmware programmed (update), device up to date, identified, flashed\n"
        "  1    the device was not found or not answering, or programming it failed\n"
        "  2    usage error, or an image file that cannot be read, is empty, or carries\n"
        "       a signature that is not valid\n"
        "  3    update: a new version of the tool is available (nothing replaced)\n"
        "  4    update: the server exchange failed (connection, refusal, protocol, status)\n"
        "  5    update: the server's answer cannot be applied (unknown kind, a new tool\n"
        "       that cannot run here, or no valid signature by the tool's update keys)\n"
        "  130  update: interrupted by Ctrl-C or SIGTERM\n",
        PortNumbering(), UpgradeServerHost().c_str());
}

} // namespace

int main(int argc, char** argv) {
    PrepareConsole();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        Usage(stderr);
        return 2;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        Usage(stdout);
        return 0;
    }
    if (args[0] == "--version") {
        std::printf("kestrel-cli %s\n", KestrelToolVersion);
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
