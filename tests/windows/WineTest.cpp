// The Windows programs of the cross build (KESTREL_WINDOWS_BUILD) run under wine, driven from
// here: kestrel-cli.exe against qx40-sim on a COM port of the wine prefix mapped to the
// simulator's pseudo-terminal and against the reference server on a loopback address, the
// upgrade dialogue's own tests against the reference server, self-replacement for real in
// folders whose names have a space or Chinese characters, the window program, and the installer
// in a prefix of its own. The tests share the prefix's COM ports: they run one at a time.
#include "Deadline.h"
#include "SimHarness.h"
#include "UpgradeServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <set>

namespace fs = std::filesystem;

namespace {

// The device's COM port. The scan finds it after two empty ports, as on a PC.
constexpr int kComPort = 3;

const std::string ConnectFailed = "设备连接失败，请检查USB或电源连接！";
const std::string UpdateDone = "软件更新成功！";

// Output of a Windows program with its CR LF line ends as LF.
std::string Unix(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

// A path of this system as a Windows program under wine sees it (drive Z: is the root).
std::string WinePath(const std::string& path) {
    std::string text = "Z:" + path;
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

// The prefix maps COMN to the link ports/comN (scripts/wine-run), which this points at `device`;
// an empty device removes the link, leaving the port without a device.
void MapComPort(int port, const std::string& device,
                const std::string& prefix = KESTREL_WINE_PREFIX) {
    fs::path link = fs::path(prefix) / "ports" / ("com" + std::to_string(port));
    fs::create_directories(link.parent_path());
    std::error_code ec;
    fs::remove(link, ec);
    if (!device.empty())
        fs::create_symlink(device, link);
}

std::unique_ptr<ChildProcess> StartWindows(const std::string& program,
                                           std::vector<std::string> args,
                                           const std::vector<std::string>& env = {},
                                           const std::string& prefix = KESTREL_WINE_PREFIX) {
    args.insert(args.begin(), {KESTREL_WINE_RUN, prefix, program});
    return std::make_unique<ChildProcess>(args, env, true);
}

// A Windows program run to its end, its output with LF line ends.
TRun RunWindows(const std::string& program, std::vector<std::string> args,
                const std::vector<std::string>& env = {},
                const std::string& prefix = KESTREL_WINE_PREFIX) {
    auto process = StartWindows(program, std::move(args), env, prefix);
    TRun run = Finish(*process);
    run.out = Unix(run.out);
    run.err = Unix(run.err);
    return run;
}

class WindowsCli : public ::testing::Test {
protected:
    void TearDown() override { MapComPort(kComPort, ""); }
    TempDir work;
};

// The port still has XON/XOFF and error replacement on from another program, and the device's
// identity bytes hold CR, XON, XOFF and ^C: a line left as it was would stop at the XOFF.
TEST_F(WindowsCli, IdentifyOnAComPortLeftWithSoftwareFlowControl) {
    TSimDevice sim({"--cid", "0D111303", "--type-text", "QX401.31A", "--dev-id", "K1L2M3N4",
                    "--use-count", "321", "--count2", "99"});
    MapComPort(kComPort, sim.Path());
    TRun left = RunWindows(KESTREL_WIN_PORT_LEFTOVERS, {"COM" + std::to_string(kComPort)});
    ASSERT_EQ(left.status, 0) << left.err;
    ASSERT_NE(left.out.find("XON/XOFF out 1 in 1"), std::string::npos) << left.out;

    TRun run = RunWindows(KESTREL_WIN_CLI, {"identify"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("port: 3 (COM3, \\\\.\\COM3)\n"), std::string::npos) << run.out;
    for (const char* expected :
         {"device type: QX40\n", "software version: 1.31\n", "hardware version: A\n",
          "device identity: K1L2M3N4\n", "identity bytes: 0D 11 13 03\n", "use counter: 321\n",
          "second counter: 99\n"})
        EXPECT_NE(run.out.find(expected), std::string::npos) << expected << run.out;
    EXPECT_EQ(run.err, "");
}

TEST_F(WindowsCli, IdentifyWithoutDeviceFails) {
    TRun run = RunWindows(KESTREL_WIN_CLI, {"identify"});
    EXPECT_EQ(run.status, 1);
    // The status text, then the line with its cause.
    auto lines = run.ErrLines();
    ASSERT_EQ(lines.size(), 2u) << run.err;
    EXPECT_EQ(lines[0], ConnectFailed);
    EXPECT_EQ(lines[1].rfind("no device answered on ports 1 to 256", 0), 0u) << run.err;
    EXPECT_EQ(run.out, "");
}

TEST_F(WindowsCli, FlashProgramsTheImage) {
    TSimDevice sim({"--image-out", work / "stored.bin"});
    MapComPort(kComPort, sim.Path());
    std::string image = TestImage(3000);
    // A Chinese name with a space: the argument and the file calls keep it (in the ANSI code
    // page it would be lost, and the file refused).
    WriteFileBytes(work / "固件 1.21.bin", image);
    TRun run = RunWindows(KESTREL_WIN_CLI, {"flash", WinePath(work / "固件 1.21.bin")});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, UpdateDone + "\n");
    ASSERT_TRUE(sim.WaitFor("image written: 3072 bytes"));
    EXPECT_EQ(ReadFileBytes(work / "stored.bin"), Filled(image, 512));
}

TEST_F(WindowsCli, UpdateProgramsTheFirmwareFromTheServer) {
    std::string image = TestImage(5000);
    // Signed with the key of the Windows build's tests.
    TUpgradeServer server({.firmware = image, .signingKey = KESTREL_WIN_SIGNING_KEY});
    TSimDevice sim({"--image-out", work / "programmed.bin"});
    MapComPort(kComPort, sim.Path());

    TRun run = RunWindows(KESTREL_WIN_CLI, {"update"}, {"KESTREL_UPDATE_HOST=" + server.Address()});
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::string> lines = run.ErrLines();
    for (const char* expected :
         {"port: 3 (COM3, \\\\.\\COM3)", "连接成功！", "请求的数据获取成功！", "软件更新成功！"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected << "\n"
                                                                                << run.err;
    ASSERT_TRUE(sim.WaitFor("image written: 5120 bytes"));
    EXPECT_EQ(ReadFileBytes(work / "programmed.bin"), Filled(image, 512));
    std::string session = server.NextSession();
    EXPECT_NE(session.find("answer=firmware:1.21 end=allok"), std::string::npos) << session;
}

// A tool signed for Linux is no tool for Windows: refused before anything is written.
TEST_F(WindowsCli, UpdateRefusesAToolSignedForAnotherPlatform) {
    TUpgradeServer server({.firmware = TestImage(1000),
                           .tool = ReadFileBytes(KESTREL_WIN_CLI),
                           .signingKey = KESTREL_WIN_SIGNING_KEY,
                           .toolPlatform = "linux-x86_64"});
    TSimDevice sim;
    MapComPort(kComPort, sim.Path());
    TRun run = RunWindows(KESTREL_WIN_CLI, {"update"}, {"KESTREL_UPDATE_HOST=" + server.Address()});
    EXPECT_EQ(run.status, 5) << run.err;
    EXPECT_NE(run.err.find("the signed tool is for platform linux-x86_64, not this tool's "
                           "windows-x86_64"),
              std::string::npos)
        << run.err;
}

// The tool replaces itself for real: the old one ends, the new one is in place and started with
// AG, and nothing else is left in the folder; in a folder whose name has a space, in one whose
// name is Chinese (which no Western code page holds), and in one whose name holds what cmd would
// expand or take as an operator (%OS% is set in every Windows session).
struct TReplaceFolder {
    const char* name; // of the test
    const char* folder;
    const char* exe;
};

void PrintTo(const TReplaceFolder& f, std::ostream* out) {
    *out << f.folder << "\\" << f.exe;
}

class WindowsSelfReplace : public ::testing::TestWithParam<TReplaceFolder> {};

TEST_P(WindowsSelfReplace, NewExecutableInPlace) {
    TempDir work;
    std::string dir = work / GetParam().folder;
    fs::create_directory(dir);
    std::string exe = dir + "/" + GetParam().exe;
    fs::copy_file(KESTREL_WIN_REPLACE_TRIAL, exe);
    // The new tool: the same program with bytes appended (a PE image runs with them).
    std::string fresh = ReadFileBytes(exe) + "new build 1.5";
    WriteFileBytes(work / "new.bin", fresh);
    std::string log = work / "started.txt";

    TRun run = RunWindows(WinePath(exe), {"replace", WinePath(work / "new.bin")},
                          {"KESTREL_FAKE_TOOL_LOG=" + WinePath(log)});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("terminate"), std::string::npos) << run.out;

    ASSERT_TRUE(WaitUntil([&] { return fs::exists(log); }, std::chrono::seconds(120)))
        << "the new tool was not started";
    EXPECT_EQ(ReadFileBytes(log), "AG\n");
    EXPECT_EQ(ReadFileBytes(exe), fresh);
    auto left = [&] {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir))
            names.push_back(e.path().filename().string());
        return names;
    };
    EXPECT_TRUE(WaitUntil([&] { return left() == std::vector<std::string>{GetParam().exe}; }))
        << ::testing::PrintToString(left());
}

INSTANTIATE_TEST_SUITE_P(
    Folders, WindowsSelfReplace,
    ::testing::Values(TReplaceFolder{"Space", "Kestrel Tool", "Kestrel Upgrade.exe"},
                      TReplaceFolder{"Chinese", "升级 工具", "升级 工具 QX40.exe"},
                      TReplaceFolder{"CmdSpecials", "升级 %OS% a!b!c x^y & z", "工具 %OS%!^&.exe"}),
    [](const auto& param) { return std::string(param.param.name); });

// The window program replaces itself as kestrel-cli does, here from a folder whose name has
// Chinese characters and a space: the old window ends by itself, the new tool is started with
// AG, and nothing but the executable is left in the folder. Windows run on wine's null
// graphics driver: nothing is drawn, messages and timers work.
TEST_F(WindowsCli, WindowReplacesItselfInAFolderWithAChineseName) {
    const std::string dir = work / "升级 工具";
    fs::create_directory(dir);
    const std::string exe = dir + "/kestrel.exe";
    fs::copy_file(KESTREL_WIN_WINDOW_KEYED, exe);
    const std::string tool = ReadFileBytes(KESTREL_WIN_REPLACE_TRIAL);
    TUpgradeServer server({.firmware = TestImage(1000),
                           .tool = tool,
                           .signingKey = KESTREL_WIN_SIGNING_KEY,
                           .toolPlatform = "windows-x86_64"});
    TSimDevice sim;
    MapComPort(kComPort, sim.Path());
    const std::string log = work / "started.txt";

    TRun run = RunWindows(WinePath(exe), {"AG"},
                          {"KESTREL_UPDATE_HOST=" + server.Address(),
                           "KESTREL_INFO_BASE_URL=http://" + server.Address() + ":1",
                           "KESTREL_FAKE_TOOL_LOG=" + WinePath(log)});
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(log); }, std::chrono::seconds(120)))
        << "the new tool was not started\n"
        << run.err;
    EXPECT_EQ(ReadFileBytes(log), "AG\n");
    EXPECT_EQ(ReadFileBytes(exe), tool);
    auto left = [&] {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir))
            names.push_back(e.path().filename().string());
        return names;
    };
    EXPECT_TRUE(WaitUntil([&] { return left() == std::vector<std::string>{"kestrel.exe"}; }))
        << ::testing::PrintToString(left());
    std::string session = server.NextSession();
    EXPECT_NE(session.find("answer=tool:1.5 end=allok"), std::string::npos) << session;
}

// A DLL planted beside the window program under the name of a system library that is no known
// DLL (msimg32.dll, which wine is told to prefer in its native form) is not loaded: the program
// imports no such library.
TEST(WindowsWindow, LoadsNoDllPlantedBesideIt) {
    TempDir work;
    fs::copy_file(KESTREL_WIN_WINDOW_KEYED, work / "kestrel.exe");
    fs::copy_file(KESTREL_WIN_PLANTED_DLL, work / "msimg32.dll");
    const std::string log = work / "planted-dll-loaded";
    TRun run =
        RunWindows(WinePath(work / "kestrel.exe"), {"--version"},
                   {"WINEDLLOVERRIDES=msimg32=n,b", "KESTREL_PLANTED_DLL_LOG=" + WinePath(log)});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("kestrel " KESTREL_VERSION), std::string::npos) << run.out;
    EXPECT_FALSE(fs::exists(log)) << "kestrel.exe loaded the msimg32.dll beside it";
}

// One window per user and name: a second start of the window (with AG: it starts no second
// upgrade) brings the first to the front and ends with status 0 without a window of its own. The
// windows have a name of their own (KESTREL_INSTANCE), apart from the other tests' windows.
TEST_F(WindowsCli, SecondWindowStartBringsTheFirstToTheFront) {
    const std::vector<std::string> env = {"KESTREL_INSTANCE=second-start-test",
                                          "KESTREL_INFO_BASE_URL=http://127.0.0.1:1"};
    auto first = StartWindows(KESTREL_WIN_WINDOW_KEYED, {}, env);
    const std::string raised = "kestrel: started again: this window was brought to the front";
    ASSERT_TRUE(WaitUntil([&] {
        return first->Stderr().find("VELT在线升级：") != std::string::npos;
    })) << first->Stderr();
    TRun second = RunWindows(KESTREL_WIN_WINDOW_KEYED, {"AG"}, env);
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(second.err, "kestrel: the window is already open; it was brought to the front\n");
    EXPECT_TRUE(WaitUntil([&] { return first->Stderr().find(raised) != std::string::npos; }))
        << first->Stderr();
    EXPECT_FALSE(first->Wait(std::chrono::milliseconds(0)).has_value());
    EXPECT_EQ(first->Stderr().find("连接设备！"), std::string::npos) << first->Stderr();
    first->Stop();
}

// ---- The installer (packaging/windows), in a wine prefix of its own ----

// A fresh wine prefix in a temporary folder, so that installing leaves the shared prefix as it
// was; scripts/wine-run sets it up at its first program. Its wine processes end with it.
struct TOwnWinePrefix {
    TempDir dir;
    const std::string path = dir / "wine";
    ~TOwnWinePrefix() { ChildProcess({KESTREL_WINE_RUN, path, "--stop"}).Wait(); }

    TRun Run(const std::string& program, std::vector<std::string> args,
             const std::vector<std::string>& env = {}) const {
        return RunWindows(program, std::move(args), env, path);
    }
    // Every file and folder on drive C:, as paths of this system.
    std::set<std::string> DriveC() const {
        std::set<std::string> paths;
        for (const auto& entry : fs::recursive_directory_iterator(path + "/drive_c"))
            paths.insert(entry.path().string());
        return paths;
    }
    // The subtrees of the registry an installation for the user writes to, the user's own and
    // Windows' (installed programs, Windows Installer's registrations), as regedit exports them
    // (UTF-16; the text looked for is ASCII), with the backslashes of value data single as in
    // key names. The whole registry takes ten times as long.
    std::string Registry() const {
        std::string text;
        for (const char* key :
             {"HKEY_USERS", "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion"}) {
            TRun run = Run("regedit", {"/E", WinePath(dir / "subtree.reg"), key});
            EXPECT_EQ(run.status, 0) << run.err;
            text += ReadFileBytes(dir / "subtree.reg");
        }
        std::erase(text, '\0');
        for (size_t at = 0; (at = text.find("\\\\", at)) != std::string::npos; ++at)
            text.erase(at, 1);
        return text;
    }
};

// What a double-click shows (Windows Installer's full interface): a progress dialog before the
// installation runs, with the progress bar and the current action subscribed, and a dialog for
// each end (done, cancelled, failed) with its button; the Start-menu entry named as the Linux
// desktop entry names the window. In a database of the Chinese code page.
TEST(WindowsInstaller, ShowsItsProgressAndNamesTheShortcutInChinese) {
    auto table = [](const std::string& name) {
        ChildProcess msiinfo({"/usr/bin/msiinfo", "export", KESTREL_WIN_INSTALLER, name}, {}, true);
        TRun run = Finish(msiinfo, std::chrono::seconds(60));
        EXPECT_EQ(run.status, 0) << name << ": " << run.err;
        return Unix(run.out);
    };
    auto has = [](const std::string& text, const std::string& row) {
        return text.find(row + "\n") != std::string::npos;
    };
    EXPECT_TRUE(has(table("_ForceCodepage"), "936\t_ForceCodepage"));
    const std::string sequence = table("InstallUISequence");
    for (const char* row : {"ProgressDlg\t\t1299", "ExecuteAction\t\t1300", "ExitDlg\t\t-1",
                            "UserExitDlg\t\t-2", "FatalErrorDlg\t\t-3"})
        EXPECT_TRUE(has(sequence, row)) << row << " is not in\n" << sequence;
    const std::string mapping = table("EventMapping");
    for (const char* row : {"ProgressDlg\tProgress\tSetProgress\tProgress",
                            "ProgressDlg\tActionText\tActionText\tText"})
        EXPECT_TRUE(has(mapping, row)) << row << " is not in\n" << mapping;
    const std::string controls = table("Control"), events = table("ControlEvent");
    EXPECT_NE(controls.find("ProgressDlg\tProgress\tProgressBar\t"), std::string::npos);
    for (const char* dialog : {"ExitDlg", "UserExitDlg", "FatalErrorDlg"}) {
        EXPECT_NE(controls.find(std::string(dialog) + "\tFinish\tPushButton\t"), std::string::npos)
            << dialog;
        EXPECT_NE(events.find(std::string(dialog) + "\tFinish\tEndDialog\t"), std::string::npos)
            << dialog;
    }
    EXPECT_TRUE(has(table("Property"), "DefaultUIFont\tKestrelFont"));
    EXPECT_NE(table("TextStyle").find("KestrelFont\t"), std::string::npos);
    EXPECT_NE(table("Shortcut").find("\tVELT|VELT在线升级\t"), std::string::npos);
}

// The installed program whose self-replacement is tried: kestrel-cli announces a new tool
// (status 3) and keeps itself; the window replaces itself: {"kestrel.exe", {"AG"}, true}.
// The test installer (the programs that trust the tests' key) over the release one, silently for
// the user; the installed window program replacing itself with a newer tool signed for Windows;
// the silent uninstall the entry names.
TEST(WindowsInstaller, InstallsForTheUserUpdatesAndUninstallsWithoutTrace) {
    TOwnWinePrefix wine;
    TRun where = wine.Run("cmd", {"/c", "echo %LOCALAPPDATA%"});
    ASSERT_EQ(where.status, 0) << where.err;
    const std::string dir = where.out.substr(0, where.out.find('\n')) + "\\Programs\\Kestrel";
    std::string hostDir = wine.path + "/drive_c/" + dir.substr(3);
    std::replace(hostDir.begin(), hostDir.end(), '\\', '/');
    const std::set<std::string> filesBefore = wine.DriveC();

    // The release installer first: the test installer, the same version, replaces it.
    for (const char* installer : {KESTREL_WIN_INSTALLER, KESTREL_WIN_TEST_INSTALLER}) {
        TRun install = wine.Run("msiexec", {"/i", WinePath(installer), "/qn"});
        ASSERT_EQ(install.status, 0) << installer << "\n" << install.out << install.err;
    }
    const std::set<std::string> filesInstalled = wine.DriveC();
    EXPECT_EQ(filesInstalled.count(hostDir + "/kestrel-cli.exe"), 1u) << hostDir;
    // A shortcut in the user's Start menu with the window, and only then.
    EXPECT_EQ(filesInstalled.contains(hostDir + "/kestrel.exe"),
              std::ranges::any_of(filesInstalled, [](const std::string& path) {
                  return path.ends_with("/Start Menu/Programs/VELT在线升级.lnk");
              }));

    // The user's uninstall entry, and the registration of the product its command names.
    std::string registry = wine.Registry();
    // HKCU, as the export names it (HKEY_USERS\<the user's id>).
    const std::string entry = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kestrel]";
    size_t at = registry.find(entry);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(registry.compare(registry.rfind('[', at), 12, "[HKEY_USERS\\"), 0);
    const std::string values = registry.substr(at, registry.find("\n[", at) - at);
    for (const std::string& value : std::vector<std::string>{
             "\"DisplayName\"=\"Kestrel\"", "\"DisplayVersion\"=\"" KESTREL_VERSION "\"",
             "\"InstallLocation\"=\"" + dir + "\\\""})
        EXPECT_NE(values.find(value), std::string::npos) << value << " is not in\n" << values;
    const std::string quiet = "\"QuietUninstallString\"=\"MsiExec.exe /X";
    ASSERT_NE(values.find(quiet), std::string::npos) << values;
    const std::string productCode = values.substr(values.find(quiet) + quiet.size(), 38);
    const std::vector<std::string> traces = {entry, "\\Programs\\Kestrel", productCode,
                                             "\"ProductName\"=\"Kestrel\""};
    for (const std::string& trace : traces)
        EXPECT_NE(registry.find(trace), std::string::npos) << trace << " is not in the registry";

    // Both programs answer --version on the console they were started from, without a window.
    for (const char* program : {"kestrel-cli", "kestrel"}) {
        TRun version = wine.Run(dir + "\\" + program + ".exe", {"--version"});
        EXPECT_EQ(version.status, 0) << version.err;
        EXPECT_EQ(version.out, std::string(program) + " " KESTREL_VERSION " (update keys: 1)\n");
    }

    {
        // The installed window replaces itself: the new tool is in place and started with AG, and
        // no backup is left (the new tool's record is outside the prefix).
        TempDir work;
        const std::string offered = ReadFileBytes(KESTREL_WIN_REPLACE_TRIAL);
        TUpgradeServer server({.firmware = TestImage(1000),
                               .tool = offered,
                               .signingKey = KESTREL_WIN_SIGNING_KEY,
                               .toolPlatform = "windows-x86_64"});
        TSimDevice sim;
        MapComPort(kComPort, sim.Path(), wine.path);
        const std::string log = work / "started.txt";
        TRun update = wine.Run(
            dir + "\\kestrel.exe", {"AG"},
            {"KESTREL_UPDATE_HOST=" + server.Address(), "KESTREL_FAKE_TOOL_LOG=" + WinePath(log)});
        EXPECT_EQ(update.status, 0) << update.err;
        EXPECT_TRUE(WaitUntil([&] { return fs::exists(log); })) << update.err;
        EXPECT_EQ(ReadFileBytes(hostDir + "/kestrel.exe"), offered);
        auto kestrelFiles = [&] {
            std::set<std::string> files;
            for (const std::string& path : wine.DriveC())
                if (path.find("Kestrel") != std::string::npos)
                    files.insert(path);
            return files;
        };
        std::set<std::string> installedKestrel;
        for (const std::string& path : filesInstalled)
            if (path.find("Kestrel") != std::string::npos)
                installedKestrel.insert(path);
        EXPECT_TRUE(WaitUntil([&] { return kestrelFiles() == installedKestrel; }));
    }

    TRun removal = wine.Run("msiexec", {"/X" + productCode, "/qn"});
    EXPECT_EQ(removal.status, 0) << removal.out << removal.err;
    // Nothing of Kestrel stays: only empty folders shared with other programs
    // (%LOCALAPPDATA%\Programs, Windows Installer's cache) and what the system keeps for itself
    // (the browser control's cookies and cache, which hold the information page once it has
    // loaded before the window ended) may be new.
    std::vector<std::string> filesLeft;
    std::ranges::set_difference(wine.DriveC(), filesBefore, std::back_inserter(filesLeft));
    auto browsers = [](const std::string& path) {
        return path.find("/INetCookies/") != std::string::npos ||
               path.find("/INetCache/") != std::string::npos;
    };
    for (const std::string& path : filesLeft)
        EXPECT_TRUE(path.find("Kestrel") == std::string::npos &&
                    (fs::is_empty(path) || browsers(path)))
            << path;
    registry = wine.Registry();
    for (const std::string& trace : traces)
        EXPECT_EQ(registry.find(trace), std::string::npos) << trace << " is left in the registry";
}
} // namespace
