// The memory the window program holds with its embedded browser: starts the reference upgrade
// server with the sample catalogue on a loopback address of its own, a virtual screen (Xvfb) and
// `kestrel` with the information page on that server and no device, waits until the page has
// been served and the processes have settled, and prints the proportional set size (PSS, from
// /proc/PID/smaps_rollup) of kestrel and of every process below it, and their sum. PSS shares
// the pages the processes have in common among them, so the sum is what the tool as a whole
// costs the machine.
//
// kestrel is measured twice: as started from the desktop, and with the browser switch that
// scripts/show-upgrade gives (QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu), which must not undo the
// program's own switches. With --env, once, with that environment.
//
//   bench-window-memory [--settle SECONDS] [--env NAME=VALUE]...
//
// --env adds to (or replaces in) kestrel's environment, e.g. to try browser switches:
//   bench-window-memory --env QTWEBENGINE_CHROMIUM_FLAGS=--single-process
//
// Another program that maps the same Qt libraries (a second kestrel, a window test) takes its
// share of their pages and lowers the figure: the measurement waits until none does.
#include "ChildProcess.h"
#include "TestFiles.h"
#include "TestSockets.h"

#include <algorithm>
#include <chrono>
#include <cmath>
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
constexpr double GoalMiB = 130;
// After the page has been served: how long the window has to draw it and finish starting, how
// often the sum is taken until it holds still, and when to give up waiting for that.
constexpr auto SampleInterval = std::chrono::seconds(1);
constexpr double SteadyMiB = 0.5;
constexpr auto SteadyLimit = std::chrono::minutes(5);

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
            return std::stol(line.substr(4));
    return 0;
}

// `root` and all its descendants, parents before their children.
std::vector<TProcessMemory> Tree(int root) {
    std::multimap<int, int> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const int pid = std::stoi(name);
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

// Processes outside `tree` that map one of the Qt libraries kestrel maps.
std::vector<int> SharingProcesses(const std::vector<TProcessMemory>& tree) {
    std::vector<int> sharing;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const int pid = std::stoi(name);
        if (std::any_of(tree.begin(), tree.end(), [pid](const auto& p) { return p.pid == pid; }))
            continue;
        std::ifstream maps(entry.path() / "maps");
        for (std::string line; std::getline(maps, line);)
            if (line.find("/libQt6") != std::string::npos) {
                sharing.push_back(pid);
                break;
            }
    }
    return sharing;
}

double TotalMiB(const std::vector<TProcessMemory>& tree) {
    long totalKiB = 0;
    for (const auto& process : tree)
        totalKiB += process.pssKiB;
    return double(totalKiB) / 1024;
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
            settle = std::clamp(std::stoi(argv[i + 1]), 0, 600);
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
                         address, "--http-port", port, "--admin-port", "0", "--register", "none"});
    if (!server.WaitForLine("listening", std::chrono::seconds(30)))
        Fail("the upgrade server did not start");

    // Xvfb picks a free display number and writes it on its standard output (-displayfd 1).
    ChildProcess xvfb(
        {"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, {},
        true);
    const std::string display = xvfb.ReadLine(std::chrono::seconds(30)).value_or("");
    if (display.empty())
        Fail("Xvfb did not start: " + xvfb.Stderr());

    const std::vector<std::string> baseEnv = {
        "DISPLAY=:" + display, "QT_QPA_PLATFORM=xcb",
        "KESTREL_INFO_BASE_URL=http://" + address + ":" + port, "KESTREL_PORTS=:",
        // beside any Kestrel window the user has open
        "KESTREL_INSTANCE=bench-window-memory"};
    std::vector<std::vector<std::string>> ways;
    if (env.empty())
        ways = {{}, {"QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu"}};
    else
        ways = {env};

    std::vector<std::string> results;
    for (const auto& way : ways) {
        std::vector<std::string> kestrelEnv = baseEnv;
        kestrelEnv.insert(kestrelEnv.end(), way.begin(), way.end());
        std::string label = "without further environment";
        for (size_t i = 0; i < way.size(); ++i)
            label = (i == 0 ? "with " : label + " ") + way[i];
        std::printf("%s\n", label.c_str());
        std::fflush(stdout);

        ChildProcess kestrel({KESTREL_PATH_KESTREL}, kestrelEnv);
        if (!server.WaitForLine("http GET /url/QX40Info.htm 200", std::chrono::seconds(90)))
            Fail("kestrel did not load the information page");
        std::this_thread::sleep_for(std::chrono::seconds(settle));

        // Until two sums a second apart agree and no other program shares the Qt libraries.
        std::vector<TProcessMemory> tree = Tree(kestrel.Pid());
        std::vector<int> sharing;
        const auto giveUp = std::chrono::steady_clock::now() + SteadyLimit;
        bool toldWaiting = false;
        for (;;) {
            if (kestrel.Wait(std::chrono::milliseconds(0)))
                Fail("kestrel ended before it was measured");
            std::this_thread::sleep_for(SampleInterval);
            std::vector<TProcessMemory> next = Tree(kestrel.Pid());
            sharing = SharingProcesses(next);
            const bool steady = std::fabs(TotalMiB(next) - TotalMiB(tree)) < SteadyMiB;
            tree = std::move(next);
            if ((steady && sharing.empty()) || std::chrono::steady_clock::now() > giveUp)
                break;
            if (!sharing.empty() && !toldWaiting) {
                std::printf("waiting: process %d (and %zu more) maps the same Qt libraries\n",
                            sharing.front(), sharing.size() - 1);
                std::fflush(stdout);
                toldWaiting = true;
            }
        }

        for (const auto& process : tree)
            std::printf("%-40s pid %7d  %8.1f MiB\n", process.name.c_str(), process.pid,
                        double(process.pssKiB) / 1024);
        const double total = TotalMiB(tree);
        std::printf("total PSS of %zu processes: %.1f MiB%s\n", tree.size(), total,
                    sharing.empty() ? "" : " (too low: other processes share the Qt libraries)");
        char line[200];
        std::snprintf(line, sizeof line, "goal at most %.0f MiB %s: %.1f MiB, %s", GoalMiB,
                      label.c_str(), total, total <= GoalMiB ? "met" : "not met");
        results.emplace_back(line);
        std::fflush(stdout);
        kestrel.Stop();
    }
    for (const auto& result : results)
        std::printf("%s\n", result.c_str());
    std::fflush(stdout);
    xvfb.Stop();
    server.Stop();
    return 0;
}
