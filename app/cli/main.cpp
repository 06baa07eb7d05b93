// kestrel-cli: the QX40 device link and the whole online upgrade on the command line, for
// technicians and scripts. Ports are numbered as in the window program; KESTREL_PORTS places
// devices at port numbers, KESTREL_UPDATE_HOST names the upgrade server.
#include "Console.h"
#include "DeviceCommands.h"
#include "HostToIP.h"
#include "Interrupt.h"
#include "LibrarySearch.h"
#include "PortNames.h"
#include "SystemText.h"
#include "TerminalWindow.h"
#include "TimeLimits.h"
#include "VisibleText.h"
#include "Workflow.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

namespace {

// The links the commands work on.
struct TLinks {
    TDeviceLink& device;
    TServerLink& server;
};

struct TCommand {
    const char* name;
    const char* synopsis; // the line of the command list
    const char* usage;    // "Usage: ..." and what it does
    TOptionSet options;
    int (*run)(TCliRun& run, const TLinks& links);
};

const char* const OptionHelp[] = {
    "  --port N|PATH  try only this port: its number (1 to 256) or name (COM1 to COM256,\n"
    "                 any letter case), as `kestrel-cli ports` lists them, or the path of\n"
    "                 any serial device; without it every port is tried\n",
    "  --json         print one JSON object on standard output (outcome, exit status,\n"
    "                 device, versions, the cause of a failure); human output stays on\n"
    "                 standard error\n",
    "  -q, --quiet    print only errors and the result (not with -v)\n"
    "  -v, --verbose  print each step, with the causes of failures\n"
    "  -h, --help     print this help and exit\n",
    "  --allow-downgrade\n"
    "                 program a signed release that is not newer than the device's\n"
    "                 software, on purpose (an older release, or the same one again)\n",
};

// Subcommands; each gets the arguments after its name.
const TCommand Commands[] = {
    {"identify",
     "  identify        find the device and print its identity and counters\n",
     "Usage: kestrel-cli identify [--port N|PATH] [--json] [-q|-v]\n"
     "Find the QX40 device and print its port, device type, software and hardware version,\n"
     "identity, identity bytes and counters on standard output.\n",
     {.port = true, .json = true},
     [](TCliRun& run, const TLinks& links) { return RunIdentify(run, links.device); }},
    {"flash",
     "  flash FILE      program the firmware image FILE into the device\n",
     "Usage: kestrel-cli flash [--port N|PATH] [--allow-downgrade] [--json] [-q|-v] FILE\n"
     "Find the QX40 device and program the firmware image FILE into it (filled with 0xFF\n"
     "to a multiple of 512 bytes). FILE must be a regular file of 1 byte to 64 MiB; it is\n"
     "read, and refused with exit status 2, before the device is looked for.\n"
     "A FILE with a signature (as the upgrade server sends it) must be signed by a key\n"
     "this tool trusts, as firmware for the connected device type and newer than the\n"
     "device's software; it is refused with exit status 2 otherwise.\n"
     "Progress shows the bytes done, the rate and the time left: a bar on a terminal,\n"
     "otherwise a line every 5 seconds and one at the end.\n",
     {.port = true, .json = true, .allowDowngrade = true},
     [](TCliRun& run, const TLinks& links) { return RunFlash(run, links.device); }},
    {"ports",
     "  ports           list the serial ports: number, path, USB details, and which are\n"
     "                  held by another program\n",
     "Usage: kestrel-cli ports [--json] [-q|-v]\n"
     "List every serial port with its number and name (as --port takes them) and path;\n"
     "the name Windows gives the port (on Windows); for a USB bridge its vendor and\n"
     "product id, and manufacturer, product and serial number (from sysfs, on Linux);\n"
     "and whether another program holds it, and which one when that can be found.\n",
     {.port = false, .json = true},
     [](TCliRun& run, const TLinks&) { return RunPorts(run); }},
    {"update",
     "  update          the online upgrade: find the device, ask the upgrade server,\n"
     "                  program the firmware it sends and guide through the device's\n"
     "                  restart (as the window's button does)\n",
     "Usage: kestrel-cli update [--port N|PATH] [--json] [-q|-v]\n"
     "The online upgrade, as the window's button runs it: find the device, ask the\n"
     "upgrade server, program the firmware it sends, and guide through the four steps\n"
     "that restart the device into its loader. Every status, the port, the device type\n"
     "and the versions are printed on standard error, with a progress bar when standard\n"
     "error is a terminal (otherwise a progress line every 5 seconds). When standard\n"
     "input is a terminal the guided steps are asked (Enter for steps 1 to 3; y or n at\n"
     "step 4, where n starts again at step 1), otherwise only printed. kestrel-cli never\n"
     "replaces itself: when the server offers a new version of the tool, it names it and\n"
     "exits with status 3. The last line tells how the upgrade ended, with the device,\n"
     "the versions and the server's result code.\n",
     {.port = true, .json = true},
     [](TCliRun& run, const TLinks& links) { return RunUpdate(run, links.device, links.server); }},
};

const TCommand* FindCommand(const std::string& name) {
    for (const TCommand& c : Commands)
        if (name == c.name)
            return &c;
    return nullptr;
}

void CommandUsage(const TCommand& c, std::FILE* to) {
    std::fprintf(to, "%s\nOptions:\n", c.usage);
    if (c.options.port)
        std::fputs(OptionHelp[0], to);
    if (c.options.allowDowngrade)
        std::fputs(OptionHelp[3], to);
    if (c.options.json)
        std::fputs(OptionHelp[1], to);
    std::fputs(OptionHelp[2], to);
    std::fprintf(to, "\nExit statuses: see kestrel-cli --help.\n");
}

// A text of several lines, each but the first indented by two spaces.
std::string Indented(std::string text) {
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 3))
        text.insert(at + 1, "  ");
    return text;
}

void Usage(std::FILE* to) {
    std::fprintf(to, "Usage: kestrel-cli COMMAND [OPTION]... [ARGUMENT]...\n"
                     "  or:  kestrel-cli help [COMMAND]\n"
                     "  or:  kestrel-cli --version\n"
                     "Find a QX40 device on the serial ports, identify it, program firmware "
                     "into it,\nor run the whole online upgrade, from a terminal or a script.\n"
                     "\nCommands:\n");
    for (const TCommand& c : Commands)
        std::fputs(c.synopsis, to);
    std::fprintf(to, "  help [COMMAND]  print this help, or the help of COMMAND\n"
                     "\nOptions (`kestrel-cli help COMMAND` tells which a command takes):\n");
    for (const char* option : OptionHelp)
        std::fputs(option, to);
    std::fprintf(to, "  --version      print the version of kestrel-cli and what it trusts for\n"
                     "                 updates (update keys: N), and exit\n");
    std::fprintf(
        to,
        "\nPorts:\n"
        "  The device is looked for on ports 1 to 256:\n  %s.\n"
        "\nInterrupts:\n"
        "  Ctrl-C (or SIGTERM) ends a command after its current step and cancels a running\n"
        "  server exchange at once; a second one stops at once. While the device is being\n"
        "  programmed, the first one only says that programming continues until the image\n"
        "  is complete, the second says what stopping now means, and a third within 2\n"
        "  seconds stops, leaving the device half-programmed (exit status 130).\n"
        "\nEnvironment:\n"
        "  KESTREL_PORTS        a ':'-separated list of device paths that replaces the\n"
        "                       system's serial ports (port N is the N-th entry)\n"
        "  KESTREL_UPDATE_HOST  the upgrade server's host name, without a port (always\n"
        "                       5001; host:port is a usage error); without it: %s\n"
        "\nExit status:\n"
        "  0    done: firmware programmed (update), device up to date, identified, flashed\n"
        "  1    the device was not found or not answering, or programming it failed\n"
        "  2    usage error, or an image file that cannot be programmed (missing,\n"
        "       unreadable, a directory, empty, larger than 64 MiB, or signed but not\n"
        "       as firmware for this device by a key kestrel-cli trusts)\n"
        "  3    update: a new version of the tool is available (nothing replaced)\n"
        "  4    update: the server exchange failed (connection, refusal, protocol, status)\n"
        "  5    update: the server's answer cannot be applied (unknown kind, a new tool\n"
        "       that cannot run here, or a file not signed for this use by a key\n"
        "       kestrel-cli trusts)\n"
        "  70   an unexpected failure inside kestrel-cli (please report the line printed)\n"
        "  130  interrupted by Ctrl-C or SIGTERM\n",
        Indented(PortNumbering()).c_str(), VisibleText(UpgradeServerHost()).c_str());
}

// A command line error: one line naming it, and how to get help.
int UsageError(const std::string& problem, const std::string& command, bool json) {
    std::string help = command.empty() ? "kestrel-cli --help" : "kestrel-cli help " + command;
    // The problem may quote an argument, which may be anything.
    WriteVisible(stderr, "kestrel-cli" + (command.empty() ? "" : " " + command) + ": " + problem +
                             " (see " + help + ")");
    if (json)
        std::printf("%s\n", TJson::Object()
                                .Add("command", command)
                                .Add("exit_status", int(ExitUsage))
                                .Add("outcome", "usage-error")
                                .Add("outcome_text", "")
                                .Add("cause", problem)
                                .Text()
                                .c_str());
    return ExitUsage;
}

// The command line: the command's name and the arguments around it.
struct TInvocation {
    bool version = false;   // --version before the command
    bool wantsHelp = false; // --help or -h before the command
    bool hasCommand = false;
    std::string name;              // the command
    std::vector<std::string> rest; // the other arguments, in their order
};

TInvocation ReadInvocation(const std::vector<std::string>& args) {
    // Options before the command belong to it: `kestrel-cli -v identify`.
    auto command = std::find_if(args.begin(), args.end(),
                                [](const std::string& a) { return a.empty() || a[0] != '-'; });
    TInvocation call;
    call.wantsHelp = std::find_if(args.begin(), command, [](const std::string& a) {
                         return a == "--help" || a == "-h";
                     }) != command;
    call.version = std::find(args.begin(), command, "--version") != command;
    call.hasCommand = command != args.end();
    if (!call.hasCommand)
        return call;
    call.name = *command;
    call.rest.assign(args.begin(), command);
    call.rest.insert(call.rest.end(), command + 1, args.end());
    return call;
}

// `kestrel-cli help [COMMAND]`.
int RunHelp(const std::vector<std::string>& rest) {
    if (rest.empty()) {
        Usage(stdout);
        return ExitOk;
    }
    const TCommand* c = FindCommand(rest[0]);
    if (!c || rest.size() > 1)
        return UsageError(c ? "help takes one command" : "no command " + rest[0], "", false);
    CommandUsage(*c, stdout);
    return ExitOk;
}

// Runs the command on a device link of its own and the default server link, its output on the
// terminal window of standard error.
int RunCommand(const TCommand& c, const TCliOptions& options) {
    // Progress and status lines go to standard error: a bar on a terminal, otherwise progress
    // lines; -q shows neither, -v every status.
    TTerminalWindow window(stderr, IsTerminal(fileno(stderr)) && !options.quiet);
    if (!options.quiet)
        window.PrintProgressLines(TerminalLimits::ProgressLinePeriod);
    window.PrintEveryStatus(options.verbose);
    Interrupt::SetOutput(fileno(stderr), &window.OpenLine());
    SetMainWindow(&window);
    TCliRun run(c.name, options, window);
    // The device link's waits follow the main window: the terminal window, or the upgrade's
    // terminal front end while `update` runs, whose waits see a Ctrl-C.
    TDeviceLink device(MainWindowFollower());
    int status = run.Finish(c.run(run, {device, DefaultServerLink()}));
    SetMainWindow(nullptr);
    Interrupt::SetOutput(fileno(stderr), nullptr);
    return status;
}

int Run(const std::vector<std::string>& args) {
    TInvocation call = ReadInvocation(args);
    if (call.version) {
        std::printf("kestrel-cli %s (%s)\n", KestrelToolVersion, UpdateTrustText().c_str());
        return ExitOk;
    }
    if (!call.hasCommand) {
        Usage(call.wantsHelp ? stdout : stderr);
        return call.wantsHelp ? ExitOk : ExitUsage;
    }
    if (call.name == "help")
        return RunHelp(call.rest);
    bool json = std::find(call.rest.begin(), call.rest.end(), "--json") != call.rest.end();
    const TCommand* c = FindCommand(call.name);
    if (!c)
        return UsageError("unknown command " + call.name, "", json);
    TCliOptions options;
    std::string error;
    if (!ParseCliOptions(call.rest, c->options, options, error))
        return UsageError(error, call.name, json);
    if (options.help) {
        CommandUsage(*c, stdout);
        return ExitOk;
    }
    return RunCommand(*c, options);
}

} // namespace

int main(int argc, char** argv) {
    // Nothing escapes: whatever goes wrong ends in one line and a documented status.
    try {
        RestrictLibrarySearch();
        PrepareConsole();
        std::vector<std::string> args = ProgramArguments(argc, argv);
        if (!args.empty())
            args.erase(args.begin());
        return Run(args);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "kestrel-cli: out of memory\n");
    } catch (const std::exception& e) {
        WriteVisible(stderr, std::string("kestrel-cli: internal error: ") + e.what() +
                                 " (please report this line)");
    } catch (...) {
        std::fprintf(stderr, "kestrel-cli: internal error (please report this line)\n");
    }
    return ExitInternal;
}
