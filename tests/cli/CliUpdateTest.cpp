// `kestrel-cli update` as a user runs it: a process with KESTREL_PORTS pointing at a simulated
// QX40 and KESTREL_UPDATE_HOST at the reference upgrade server, both started by the test. Standard
// input is no terminal, so the guided steps are printed, not asked.
#include "CliHarness.h"
#include "Signing.h"
#include "SimHarness.h"
#include "UpgradeServer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::vector<std::string> GuidedSteps = {
    "你的设备软件版本太低,请按后面步骤提示完成操作:",
    "1. 把QX40设备的电源插头拔掉(USB请不要拔掉)，完成后按[完成]",
    "2. 按住QX40设备的[Yes]键，并保持不放。",
    "3. 继续按住[Yes]键不放，把电源插头插上。",
    "4. 你是否看到屏幕亮起，但不显示任何信息，大约5秒种以后屏幕出现开机画面。",
};

// A status text of the server link: the message, four random hex digits, the code in hex.
testing::AssertionResult IsCodedText(const std::string& line, const std::string& message,
                                     const std::string& hexCode) {
    std::string digits = line.size() >= message.size() ? line.substr(message.size()) : "";
    bool ok = line.rfind(message, 0) == 0 && digits.size() == 4 + hexCode.size() &&
              digits.find_first_not_of("0123456789ABCDEF") == std::string::npos &&
              digits.substr(4) == hexCode;
    if (ok)
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << '"' << line << "\" is not " << message << " + RRRR" << hexCode;
}

// What the first Ctrl-C during programming says.
const std::string Interrupt =
    "kestrel-cli: interrupted; programming continues until the image is complete (a device left "
    "half-programmed does not start), then kestrel-cli ends.";

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// kestrel-cli update on a pseudo-terminal, answering each question that ends the output with
// the next of `answers`. Returns the exit status and everything the terminal showed.
int RunOnTerminal(const std::vector<std::string>& env, std::vector<std::string> answers,
                  std::string& shown) {
    TCliOnTerminal cli({"update"}, env);
    auto until = std::chrono::steady_clock::now() + 180s;
    size_t answered = 0; // the output up to here has had its answer
    while (cli.Fill(until)) {
        const std::string& text = cli.Shown();
        bool asks = text.size() > answered &&
                    (text.ends_with("请按 Enter 键：") || text.ends_with("请输入 n："));
        if (asks && !answers.empty()) {
            cli.Type(answers.front() + "\n");
            answers.erase(answers.begin());
            answered = text.size();
        }
    }
    int status = cli.Finish();
    shown = cli.Shown();
    return status;
}

// Standard error without the progress lines (their rates differ from run to run).
std::vector<std::string> StatusLines(const TRun& run) {
    std::vector<std::string> lines;
    for (const auto& line : run.ErrLines())
        if (line.rfind("progress: ", 0) != 0)
            lines.push_back(line);
    return lines;
}

class CliUpdateTest : public ::testing::Test {
protected:
    // kestrel-cli update (with `options`) with the device at port 1 (or the given port list)
    // and the server.
    std::unique_ptr<ChildProcess>
    StartCli(const std::string& ports, const std::string& host,
             const std::vector<std::string>& options = {},
             const std::string& cli = KESTREL_PATH_KESTREL_CLI_KEYED) {
        std::vector<std::string> args{cli, "update"};
        args.insert(args.end(), options.begin(), options.end());
        return std::make_unique<ChildProcess>(
            args, std::vector<std::string>{"KESTREL_PORTS=" + ports, "KESTREL_UPDATE_HOST=" + host},
            true);
    }
    TRun RunCli(const std::string& ports, const std::string& host,
                const std::vector<std::string>& options = {},
                const std::string& cli = KESTREL_PATH_KESTREL_CLI_KEYED) {
        auto process = StartCli(ports, host, options, cli);
        return Finish(*process);
    }
    // Waits until the tool's standard error shows `text`, failing the test when it ends first.
    void AwaitErr(ChildProcess& cli, const std::string& text) {
        auto until = std::chrono::steady_clock::now() + 120s;
        while (cli.Stderr().find(text) == std::string::npos) {
            ASSERT_LT(std::chrono::steady_clock::now(), until) << cli.Stderr();
            ASSERT_FALSE(cli.Wait(20ms)) << "ended before " << text << ": " << cli.Stderr();
        }
    }

    TempDir catalogue;
    TempDir work;
    std::string programmed = work / "programmed.bin";
};

TEST_F(CliUpdateTest, FirmwareIsProgrammedAndTheGuidedStepsPrinted) {
    std::string image = TestImage(5000);
    // The server names the firmware's version in its copy of SVer.
    TUpgradeServer server({.firmware = image, .signingKey = "trusted", .faults = {"value:3:1.21"}});
    TSimDevice device({"--image-out", programmed, "--dev-id", "K1L2M3N4"});

    TRun run = RunCli(PortListAt(2, device.Path()), server.Address(), {"--json"});
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::string> expected = {
        "连接设备！请稍后......",
        "port: 2 (COM2, " + device.Path() + ")",
        "device type: QX40",
        "连接成功！",
        "升级开始：",
        "升级进行中请等待",
        "请求的数据获取成功！",
        "device software version 1.20; the server offers firmware 1.21",
        "正在更新设备程序......请不要断开连接！",
        "软件更新成功！",
    };
    expected.insert(expected.end(), GuidedSteps.begin(), GuidedSteps.end());
    const std::string signer =
        "key " + TestKeyId("trusted") + ", trusted comment: " + FirmwareStatement("1.21");
    expected.push_back("kestrel-cli update: the update is signed by " + signer + ".");
    expected.push_back("kestrel-cli update: firmware-applied; device QX40 K1L2M3N4 on COM2, "
                       "software 1.20; offered firmware 1.21; result code 0x22; exit status 0");
    EXPECT_EQ(StatusLines(run), expected);
    // No terminal: the download (the image and its signature) and the programming each end
    // with a progress line.
    EXPECT_EQ(Count(run.err, "progress: 100%, "), 2u) << run.err;
    EXPECT_NE(run.err.find("progress: 100%, 5.0 KiB of 5.0 KiB"), std::string::npos) << run.err;

    // The device holds the image, filled with 0xFF to a multiple of 512 bytes.
    ASSERT_TRUE(device.WaitFor("image written: 5120 bytes"));
    EXPECT_EQ(ReadFileBytes(programmed), Filled(image, 512));
    std::string session = server.NextSession();
    EXPECT_NE(session.find("type=QX40 hver=B sver=1.20 swver=1.4 answer=firmware:1.21 end=allok"),
              std::string::npos)
        << session;

    auto leaves = JsonLeaves(run.out);
    const std::map<std::string, std::string> expectedJson = {
        {"signed_by", "\"" + signer + "\""},
        {"release.kind", "\"firmware\""},
        {"release.device", "\"QX40\""},
        {"release.version", "\"1.21\""},
        {"command", "\"update\""},
        {"exit_status", "0"},
        {"outcome", "\"firmware-applied\""},
        {"result", "\"firmware-applied\""},
        {"result_code", "34"},
        {"request_kind", "3"},
        {"device.identity", "\"K1L2M3N4\""},
        {"device.port", "2"},
        {"versions.tool", "\"" KESTREL_VERSION "\""},
        {"versions.device_software", "\"1.20\""},
        {"versions.offered_firmware", "\"1.21\""},
        {"guided_steps", "\"printed\""},
        {"cause", "null"},
    };
    for (const auto& [key, value] : expectedJson)
        EXPECT_EQ(leaves[key], value) << key << " in " << run.out;
}

TEST_F(CliUpdateTest, OnATerminalTheBarMovesAndTheStepsAreAsked) {
    std::string image = TestImage(3000);
    TUpgradeServer server({.firmware = image, .signingKey = "trusted"});
    TSimDevice device({"--image-out", programmed});

    // Steps 1-3, "没有看到", steps 1-3 again, "看到了".
    std::string shown;
    int status =
        RunOnTerminal({"KESTREL_PORTS=" + device.Path(), "KESTREL_UPDATE_HOST=" + server.Address()},
                      {"", "", "", "n", "", "", "", "y"}, shown);
    EXPECT_EQ(status, 0) << shown;
    // The bar of the download and of the programming, each up to 100%.
    std::string full = "\r" + std::string("[") + std::string(40, '#') + "] 100%";
    EXPECT_EQ(Count(shown, full), 2u) << shown;
    EXPECT_EQ(Count(shown, "软件更新成功！"), 1u) << shown;
    // Two passes through the four steps, each of the first three answered with Enter.
    EXPECT_EQ(Count(shown, GuidedSteps[1]), 2u) << shown;
    EXPECT_EQ(Count(shown, GuidedSteps[4]), 2u) << shown;
    EXPECT_EQ(Count(shown, "[完 成] 请按 Enter 键："), 6u) << shown;
    EXPECT_EQ(Count(shown, "[看到了] 请输入 y，[没有看到] 请输入 n："), 2u) << shown;
    ASSERT_TRUE(device.WaitFor("image written: 3072 bytes"));
    EXPECT_EQ(ReadFileBytes(programmed), Filled(image, 512));
}

TEST_F(CliUpdateTest, UpToDateDeviceIsReportedAsUpdated) {
    TUpgradeServer server({.firmware = TestImage(1000)});
    TSimDevice device({"--image-out", programmed, "--type-text", "QX401.21B"});

    TRun run = RunCli(device.Path(), server.Address());
    EXPECT_EQ(run.status, 0) << run.err;
    auto lines = run.ErrLines();
    ASSERT_GE(lines.size(), 3u) << run.err;
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"已经是最新软件，无需升级！", "QX40更新成功！",
                                        "kestrel-cli update: up-to-date; device QX40 A2C4E6G8 on "
                                        "COM1, software 1.21; result code 0xF8; exit status 0"}));
    EXPECT_FALSE(Contains(lines, "正在更新设备程序......请不要断开连接！")) << run.err;
    EXPECT_FALSE(Contains(lines, GuidedSteps[1])) << run.err;
    EXPECT_FALSE(fs::exists(programmed));
}

TEST_F(CliUpdateTest, NoDeviceMeansNoServerContact) {
    TUpgradeServer server({.firmware = TestImage(1000)});

    TRun run = RunCli(PortList({"", work / "no-such-port"}), server.Address());
    EXPECT_EQ(run.status, 1);
    // The status text, its cause, and how the update ended.
    EXPECT_EQ(run.ErrLines(), (std::vector<std::string>{
                                  "连接设备！请稍后......", "设备连接失败，请检查USB或电源连接！",
                                  "no device answered on ports 1 to 256 (no serial port "
                                  "exists: is the device plugged in?)",
                                  "kestrel-cli update: device-not-found; exit status 1"}));

    // --port: only that port is tried, though a device answers on another one.
    TSimDevice device;
    TSimDevice mute({"--silent", "01"});
    TRun chosen = RunCli(PortList({device.Path(), mute.Path()}), server.Address(), {"--port", "2"});
    EXPECT_EQ(chosen.status, 1) << chosen.err;
    EXPECT_EQ(chosen.ErrLines().at(1), "设备连接失败，请检查USB或电源连接！") << chosen.err;
    EXPECT_EQ(server.StopAndCollectSessions(), std::vector<std::string>{});
}

TEST_F(CliUpdateTest, AHostWithAPortIsRefusedBeforeTheDeviceIsTouched) {
    TSimDevice device({"--image-out", programmed});
    TRun run = RunCli(device.Path(), "127.0.0.1:5001");
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_EQ(run.err, "kestrel-cli update: KESTREL_UPDATE_HOST takes a host name only, without "
                       "\":5001\": the port is always 5001 (KESTREL_UPDATE_HOST is "
                       "\"127.0.0.1:5001\")\n");
}

TEST_F(CliUpdateTest, ServerFailureEndsWithItsTextAndNothingProgrammed) {
    TUpgradeServer server({.firmware = TestImage(20000), .faults = {"crc:wrong"}});
    TSimDevice device({"--image-out", programmed});

    TRun run = RunCli(device.Path(), server.Address());
    EXPECT_EQ(run.status, 4) << run.err;
    auto lines = run.ErrLines();
    ASSERT_GE(lines.size(), 3u);
    // 45: the CRC differs.
    EXPECT_TRUE(IsCodedText(lines[lines.size() - 3], "升级发生错误，错误代号：", "2D")) << run.err;
    EXPECT_EQ(lines[lines.size() - 2].rfind("upgrade server " + server.Address() +
                                                " port 5001: the data does not match the "
                                                "server's CRC",
                                            0),
              0u)
        << run.err;
    EXPECT_EQ(lines.back(), "kestrel-cli update: server-failed; device QX40 A2C4E6G8 on COM1, "
                            "software 1.20; result code 0x2D; exit status 4");
    EXPECT_FALSE(Contains(lines, "正在更新设备程序......请不要断开连接！")) << run.err;
    EXPECT_FALSE(fs::exists(programmed));
}

TEST_F(CliUpdateTest, CtrlCCancelsAStalledExchange) {
    TUpgradeServer server({.firmware = TestImage(1000), .faults = {"stall-at:length"}});
    TSimDevice device({"--image-out", programmed});

    auto cli = StartCli(device.Path(), server.Address());
    // The announcement is through and the server says nothing more: the tool waits.
    AwaitErr(*cli, "升级进行中请等待");
    kill(cli->Pid(), SIGINT);
    auto interruptedAt = std::chrono::steady_clock::now();
    // Without the cancel the tool would wait for its receive time limit (30 s) and report
    // another code.
    TRun run = Finish(*cli);
    EXPECT_LT(std::chrono::steady_clock::now() - interruptedAt, 10s) << "the cancel was slow";
    EXPECT_EQ(run.status, 130) << run.err;
    auto lines = run.ErrLines();
    EXPECT_TRUE(Contains(lines, "kestrel-cli: interrupted; ending after the current step "
                                "(Ctrl-C again quits at once)"))
        << run.err;
    bool cancelledText = false;
    for (const auto& line : lines)
        cancelledText = cancelledText || IsCodedText(line, "升级发生错误，错误代号：", "23");
    EXPECT_TRUE(cancelledText) << run.err;
    EXPECT_TRUE(Contains(lines, "kestrel-cli update: interrupted.")) << run.err;
    EXPECT_EQ(lines.back().rfind("kestrel-cli update: interrupted; device QX40", 0), 0u);

    // The tool closed its connection (a stalled session ends only then, while the server runs
    // on), and the device's port is free.
    std::string session = server.NextSession();
    EXPECT_NE(session.find("end=fault-stall@length"), std::string::npos) << session;
    EXPECT_TRUE(Lockable(device.Path()));
    EXPECT_FALSE(fs::exists(programmed));
}

TEST_F(CliUpdateTest, NewToolIsOnlyReported) {
    // The catalogue offers a new tool: a copy of kestrel-cli itself, a real executable here.
    TUpgradeServer server({.firmware = TestImage(2000),
                           .tool = ReadFileBytes(KESTREL_PATH_KESTREL_CLI_KEYED),
                           .signingKey = "trusted",
                           .faults = {"value:13:1.5"}});
    TSimDevice device({"--image-out", programmed});
    // The tool runs from a folder of its own, so that anything written next to it shows.
    TempDir bin;
    std::string cli = bin / "kestrel-cli";
    fs::copy_file(KESTREL_PATH_KESTREL_CLI_KEYED, cli);
    fs::permissions(cli, fs::perms::owner_all);

    TRun run = RunCli(device.Path(), server.Address(), {}, cli);
    EXPECT_EQ(run.status, 3) << run.err;
    auto lines = run.ErrLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].rfind("kestrel-cli update: a new version of the tool is "
                                            "available (version 1.5).",
                                            0),
              0u)
        << run.err;
    EXPECT_EQ(lines.back(), "kestrel-cli update: new-tool-available; device QX40 A2C4E6G8 on "
                            "COM1, software 1.20; offered tool 1.5; result code 0x22; exit "
                            "status 3");
    EXPECT_TRUE(Contains(lines, "请求的数据获取成功！")) << run.err;
    EXPECT_FALSE(Contains(lines, GuidedSteps[1])) << run.err;

    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(bin.Path()))
        files.push_back(entry.path().filename().string());
    EXPECT_EQ(files, std::vector<std::string>{"kestrel-cli"});
    EXPECT_FALSE(fs::exists(programmed));
    std::string session = server.NextSession();
    EXPECT_NE(session.find("answer=tool:1.5 end=allok"), std::string::npos) << session;
}

// What each build takes from a server: the maker's build (here with the tests' key) only files
// signed for this use, a build without keys nothing, and a build made to allow unsigned updates
// anything, saying so.
TEST_F(CliUpdateTest, OnlyFilesSignedForThisUseAreTaken) {
    const std::string image = TestImage(3000);
    const std::string tool = ReadFileBytes(KESTREL_PATH_KESTREL_CLI_KEYED);
    auto signedAs = [](const std::string& bytes, const std::string& statement) {
        return MinisignSignature(bytes, "trusted", false, statement);
    };
    const struct {
        const char* what;
        TServerSetup setup;
        const char* cli;
        std::string cause;
    } refusals[] = {
        {"unsigned firmware",
         {.firmware = image},
         KESTREL_PATH_KESTREL_CLI_KEYED,
         "The firmware was not programmed: the update is not signed"},
        {"a firmware rollback",
         {.firmware = image,
          .files = {{"qx40-1.21.bin.minisig", signedAs(image, FirmwareStatement("1.19"))}}},
         KESTREL_PATH_KESTREL_CLI_KEYED,
         "the signed firmware is version 1.19, not newer than the device's 1.20 (a rollback)"},
        {"firmware of another device type",
         {.firmware = image,
          .files = {{"qx40-1.21.bin.minisig", signedAs(image, FirmwareStatement("1.21", "QX41"))}}},
         KESTREL_PATH_KESTREL_CLI_KEYED,
         "the signed firmware is for device QX41, not the connected QX40"},
        {"an echo of another device type",
         {.firmware = image, .signingKey = "trusted", .faults = {"value:1:QX41"}},
         KESTREL_PATH_KESTREL_CLI_KEYED,
         "the server's answer names the device type QX41, not the connected QX40"},
        {"a firmware signature on a tool",
         {.firmware = image,
          .tool = tool,
          .files = {{"kestrel-1.5.minisig", signedAs(tool, FirmwareStatement("1.5"))}}},
         KESTREL_PATH_KESTREL_CLI_KEYED,
         "The new tool was not installed: the signature is for firmware (kind=firmware), but it "
         "came as a tool (kind=tool)"},
        {"a tool of another platform",
         {.firmware = image,
          .tool = tool,
          .signingKey = "trusted",
          .toolPlatform = "windows-x86_64"},
         KESTREL_PATH_KESTREL_CLI_KEYED,
         "the signed tool is for platform windows-x86_64, not this tool's linux-x86_64"},
        {"a build without keys",
         {.firmware = image},
         KESTREL_PATH_KESTREL_CLI_UNKEYED,
         "this build of Kestrel trusts no signing key"},
    };
    // Each with a device and a server of its own, two at a time: more at once starve the
    // simulated devices of the CPU on a loaded two-core machine (a reply later than the device's
    // one second is a failure by design).
    constexpr size_t AtOnce = 2;
    struct TAttempt {
        std::unique_ptr<TUpgradeServer> server;
        std::unique_ptr<TSimDevice> device;
        std::unique_ptr<ChildProcess> cli;
    };
    for (size_t first = 0; first < std::size(refusals); first += AtOnce) {
        std::vector<TAttempt> attempts;
        const size_t last = std::min(first + AtOnce, std::size(refusals));
        for (size_t i = first; i < last; ++i) {
            const auto& r = refusals[i];
            TAttempt& a = attempts.emplace_back();
            a.server = std::make_unique<TUpgradeServer>(r.setup);
            a.device =
                std::make_unique<TSimDevice>(std::vector<std::string>{"--image-out", programmed});
            a.cli = StartCli(a.device->Path(), a.server->Address(), {"--json"}, r.cli);
        }
        for (size_t i = first; i < last; ++i) {
            const auto& r = refusals[i];
            SCOPED_TRACE(r.what);
            TRun run = Finish(*attempts[i - first].cli);
            EXPECT_EQ(run.status, 5) << run.err;
            EXPECT_TRUE(Contains(run.ErrLines(), "未知错误,联系技术支持！")) << run.err;
            EXPECT_NE(JsonLeaves(run.out)["cause"].find(r.cause), std::string::npos) << run.out;
            EXPECT_NE(run.err.find("kestrel-cli update: signature-refused; device QX40"),
                      std::string::npos)
                << run.err;
            EXPECT_FALSE(fs::exists(programmed));
        }
    }
}

TEST_F(CliUpdateTest, ANewToolThatCannotRunIsNotAnnounced) {
    // A bare ELF header of this machine: once announced as a new version, with status 3.
    TUpgradeServer server({.firmware = TestImage(2000),
                           .tool = ReadFileBytes(KESTREL_PATH_KESTREL_CLI_KEYED).substr(0, 64),
                           .signingKey = "trusted"});
    TSimDevice device({"--image-out", programmed});
    TRun run = RunCli(device.Path(), server.Address());
    EXPECT_EQ(run.status, 5) << run.err;
    auto lines = run.ErrLines();
    EXPECT_TRUE(Contains(lines, "未知错误,联系技术支持！")) << run.err;
    EXPECT_EQ(run.err.find("a new version of the tool is available"), std::string::npos) << run.err;
    EXPECT_TRUE(Contains(lines, "kestrel-cli update: the server offered a new tool that cannot "
                                "run here; nothing was replaced."))
        << run.err;
}

TEST_F(CliUpdateTest, CtrlCWhileProgrammingLetsTheImageCompleteButEndsTheUpdate) {
    std::string image = TestImage(std::size_t{160} * 1024); // about 4 s at the line rate
    TUpgradeServer server({.firmware = image, .signingKey = "trusted"});
    TSimDevice device({"--line-rate", "--image-out", programmed});

    auto cli = StartCli(device.Path(), server.Address());
    AwaitErr(*cli, "正在更新设备程序......请不要断开连接！");
    kill(cli->Pid(), SIGINT);
    TRun run = Finish(*cli);
    EXPECT_EQ(run.status, 130) << run.err;
    auto lines = run.ErrLines();
    EXPECT_TRUE(Contains(lines, Interrupt)) << run.err;
    EXPECT_TRUE(Contains(lines, "软件更新成功！")) << run.err;
    EXPECT_TRUE(Contains(lines, "kestrel-cli update: the firmware was programmed, but the guided "
                                "steps were not completed."))
        << run.err;
    EXPECT_FALSE(Contains(lines, GuidedSteps[1])) << run.err;
    ASSERT_TRUE(device.WaitFor("image written: 163840 bytes"));
    EXPECT_EQ(ReadFileBytes(programmed), image);
}

} // namespace
