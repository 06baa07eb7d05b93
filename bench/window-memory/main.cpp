// The memory the window program holds with its embedded browser: starts the reference upgrade
// server with the sample catalogue on a loopback address of its own, a virtual screen (Xvfb) and
// `kestrel` with the information page on that server and no device, waits until the page has
// been served and the processes have settled, and prints the proportional set size (PSS, from
// /proc/PID/smaps_rollup) of kestrel and of every process below it, and their sum. PSS shares
// the pages the processes have in common among them, so the sum is what the tool as a whole
// costs the machine.
//
//   bench-window-memory [--settle SECONDS] [--env NAME=VALUE]...
//
// --env adds to (or replaces in) kestrel's environment, e.g. to try browser switches:
//   bench-window-memory --env QTWEBENGINE_CHROMIUM_FLAGS=--single-process
#include "ChildProcess.h"
#include "TestFiles.h"
#include "TestSockets.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {
constexpr double GoalMiB = 150;

struct TProcessMemory {
    int pid = 0;
    std::string name;
    long pssKiB = 0;
};

std::string FirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The parent of `pid` from /proc/PID/stat; 0 when the process is gone. The name in the second
// field may hold spaces and parentheses, so the fields are read after its last ')'.
int ParentOf(int pid) {
    const std::string stat = FirstLine("/proc/" + std::to_string(pid) + "/stat");
    const size_t end = stat.rfind(')');
    if (end == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(end + 1));
    std::string state;
    int parent = 0;
    fields >> state >> parent;
    return parent;
}

// The name to show: the program's, and for Chromium's helper processes their role (--type=).
std::string NameOf(int pid) {
    const std::string dir = "/proc/" + std::to_string(pid);
    std::string name = FirstLine(dir + "/comm");
    std::ifstream in(dir + "/cmdline", std::ios::binary);
    for (std::string arg; std::getline(in, arg, '\0');)
        if (arg.rfind("--type=", 0) == 0)
            name += " (" + arg.substr(7) + ")";
    return name;
}

long PssKiB(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Pss:", 0) == 0)
            return std::atol(line.c_str() + 4);
    return 0;
}

// `root` and all its descendants, parents before their children.
std::vector<TProcessMemory> Tree(int root) {
    std::multimap<int, int> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const int pid = std::atoi(name.c_str());
        children.emplace(ParentOf(pid), pid);
    }
    std::vector<TProcessMemory> tree;
    std::vector<int> pending{root};
    while (!pending.empty()) {
        const int pid = pending.front();
        pending.erase(pending.begin());
        std::string name = NameOf(pid);
        // What the zygote forks keeps the zygote's command line: a renderer or a utility.
        for (const auto& parent : tree)
            if (parent.pid == ParentOf(pid) && parent.name.find("(zygote)") != std::string::npos)
                name += " child";
        tree.push_back({pid, name, PssKiB(pid)});
        auto [first, last] = children.equal_range(pid);
        for (auto it = first; it != last; ++it)
            pending.push_back(it->second);
    }
    return tree;
}

[[noreturn]] void Fail(const std::string& why) {
    std::fprintf(stderr, "bench-window-memory: %s\n", why.c_str());
    std::exit(1);
}
} // namespace

int main(int argc, char** argv) {
    int settle = 5;
    std::vector<std::string> env;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--settle")
            settle = std::clamp(std::atoi(argv[i + 1]), 0, 600);
        else if (option == "--env" && std::string(argv[i + 1]).find('=') != std::string::npos)
            env.emplace_back(argv[i + 1]);
        else
            Fail("usage: bench-window-memory [--settle SECONDS] [--env NAME=VALUE]...");
    }

    TempDir dir;
    ChildProcess make({KESTREL_PATH_MAKE_SAMPLE_CATALOGUE, dir / "catalogue"});
    if (Finish(make).status != 0)
        Fail("make-sample-catalogue failed");

    // A port nobody holds on an address of our own: the system picks it, and the server takes
    // it over once it is free again.
    const std::string address = UniqueLoopbackAddress();
    std::string port;
    CloseSocket(ListenOn(address, port));
    ChildProcess server({KESTREL_PATH_UPGRADE_SERVER, "--catalogue", dir / "catalogue", "--address",
                         address, "--http-port", port});
    if (!server.WaitForLine("listening", std::chrono::seconds(30)))
        Fail("the upgrade server did not start");

    // Xvfb picks a free display number and writes it on its standard output (-displayfd 1).
    ChildProcess xvfb(
        {"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, {},
        true);
    const std::string display = xvfb.ReadLine(std::chrono::seconds(30)).value_or("");
    if (display.empty())
        Fail("Xvfb did not start: " + xvfb.Stderr());

    std::vector<std::string> kestrelEnv = {"DISPLAY=:" + display, "QT_QPA_PLATFORM=xcb",
                                           "KESTREL_INFO_BASE_URL=http://" + address + ":" + port,
                                           "KESTREL_PORTS=:",
                                           // beside any Kestrel window the user has open
                                           "KESTREL_INSTANCE=bench-window-memory"};
    kestrelEnv.insert(kestrelEnv.end(), env.begin(), env.end());
    for (const auto& entry : env)
        std::printf("with %s\n", entry.c_str());
    ChildProcess kestrel({KESTREL_PATH_KESTREL}, kestrelEnv);
    if (!server.WaitForLine("http GET /url/QX40Info.htm 200", std::chrono::seconds(90)))
        Fail("kestrel did not load the information page");
    std::this_thread::sleep_for(std::chrono::seconds(settle));
    if (kestrel.Wait(std::chrono::milliseconds(0)))
        Fail("kestrel ended before it was measured");

    long totalKiB = 0;
    const std::vector<TProcessMemory> tree = Tree(kestrel.Pid());
    for (const auto& process : tree) {
        std::printf("%-40s pid %7d  %8.1f MiB\n", process.name.c_str(), process.pid,
                    double(process.pssKiB) / 1024);
        totalKiB += process.pssKiB;
    }
    const double total = double(totalKiB) / 1024;
    std::printf("total PSS of %zu processes: %.1f MiB\n", tree.size(), total);
    std::printf("goal below %.0f MB: %s\n", GoalMiB, total < GoalMiB ? "met" : "not met");
    std::fflush(stdout);
    kestrel.Stop();
    xvfb.Stop();
    server.Stop();
    return 0;
}
