// The Windows programs of the cross build (KESTREL_WINDOWS_BUILD) run under wine, driven from
// here: kestrel-cli.exe against qx40-sim on a COM port of the wine prefix mapped to the
// simulator's pseudo-terminal and against the reference server on a loopback address, the
// upgrade dialogue's own tests against the reference server, and self-replacement for real in a
// folder whose name has a space. The tests share the prefix's COM ports: they run one at a time.
#include "Deadline.h"
#include "SimHarness.h"
#include "UpgradeServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

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
void MapComPort(int port, const std::string& device) {
    fs::path link = fs::path(KESTREL_WINE_PREFIX) / "ports" / ("com" + std::to_string(port));
    fs::create_directories(link.parent_path());
    std::error_code ec;
    fs::remove(link, ec);
    if (!device.empty())
        fs::create_symlink(device, link);
}

std::unique_ptr<ChildProcess> StartWindows(const std::string& program,
                                           std::vector<std::string> args,
                                           std::vector<std::string> env = {}) {
    args.insert(args.begin(), {KESTREL_WINE_RUN, KESTREL_WINE_PREFIX, program});
    return std::make_unique<ChildProcess>(args, env, true);
}

// A Windows program run to its end, its output with LF line ends.
TRun RunWindows(const std::string& program, std::vector<std::string> args,
                std::vector<std::string> env = {}) {
    auto process = StartWindows(program, std::move(args), std::move(env));
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

// The window program replaces itself as kestrel-cli does, here from a folder whose name has
// Chinese characters and a space: the old window ends by itself, the new tool is started with
// AG, and neither the backup nor the update script is left behind. Windows run on wine's null
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

} // namespace
