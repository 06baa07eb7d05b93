// The window program kestrel as a user starts it: the real executable with the switch AG on the
// offscreen platform, a simulated QX40 on a pseudo-terminal and the reference upgrade server on
// a loopback address of its own. The window copies every status text, and every step of the
// guided dialog, to standard error as one line; the tests follow the run there.
#include "Deadline.h"
#include "SimHarness.h"
#include "UpgradeServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string UpToDate = "已经是最新软件，无需升级！";
const std::string ConnectFailed = "设备连接失败，请检查USB或电源连接！";
const std::string Programming = "正在更新设备程序......请不要断开连接！";
const std::string ProgrammingDone = "软件更新成功！";
const std::string ExchangeDone = "请求的数据获取成功！";
// The first display of the guided dialog: its two text lines, joined on one terminal line.
const std::string FirstHintStep = "你的设备软件版本太低,请按后面步骤提示完成操作: "
                                  "1. 把QX40设备的电源插头拔掉(USB请不要拔掉)，完成后按[完成]";

// A runtime folder of the test's own (XDG_RUNTIME_DIR), where the window keeps its lock of one
// window per user: the tests' windows run side by side, and beside a user's.
struct TRuntimeFolder {
    TempDir dir;
    TRuntimeFolder() {
        fs::permissions(dir.Path(), fs::perms::owner_all, fs::perm_options::replace);
    }
    std::string Variable() const { return "XDG_RUNTIME_DIR=" + dir.Path(); }
};

// kestrel AG against the device at `ports` and the server at `host`.
class TWindowProgram {
public:
    TWindowProgram(const std::string& exe, const std::string& ports, const std::string& host)
        : process_({exe, "AG"},
                   {"KESTREL_PORTS=" + ports, "KESTREL_UPDATE_HOST=" + host,
                    "QT_QPA_PLATFORM=offscreen", "QTWEBENGINE_DISABLE_SANDBOX=1",
                    runtime_.Variable()},
                   true) {}

    ChildProcess& Process() { return process_; }

    // The lines of standard error so far.
    std::vector<std::string> Lines() {
        TRun run;
        run.err = process_.Stderr();
        return run.ErrLines();
    }

    // Waits until standard error has the line `line`; false when the program ended or the
    // limit passed without it.
    bool WaitForLine(const std::string& line, std::chrono::milliseconds limit = 180s) {
        auto until = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (Index(line) >= 0)
                return true;
            if (ended_ || std::chrono::steady_clock::now() >= until)
                return false;
            // Waiting for the program's end also drains its standard error meanwhile.
            ended_ = process_.Wait(50ms).has_value();
        }
    }

    // Where `line` is among the lines of standard error, or -1.
    int Index(const std::string& line) {
        auto lines = Lines();
        auto at = std::find(lines.begin(), lines.end(), line);
        return at == lines.end() ? -1 : static_cast<int>(at - lines.begin());
    }

    std::string Dump() { return process_.Stderr(); }

private:
    TRuntimeFolder runtime_;
    ChildProcess process_;
    bool ended_ = false;
};

std::set<std::string> FileNames(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

} // namespace

TEST(GuiProgram, UpToDateDeviceEndsWithTheDeviceTypeAndNoProgramming) {
    TempDir dir;
    // The simulator's own version.
    TUpgradeServer server(
        {.firmware = TestImage(4096), .version = "1.20", .signingKey = "trusted"});
    TSimDevice sim({"--image-out", dir / "programmed.bin"});
    ASSERT_FALSE(sim.Path().empty());

    TWindowProgram kestrel(KESTREL_PATH_KESTREL_KEYED, sim.Path(), server.Address());
    ASSERT_TRUE(kestrel.WaitForLine("QX40更新成功！")) << kestrel.Dump();
    int upToDate = kestrel.Index(UpToDate);
    EXPECT_GE(upToDate, 0) << kestrel.Dump();
    EXPECT_LT(upToDate, kestrel.Index("QX40更新成功！"));
    EXPECT_EQ(kestrel.Index(Programming), -1);
    EXPECT_EQ(kestrel.Index(FirstHintStep), -1);
    kestrel.Process().Stop();

    std::string session = server.NextSession();
    EXPECT_NE(session.find("answer=status:-7"), std::string::npos) << session;
    EXPECT_FALSE(fs::exists(dir / "programmed.bin"));
}

TEST(GuiProgram, NoDeviceIsReportedAndTheServerIsNotAsked) {
    TempDir dir;
    TUpgradeServer server({.firmware = TestImage(4096)});

    // Port 1 names a path that does not exist; every other port is absent.
    TWindowProgram kestrel(KESTREL_PATH_KESTREL_KEYED, dir / "no-such-tty", server.Address());
    ASSERT_TRUE(kestrel.WaitForLine(ConnectFailed)) << kestrel.Dump();
    EXPECT_GE(kestrel.Index("连接设备！请稍后......"), 0);
    // The cause follows on the next line.
    const std::string cause = "no device answered on ports 1 to 256 (no serial port exists: is "
                              "the device plugged in?)";
    ASSERT_TRUE(kestrel.WaitForLine(cause)) << kestrel.Dump();
    EXPECT_EQ(kestrel.Index(cause), kestrel.Index(ConnectFailed) + 1) << kestrel.Dump();
    // The embedded browser's own diagnostics stay off standard error.
    for (const char* noise : {"qt.webenginecontext", "Init Parameters", "Sandboxing disabled"})
        EXPECT_EQ(kestrel.Dump().find(noise), std::string::npos) << kestrel.Dump();
    kestrel.Process().Stop();
    EXPECT_TRUE(server.StopAndCollectSessions().empty());
}

TEST(GuiProgram, ServerFailureShowsTheGeneralErrorText) {
    TempDir dir;
    // The server answers the device type key with something other than "OK" (result 1).
    TUpgradeServer server({.firmware = TestImage(4096), .faults = {"reply:5:NO"}});
    TSimDevice sim({"--image-out", dir / "programmed.bin"});

    TWindowProgram kestrel(KESTREL_PATH_KESTREL_KEYED, sim.Path(), server.Address());
    ASSERT_TRUE(kestrel.WaitForLine("连接成功！")) << kestrel.Dump();
    const std::regex failure("升级发生错误，错误代号：[0-9A-F]{4}01");
    std::string shown;
    auto failed = [&] {
        for (const auto& line : kestrel.Lines())
            if (std::regex_match(line, failure))
                shown = line;
        return !shown.empty();
    };
    ASSERT_TRUE(WaitUntil(failed, 120s)) << kestrel.Dump();
    const std::string cause = "upgrade server " + server.Address() +
                              " port 5001: the server answered \"NO\" instead of \"OK\" after "
                              "\"UserName\" (step 5 of 27 of the announcement)";
    ASSERT_TRUE(kestrel.WaitForLine(cause)) << kestrel.Dump();
    EXPECT_EQ(kestrel.Index(cause), kestrel.Index(shown) + 1) << kestrel.Dump();
    EXPECT_EQ(kestrel.Index(Programming), -1);
    kestrel.Process().Stop();
    EXPECT_FALSE(fs::exists(dir / "programmed.bin"));
}

TEST(GuiProgram, FirmwareIsProgrammedAndTheGuidedDialogFollows) {
    TempDir dir;
    // Not a multiple of the 512-byte block: the device stores it filled with 0xFF.
    const std::string image = TestImage(70001);
    TUpgradeServer server({.firmware = image, .signingKey = "trusted"});
    TSimDevice sim({"--image-out", dir / "programmed.bin"});

    TWindowProgram kestrel(KESTREL_PATH_KESTREL_KEYED, sim.Path(), server.Address());
    ASSERT_TRUE(kestrel.WaitForLine(FirstHintStep)) << kestrel.Dump();
    int exchanged = kestrel.Index(ExchangeDone);
    int programming = kestrel.Index(Programming);
    int done = kestrel.Index(ProgrammingDone);
    EXPECT_GE(exchanged, 0);
    EXPECT_LT(exchanged, programming);
    EXPECT_LT(programming, done);
    EXPECT_LT(done, kestrel.Index(FirstHintStep));
    // The dialog waits for the user: the program is still running.
    EXPECT_FALSE(kestrel.Process().Wait(0ms).has_value());
    kestrel.Process().Stop();

    ASSERT_TRUE(sim.WaitFor("image written"));
    EXPECT_EQ(ReadFileBytes(dir / "programmed.bin"), Filled(image, 512));
    std::string session = server.NextSession();
    EXPECT_NE(session.find("answer=firmware:1.21 end=allok"), std::string::npos) << session;
}

TEST(GuiProgram, VersionIsAnsweredWithoutAWindow) {
    // A platform that does not exist: creating the application would end the program.
    ChildProcess kestrel({KESTREL_PATH_KESTREL_KEYED, "--version"},
                         {"QT_QPA_PLATFORM=kestrel-no-such-platform"}, true);
    TRun run = Finish(kestrel, 60s);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, std::string("kestrel ") + KESTREL_VERSION + " (update keys: 1)\n");

    ChildProcess help({KESTREL_PATH_KESTREL, "--help"},
                      {"QT_QPA_PLATFORM=kestrel-no-such-platform"}, true);
    run = Finish(help, 60s);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.rfind("Usage: kestrel [AG]\n", 0), 0u) << run.out;
    for (const char* variable :
         {"KESTREL_UPDATE_HOST", "KESTREL_INFO_BASE_URL", "KESTREL_PORTS", "KESTREL_BROWSER_LOG"})
        EXPECT_NE(run.out.find(variable), std::string::npos) << variable;
}

// A command line the window does not take is refused before the application starts: a
// platform that does not exist would end the program otherwise.
TEST(GuiProgram, UnknownArgumentsAreRefusedWithoutAWindow) {
    const std::string help = "; kestrel --help lists what it takes\n";
    const struct {
        std::vector<std::string> args;
        std::string refusal;
    } cases[] = {
        {{"--bogus"}, "unknown option \"--bogus\""},
        {{"-platform", "offscreen"}, "unknown option \"-platform\""},
        {{"AG", "--bogus"}, "unknown option \"--bogus\""},
        {{"/AG"}, "unexpected argument \"/AG\" (the window takes only AG)"},
        {{"x", "AG"}, "unexpected argument \"x\" (the window takes only AG)"},
        {{"ag", "AG"}, "AG goes first, once"},
        {{"--version", "AG"}, "--version goes alone, without other arguments"},
        {{"bad\x1b[2J"}, "unexpected argument \"bad\\x1B[2J\" (the window takes only AG)"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {KESTREL_PATH_KESTREL};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        ChildProcess kestrel(argv, {"QT_QPA_PLATFORM=kestrel-no-such-platform"}, true);
        TRun run = Finish(kestrel, 60s);
        EXPECT_EQ(run.status, 2) << c.refusal;
        EXPECT_EQ(run.err, "kestrel: " + c.refusal + help);
        EXPECT_EQ(run.out, "");
    }
}

// One window per user: a second start finds the first window's lock in the runtime folder, brings
// that window to the front through its socket and ends with status 0 without a window of its own
// (no status text); with AG it starts no second upgrade. A window that ended without a word
// (killed) leaves its lock and socket files behind, and they block no one.
TEST(GuiProgram, SecondStartBringsTheFirstWindowToTheFront) {
    TRuntimeFolder runtime;
    const std::vector<std::string> env = {
        runtime.Variable(), "QT_QPA_PLATFORM=offscreen", "QTWEBENGINE_DISABLE_SANDBOX=1",
        "KESTREL_PORTS=:", "KESTREL_INFO_BASE_URL=http://127.0.0.1:1"};
    const std::string started = "VELT在线升级：请连接QX40设备后按[在线更新]";
    const std::string raised = "kestrel: started again: this window was brought to the front";
    auto count = [](const std::string& text, const std::string& line) {
        TRun run;
        run.err = text;
        const auto lines = run.ErrLines();
        return std::count(lines.begin(), lines.end(), line);
    };
    auto first =
        std::make_unique<ChildProcess>(std::vector<std::string>{KESTREL_PATH_KESTREL}, env, true);
    ASSERT_TRUE(WaitUntil([&] { return count(first->Stderr(), started) == 1; }, 120s))
        << first->Stderr();
    int expectedRaises = 0;
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"AG"}}) {
        std::vector<std::string> argv = {KESTREL_PATH_KESTREL};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess second(argv, env, true);
        TRun run = Finish(second, 120s);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "kestrel: the window is already open; it was brought to the front\n");
        ++expectedRaises;
        EXPECT_TRUE(WaitUntil([&] { return count(first->Stderr(), raised) == expectedRaises; }))
            << first->Stderr();
    }
    // The first window is still the one, and nothing started an upgrade in it.
    EXPECT_FALSE(first->Wait(0ms).has_value());
    EXPECT_EQ(first->Stderr().find("连接设备！"), std::string::npos) << first->Stderr();

    ::kill(first->Pid(), SIGKILL);
    first->Wait();
    first.reset();
    EXPECT_TRUE(fs::exists(runtime.dir / "kestrel-window.socket"));
    ChildProcess next({KESTREL_PATH_KESTREL}, env, true);
    EXPECT_TRUE(WaitUntil([&] { return count(next.Stderr(), started) == 1; }, 120s))
        << next.Stderr();
    EXPECT_FALSE(next.Wait(0ms).has_value()) << next.Stderr();
}

TEST(GuiProgram, WithoutADisplayItSaysSoAndEnds) {
    ChildProcess kestrel({KESTREL_PATH_KESTREL},
                         {"QT_QPA_PLATFORM=", "DISPLAY=", "WAYLAND_DISPLAY="}, true);
    TRun run = Finish(kestrel, 60s);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("kestrel: no graphical display could be opened"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("use kestrel-cli, which works without a display"), std::string::npos)
        << run.err;
}

// Under a window manager (openbox on a virtual screen) the window has one title bar, its own:
// the manager adds no frame of its own, and the bar's minimise button works.
TEST(GuiProgram, UnderAWindowManagerThereIsOneTitleBar) {
    ChildProcess xvfb(
        {"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    auto number = xvfb.ReadLine(60s);
    ASSERT_TRUE(number) << "Xvfb did not start";
    const std::string display = "DISPLAY=:" + *number;
    auto run = [&](const std::vector<std::string>& argv) {
        ChildProcess tool(argv, {display}, true);
        return Finish(tool, 60s).out;
    };
    ChildProcess manager({"/usr/bin/openbox"}, {display}, true);
    std::string root;
    ASSERT_TRUE(WaitUntil(
        [&] {
            root = run({"/usr/bin/xprop", "-root", "_NET_SUPPORTING_WM_CHECK"});
            return root.find("window id") != std::string::npos;
        },
        60s))
        << "openbox did not manage display :" << *number << "; xprop: " << root
        << "; openbox: " << manager.Stderr() << "; Xvfb: " << xvfb.Stderr();
    TRuntimeFolder runtime;
    ChildProcess kestrel({KESTREL_PATH_KESTREL},
                         {display, "QT_QPA_PLATFORM=xcb", "QTWEBENGINE_DISABLE_SANDBOX=1",
                          "QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu", "KESTREL_PORTS=:",
                          "KESTREL_INFO_BASE_URL=http://127.0.0.1:1", runtime.Variable()},
                         true);
    std::string window = run(
        {"/usr/bin/xdotool", "search", "--sync", "--onlyvisible", "--name", "^VELT在线升级1.4$"});
    window = window.substr(0, window.find('\n'));
    ASSERT_FALSE(window.empty()) << kestrel.Stderr();
    EXPECT_NE(run({"/usr/bin/xprop", "-id", window, "_NET_FRAME_EXTENTS"}).find("= 0, 0, 0, 0"),
              std::string::npos);
    // The minimise button of the window's own title bar.
    run({"/usr/bin/xdotool", "mousemove", "--window", window, "318", "15", "click", "1"});
    EXPECT_TRUE(WaitUntil(
        [&] {
            return run({"/usr/bin/xprop", "-id", window, "WM_STATE"}).find("Iconic") !=
                   std::string::npos;
        },
        60s));
}

TEST(GuiProgram, NewToolVersionReplacesTheExecutableAndStartsIt) {
    TempDir tmp;
    // The tool lives in a folder whose name has a space in it.
    const std::string home = tmp / "Kestrel tools";
    fs::create_directory(home);
    const std::string exe = home + "/kestrel";
    fs::copy_file(KESTREL_PATH_KESTREL_KEYED, exe);
    TUpgradeServer server({.firmware = TestImage(4096),
                           .tool = ReadFileBytes(KESTREL_PATH_FAKE_NEW_TOOL),
                           .signingKey = "trusted"});
    TSimDevice sim({"--image-out", tmp / "programmed.bin"});

    TWindowProgram kestrel(exe, sim.Path(), server.Address());
    // The program ends by itself once it has handed over to the update script.
    auto status = kestrel.Process().Wait(240s);
    ASSERT_TRUE(status.has_value()) << kestrel.Dump();
    EXPECT_EQ(*status, 0) << kestrel.Dump();
    EXPECT_GE(kestrel.Index(ExchangeDone), 0) << kestrel.Dump();

    // The new tool was started in the old one's place, with AG.
    const std::string record = exe + ".args";
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(record); }, 120s));
    EXPECT_EQ(ReadFileBytes(record), "AG\n");
    EXPECT_EQ(ReadFileBytes(exe), ReadFileBytes(KESTREL_PATH_FAKE_NEW_TOOL));
    EXPECT_NE(fs::status(exe).permissions() & fs::perms::owner_exec, fs::perms::none);
    // The script removes itself right after starting the new tool; the backup became the tool.
    const std::set<std::string> expected = {"kestrel", "kestrel.args"};
    EXPECT_TRUE(WaitUntil([&] { return FileNames(home) == expected; }, 60s));
    EXPECT_EQ(FileNames(home), expected);

    EXPECT_FALSE(fs::exists(tmp / "programmed.bin"));
    std::string session = server.NextSession();
    EXPECT_NE(session.find("answer=tool:1.5 end=allok"), std::string::npos) << session;
}
