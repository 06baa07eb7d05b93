// The Windows programs of the cross build (KESTREL_WINDOWS_BUILD) run under wine, driven from
// here: kestrel-cli.exe against qx40-sim on a COM port of the wine prefix mapped to the
// simulator's pseudo-terminal and against the reference server on a loopback address, the
// upgrade dialogue's own tests against the reference server, self-replacement for real in a
// folder whose name has a space, and the installer in a prefix of its own. The tests share the
// prefix's COM ports: they run one at a time.
#include "Deadline.h"
#include "SimHarness.h"
#include "UpgradeServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iterator>
#include <set>
#include <sstream>

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
                                           std::vector<std::string> env = {},
                                           const std::string& prefix = KESTREL_WINE_PREFIX) {
    args.insert(args.begin(), {KESTREL_WINE_RUN, prefix, program});
    return std::make_unique<ChildProcess>(args, env, true);
}

// A Windows program run to its end, its output with LF line ends.
TRun RunWindows(const std::string& program, std::vector<std::string> args,
                std::vector<std::string> env = {},
                const std::string& prefix = KESTREL_WINE_PREFIX) {
    auto process = StartWindows(program, std::move(args), std::move(env), prefix);
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
    EXPECT_NE(run.out.find("port: 3 (com3, \\\\.\\COM3)\n"), std::string::npos) << run.out;
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
    WriteFileBytes(work / "fw.bin", image);
    TRun run = RunWindows(KESTREL_WIN_CLI, {"flash", WinePath(work / "fw.bin")});
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
         {"port: 3 (com3, \\\\.\\COM3)", "连接成功！", "请求的数据获取成功！", "软件更新成功！"})
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

// The batch file runs under wine's cmd: it waits for the old program, copies the new one in
// place, removes the backup, starts the new tool with AG and deletes itself.
TEST(WindowsSelfReplace, NewExecutableInPlaceInAFolderWithASpace) {
    TempDir work;
    std::string dir = work / "Kestrel Tool";
    fs::create_directory(dir);
    std::string exe = dir + "/Kestrel Upgrade.exe";
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
    // The batch file deletes itself last.
    EXPECT_TRUE(WaitUntil([&] { return !fs::exists(dir + "/Kestrel Upgrade.bat"); }));
    EXPECT_EQ(ReadFileBytes(exe), fresh);
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir))
        left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"Kestrel Upgrade.exe"});
}

// ---- The installer (packaging/windows), in a wine prefix of its own ----

// The lines of a text, or its words separated by `separator`.
std::vector<std::string> Split(const std::string& text, char separator = '\n') {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        parts.push_back(part);
    return parts;
}

// A fresh wine prefix in a temporary folder (scripts/wine-run sets it up at its first program,
// COM ports mapped), so that installing leaves the shared prefix as it was. Its wine processes
// end with it.
class TOwnWinePrefix {
public:
    TOwnWinePrefix() : path_(dir_ / "wine") {}
    ~TOwnWinePrefix() {
        ChildProcess stop({KESTREL_WINE_RUN, path_, "--stop"});
        stop.Wait();
    }
    TOwnWinePrefix(const TOwnWinePrefix&) = delete;
    TOwnWinePrefix& operator=(const TOwnWinePrefix&) = delete;

    const std::string& Path() const { return path_; }
    TRun Run(const std::string& program, std::vector<std::string> args,
             std::vector<std::string> env = {}) const {
        return RunWindows(program, std::move(args), std::move(env), path_);
    }
    // A path on the prefix's drive C: ("C:\users\...") as a path of this system.
    std::string HostPath(const std::string& windowsPath) const {
        std::string rest = windowsPath.substr(3);
        std::replace(rest.begin(), rest.end(), '\\', '/');
        return path_ + "/drive_c/" + rest;
    }
    // The data of the string value `name` of a registry key; empty when there is none.
    std::string RegistryText(const std::string& key, const std::string& name) const {
        // reg prints the value as "    NAME    REG_SZ    DATA".
        const std::string start = "    " + name + "    REG_SZ    ";
        for (const std::string& line : Split(Run("reg", {"query", key, "/v", name}).out))
            if (line.rfind(start, 0) == 0)
                return line.substr(start.size());
        return {};
    }
    // The whole registry as lower-case text, backslashes single (regedit exports UTF-16; what
    // is looked for is ASCII).
    std::string RegistryDump() const {
        std::string file = dir_ / "registry.reg";
        TRun run = Run("regedit", {"/E", WinePath(file)});
        EXPECT_EQ(run.status, 0) << run.err;
        std::string text = ReadFileBytes(file);
        text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
        // Value data has its backslashes doubled; key names have them single.
        for (size_t at = 0; (at = text.find("\\\\", at)) != std::string::npos; ++at)
            text.erase(at, 1);
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return text;
    }
    // Every file and folder on drive C:.
    std::set<std::string> DriveC() const {
        std::set<std::string> paths;
        std::string root = path_ + "/drive_c";
        for (const auto& entry :
             fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied))
            paths.insert(entry.path().lexically_relative(root).string());
        return paths;
    }

    // The names in a folder of drive C:.
    std::set<std::string> Folder(const std::string& windowsPath) const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(HostPath(windowsPath)))
            names.insert(entry.path().filename().string());
        return names;
    }

private:
    TempDir dir_;
    std::string path_;
};

// Windows Installer registers a product under the packed form of its code: the digits of the
// first three groups reversed, those of each later byte swapped.
std::string PackedGuid(const std::string& guid) {
    std::string hex;
    std::copy_if(guid.begin(), guid.end(), std::back_inserter(hex),
                 [](unsigned char c) { return std::isxdigit(c); });
    if (hex.size() != 32)
        return guid;
    std::string packed = std::string(hex.rend() - 8, hex.rend()) +
                         std::string(hex.rend() - 12, hex.rend() - 8) +
                         std::string(hex.rend() - 16, hex.rend() - 12);
    for (size_t i = 16; i < 32; i += 2)
        packed += {hex[i + 1], hex[i]};
    return packed;
}

// The installed program whose self-replacement is tried. kestrel-cli only announces a new tool
// (status 3) and keeps itself; the window program replaces itself: {"kestrel.exe", {"AG"}, true}.
struct TInstalledUpdater {
    std::string exe;
    std::vector<std::string> args;
    bool replacesItself;
};
const TInstalledUpdater kInstalledUpdater{"kestrel-cli.exe", {"update"}, false};

// The test installer (the programs that trust the tests' key), silently for the user: the
// programs in %LOCALAPPDATA%\Programs\Kestrel, the uninstall entry with the version, the installed
// tool offered a newer one signed for Windows, then the silent uninstall named by the entry,
// which leaves no file and no registry entry of Kestrel behind.
TEST(WindowsInstaller, InstallsForTheUserUpdatesAndUninstallsWithoutTrace) {
    TOwnWinePrefix wine;
    TRun where = wine.Run("cmd", {"/c", "echo %LOCALAPPDATA%"});
    ASSERT_EQ(where.status, 0) << where.err;
    const std::vector<std::string> whereLines = Split(where.out);
    ASSERT_EQ(whereLines.size(), 1u) << where.out;
    const std::string dir = whereLines[0] + "\\Programs\\Kestrel";
    const std::set<std::string> filesBefore = wine.DriveC();

    TRun install = wine.Run("msiexec", {"/i", WinePath(KESTREL_WIN_TEST_INSTALLER), "/qn"});
    ASSERT_EQ(install.status, 0) << install.out << install.err;

    const std::string entry =
        "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kestrel";
    EXPECT_EQ(wine.RegistryText(entry, "DisplayName"), "Kestrel");
    EXPECT_EQ(wine.RegistryText(entry, "DisplayVersion"), KESTREL_VERSION);
    EXPECT_EQ(wine.RegistryText(entry, "InstallLocation"), dir + "\\");
    // "MsiExec.exe /X{PRODUCT-CODE} /qn"
    const std::vector<std::string> uninstall =
        Split(wine.RegistryText(entry, "QuietUninstallString"), ' ');
    ASSERT_EQ(uninstall.size(), 3u);
    ASSERT_EQ(uninstall[1].rfind("/X{", 0), 0u) << uninstall[1];
    const std::string productCode = uninstall[1].substr(2);

    const std::set<std::string> programs = wine.Folder(dir);
    EXPECT_EQ(programs.count("kestrel-cli.exe"), 1u);
    // What the installation leaves in the registry: its folder, keys and product code.
    std::vector<std::string> traces = {"\\programs\\kestrel", "uninstall\\kestrel", productCode,
                                       PackedGuid(productCode)};
    for (std::string& trace : traces)
        std::transform(trace.begin(), trace.end(), trace.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::string registry = wine.RegistryDump();
    for (const std::string& trace : traces)
        EXPECT_NE(registry.find(trace), std::string::npos) << trace << " is not in the registry";

    TRun version = wine.Run(dir + "\\kestrel-cli.exe", {"--version"});
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_EQ(version.out, "kestrel-cli " KESTREL_VERSION " (update keys: 1)\n");

    {
        const std::string offered = ReadFileBytes(KESTREL_WIN_CLI);
        TUpgradeServer server({.firmware = TestImage(1000),
                               .tool = offered,
                               .signingKey = KESTREL_WIN_SIGNING_KEY,
                               .toolPlatform = "windows-x86_64"});
        TSimDevice sim;
        MapComPort(kComPort, sim.Path(), wine.Path());
        const std::string installed = wine.HostPath(dir + "\\" + kInstalledUpdater.exe);
        const std::string before = ReadFileBytes(installed);
        TRun update = wine.Run(dir + "\\" + kInstalledUpdater.exe, kInstalledUpdater.args,
                               {"KESTREL_UPDATE_HOST=" + server.Address()});
        // The signature was checked with the key the installed program trusts.
        EXPECT_NE(update.err.find("signed by"), std::string::npos) << update.err;
        if (kInstalledUpdater.replacesItself) {
            EXPECT_EQ(update.status, 0) << update.err;
            EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(installed) == offered; },
                                  std::chrono::seconds(120)));
        } else {
            EXPECT_EQ(update.status, 3) << update.err;
            EXPECT_EQ(ReadFileBytes(installed), before);
        }
        // No backup or batch file left beside the programs.
        EXPECT_TRUE(WaitUntil([&] { return wine.Folder(dir) == programs; }))
            << "files left in " << wine.HostPath(dir);
    }

    TRun removal = wine.Run(uninstall[0], {uninstall[1], uninstall[2]});
    EXPECT_EQ(removal.status, 0) << removal.out << removal.err;
    // Only empty folders shared with other programs may stay (%LOCALAPPDATA%\Programs and
    // Windows Installer's cache).
    std::vector<std::string> filesLeft;
    std::ranges::set_difference(wine.DriveC(), filesBefore, std::back_inserter(filesLeft));
    for (const std::string& path : filesLeft) {
        std::string host = wine.Path() + "/drive_c/" + path;
        EXPECT_TRUE(fs::is_directory(host) && fs::is_empty(host) &&
                    path.find("Kestrel") == std::string::npos)
            << path << " is left";
    }
    // With the window, the Start-menu shortcut's key is there too.
    traces.push_back("software\\kestrel");
    registry = wine.RegistryDump();
    for (const std::string& trace : traces)
        EXPECT_EQ(registry.find(trace), std::string::npos) << trace << " is left in the registry";
}

} // namespace
