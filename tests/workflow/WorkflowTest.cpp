// The start action end to end: the simulated QX40 on a pseudo-terminal, the reference upgrade
// server on a loopback address of its own, and a front end that records every call.
#include "Workflow.h"
#include "ChildProcess.h"
#include "Deadline.h"
#include "FakeUI.h"
#include "PCInfo.h"
#include "SelfReplace.h"
#include "Signing.h"
#include "TestData.h"
#include "UpgradeServer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>
#include <utility>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {
// Keeps only the calls that start with one of the prefixes.
std::vector<std::string> Only(const std::vector<std::string>& calls,
                              std::initializer_list<const char*> prefixes) {
    std::vector<std::string> out;
    for (const auto& c : calls)
        for (const char* p : prefixes)
            if (c.rfind(p, 0) == 0) {
                out.push_back(c);
                break;
            }
    return out;
}

const std::string StatusConnecting = std::string("status ") + WorkflowText::Connecting;
const std::string StatusConnected = std::string("status ") + WorkflowText::Connected;
const std::string StatusFetched = "status 请求的数据获取成功！";
const std::string StatusProgramming = std::string("status ") + WorkflowText::Programming;

// The controls (FakeUI::ControlsAt) with nothing running, and during discovery and programming.
const std::string Idle = "start 1 stop 0 busy 0";
const std::string Busy = "start 0 stop 0 busy 0";

// A cancel with the product's 30 s receive limit ends the action well within this.
constexpr auto CancelBound = 10s;

class WorkflowTest : public ::testing::Test {
protected:
    void TearDown() override {
        unsetenv("KESTREL_PORTS");
        unsetenv("KESTREL_UPDATE_HOST");
    }

    // The simulated device, placed at port `port` (earlier numbers stay without a device).
    void StartDevice(std::vector<std::string> options = {}, int port = 1) {
        std::vector<std::string> argv = {KESTREL_PATH_QX40_SIM, "--image-out", programmed};
        argv.insert(argv.end(), options.begin(), options.end());
        device = std::make_unique<ChildProcess>(argv);
        auto path = device->ReadLine();
        ASSERT_TRUE(path) << "the simulator printed no path";
        setenv("KESTREL_PORTS", (std::string(static_cast<size_t>(port - 1), ':') + *path).c_str(),
               1);
    }

    // The upgrade server with a catalogue of firmware 1.21 for QX40 and, when given, a tool.
    void StartServer(std::vector<std::string> faults = {}, const std::string& toolImage = "") {
        server = std::make_unique<TUpgradeServer>(TServerSetup{.firmware = firmware,
                                                               .tool = toolImage,
                                                               .signingKey = "trusted",
                                                               .faults = std::move(faults)});
    }

    // Nothing listens on the server address.
    void NoServer() { setenv("KESTREL_UPDATE_HOST", UniqueLoopbackAddress().c_str(), 1); }

    // The upgrade server with the tool `toolImage`, whose signature it checks against the
    // trusted key.
    void StartServerWithSignedTool(const std::string& toolImage) {
        server = std::make_unique<TUpgradeServer>(
            TServerSetup{.firmware = firmware,
                         .tool = toolImage,
                         .signingKey = "trusted",
                         .args = {"--pubkey", TestKeyFile("trusted", ".pub")}});
    }

    // Options of a tool built with the tests' trusted update key.
    static TWorkflowOptions Keyed(TWorkflowOptions options = {}) {
        options.updateKeys = {ReadFileBytes(TestKeyFile("trusted", ".pub"))};
        options.requireSignedFirmware = true;
        return options;
    }

    TempDir work;
    std::string programmed = work / "programmed.bin";
    std::string firmware = TestImage(1000);
    std::unique_ptr<ChildProcess> device;
    std::unique_ptr<TUpgradeServer> server;
    FakeUI ui;
    // The workflow's own links, both talking to ui.
    TDeviceLink deviceLink{ui};
    TTcpClient tcp;
    TServerLink serverLink{tcp, ui};
};
} // namespace

TEST_F(WorkflowTest, NoDeviceEndsBeforeAnyServerContact) {
    setenv("KESTREL_PORTS", ":", 1);
    NoServer();
    TWorkflow flow(ui, deviceLink, serverLink);
    EXPECT_EQ(flow.Start(), TWorkflowResult::DeviceNotFound);
    EXPECT_EQ(ui.Calls(), (std::vector<std::string>{
                              "start 0", "stop 0", "busy 0", StatusConnecting,
                              std::string("status ") + WorkflowText::ConnectFailed,
                              "cause " + flow.LastCause(), "start 1", "stop 0", "busy 0"}));
    EXPECT_EQ(flow.LastCause(), "no device answered on ports 1 to 256 (no serial port exists: is "
                                "the device plugged in?)");
    EXPECT_EQ(ui.DeviceType(), "未连接");
    EXPECT_EQ(flow.LastCode(), 0);
    EXPECT_FALSE(flow.Busy());
}

TEST_F(WorkflowTest, FirmwareIsProgrammedAndTheUserGuided) {
    StartDevice({}, 3);
    StartServer();
    TWorkflow flow(ui, deviceLink, serverLink);
    // Clicks on the start button while the action runs, including the moment after the worker
    // has enabled it again: only the workflow's guard keeps them from beginning a second action.
    int nestedStarts = 0;
    bool clickedAfterWorkerEnabledStart = false;
    ui.onProcessMessages = [&] {
        if (flow.Phase() == TWorkflowPhase::ExchangeEnded &&
            ui.ControlsAt("").rfind("start 1", 0) == 0)
            clickedAfterWorkerEnabledStart = true;
        EXPECT_TRUE(flow.Busy());
        EXPECT_EQ(flow.Start(), TWorkflowResult::AlreadyRunning);
        ++nestedStarts;
    };

    EXPECT_EQ(flow.Start(), TWorkflowResult::FirmwareApplied);
    EXPECT_GT(nestedStarts, 0);
    EXPECT_TRUE(clickedAfterWorkerEnabledStart);
    EXPECT_FALSE(flow.Busy());
    EXPECT_EQ(flow.LastCode(), kResultSuccess);
    EXPECT_EQ(flow.DeviceVersion(), "1.20");
    EXPECT_EQ(flow.LastCause(), "");

    auto calls = ui.Calls();
    EXPECT_EQ(
        Only(calls, {"status ", "sleep ", "hint", "port ", "type ", "repaint"}),
        (std::vector<std::string>{StatusConnecting, "port 3", "type QX40", StatusConnected,
                                  "sleep 1000", "status 升级开始：", "status 升级进行中请等待",
                                  StatusFetched, "repaint", StatusProgramming, "repaint",
                                  std::string("status ") + WorkflowText::ProgrammingDone,
                                  "sleep 1000", "sleep 3000", "hint"}));
    // The controls through the action: the stop button live only during the exchange, the busy
    // picture from the transfer announcement to the worker's end, the start button enabled by
    // the worker's end and disabled again before programming.
    EXPECT_EQ(ui.ControlsAt(StatusConnecting), Busy);
    EXPECT_EQ(ui.ControlsAt("status 升级开始："), "start 0 stop 1 busy 0");
    auto transfer = std::find_if(calls.begin(), calls.end(),
                                 [](const std::string& c) { return c.rfind("max ", 0) == 0; });
    ASSERT_NE(transfer, calls.end());
    EXPECT_EQ(ui.ControlsAt(*transfer), "start 0 stop 1 busy 1");
    EXPECT_EQ(ui.ControlsAt(StatusFetched), Idle);
    EXPECT_EQ(ui.ControlsAt(StatusProgramming), Busy);
    EXPECT_EQ(ui.ControlsAt("hint"), Busy);
    EXPECT_EQ(ui.ControlsAt(""), Idle);

    // The request carried the device's identity; the server echoed it.
    const TCliInfo& request = flow.LastRequest();
    EXPECT_EQ(request.UserName, "QX40");
    EXPECT_EQ(request.SVer, "1.20");
    EXPECT_EQ(request.HVer, "B");
    EXPECT_EQ(request.UseCount, 789);
    EXPECT_EQ(request.RegInfo, "0000031500000038");
    EXPECT_EQ(request.OriginalID, "A2C4E6G8");
    EXPECT_EQ(request.CID1 + request.CID2 + request.CID3 + request.CID4, "1A2B3C4D");
    EXPECT_EQ(request.SWVer, "1.4");
    EXPECT_EQ(request.UPType, RequestKind::Firmware);
    EXPECT_EQ(request.PCInfo, GetPCInfo());

    // The device received the image filled with 0xFF to 1024 bytes.
    ASSERT_TRUE(device->WaitForLine("image written"));
    EXPECT_EQ(ReadFileBytes(programmed), firmware + std::string(24, '\xFF'));
}

TEST_F(WorkflowTest, RequestIsFilledFromTheDeviceRecord) {
    deviceLink.IOPack.TypeText = "QX412.34C";
    deviceLink.IOPack.Count1 = 1;
    deviceLink.IOPack.Count2 = 255;
    deviceLink.IOPack.DevID = "ABCDEFGH";
    deviceLink.IOPack.CID = {0x0A, 0xBC, 0x00, 0xFF};
    TWorkflow flow(ui, deviceLink, serverLink);
    ui.SetDeviceType("QX41");
    TCliInfo request;
    request.UPType = RequestKind::Firmware;
    request.ResultCode = 9;
    flow.FillCliInfo(request);
    EXPECT_EQ(request.UserName, "QX41");
    EXPECT_EQ(request.SVer, "2.34");
    EXPECT_EQ(request.HVer, "C");
    EXPECT_EQ(request.UseCount, 1);
    EXPECT_EQ(request.RegInfo, "00000001000000FF");
    EXPECT_EQ(request.OriginalID, "ABCDEFGH");
    EXPECT_EQ(request.CID1 + "," + request.CID2 + "," + request.CID3 + "," + request.CID4,
              "0A,BC,00,FF");
    EXPECT_EQ(request.ResultCode, 0);
    EXPECT_EQ(request.SWVer, "1.4");
    EXPECT_EQ(request.UPType, RequestKind::Firmware); // left to the caller
    ASSERT_TRUE(request.Data);
    EXPECT_EQ(request.Data->Size(), 0);

    // A short identity text leaves the missing parts empty.
    deviceLink.IOPack.TypeText = "QX4";
    flow.FillCliInfo(request);
    EXPECT_EQ(request.SVer, "");
    EXPECT_EQ(request.HVer, "");
}

TEST_F(WorkflowTest, UpToDateDeviceGetsNoDownload) {
    // A port above 16 has no entry in the port box; the workflow goes on unchanged.
    StartDevice({"--type-text", "QX401.21B"}, 17);
    StartServer();
    TWorkflow flow(ui, deviceLink, serverLink);
    EXPECT_EQ(flow.Start(), TWorkflowResult::UpToDate);
    EXPECT_EQ(flow.LastCode(), kResultLatest);
    auto calls = ui.Calls();
    EXPECT_TRUE(ui.Has("port 17"));
    EXPECT_EQ(Only(calls, {"status ", "sleep ", "hint"}),
              (std::vector<std::string>{StatusConnecting, StatusConnected, "sleep 1000",
                                        "status 升级开始：", "status 升级进行中请等待",
                                        "status 已经是最新软件，无需升级！", "sleep 3000",
                                        "status QX40更新成功！"}));
    // The start button is enabled from the worker's end on, through the pause.
    EXPECT_EQ(ui.ControlsAt("sleep 3000"), Idle);
    EXPECT_EQ(ui.ControlsAt(""), Idle);
    EXPECT_FALSE(fs::exists(programmed));
}

TEST_F(WorkflowTest, NoRepeatedUpdateEndsLikeUpToDate) {
    StartDevice();
    StartServer({"status:-1"});
    TWorkflow flow(ui, deviceLink, serverLink);
    EXPECT_EQ(flow.Start(), TWorkflowResult::UpToDate) << flow.LastCause();
    EXPECT_EQ(flow.LastCode(), kResultNoRepeat);
    auto statuses = ui.CallsStarting("status ");
    ASSERT_GE(statuses.size(), 2u);
    EXPECT_EQ(statuses[statuses.size() - 2].rfind("status 无需重复更新！错误代号：", 0), 0u);
    EXPECT_EQ(statuses.back(), "status QX40更新成功！");
    EXPECT_FALSE(ui.Has("hint"));
}

TEST_F(WorkflowTest, ServerStatusZeroIsAFailure) {
    StartDevice();
    StartServer({"status:0"});
    TWorkflow flow(ui, deviceLink, serverLink);
    EXPECT_EQ(flow.Start(), TWorkflowResult::ServerFailed);
    EXPECT_EQ(flow.LastCode(), kResultNoUpgrade);
    EXPECT_EQ(ui.LastStatus().rfind("固件无需升级，错误代号：", 0), 0u);
    EXPECT_FALSE(ui.Has("sleep 3000"));
}

TEST_F(WorkflowTest, ServerUnreachableKeepsItsMessage) {
    StartDevice();
    NoServer();
    TWorkflow flow(ui, deviceLink, serverLink);
    EXPECT_EQ(flow.Start(), TWorkflowResult::ServerFailed);
    EXPECT_EQ(flow.LastCode(), kResultConnectFailed);
    EXPECT_EQ(ui.LastStatus().rfind("连接服务器失败，错误代号：", 0), 0u);
    EXPECT_EQ(ui.LastStatus().substr(ui.LastStatus().size() - 2), "09");
    // The cause comes right after the status text, which stays as it is.
    std::vector<std::string> shown = Only(ui.Calls(), {"status 连接服务器失败", "cause "});
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[1], "cause upgrade server " + std::string(getenv("KESTREL_UPDATE_HOST")) +
                            " port 5001: connection refused: nothing listens there (is the "
                            "server running?)");
    EXPECT_FALSE(ui.Has("sleep 3000"));
    EXPECT_EQ(ui.ControlsAt(""), Idle);
}

TEST_F(WorkflowTest, OnlyTheChosenPortIsTried) {
    StartDevice({}, 3);
    NoServer();
    TWorkflowOptions options;
    options.onlyPort = TPortId{.number = 2}; // no device has that number
    TWorkflow flow(ui, deviceLink, serverLink, options);
    EXPECT_EQ(flow.Start(), TWorkflowResult::DeviceNotFound);
    EXPECT_EQ(flow.LastCause().rfind("COM2 has no device (1 serial port exists: ", 0), 0u)
        << flow.LastCause();
}

TEST_F(WorkflowTest, AnswerOfAnotherKindIsAnUnknownError) {
    StartDevice();
    StartServer({"value:12:5"});
    TWorkflow flow(ui, deviceLink, serverLink);
    EXPECT_EQ(flow.Start(), TWorkflowResult::UnknownKind);
    EXPECT_EQ(
        Only(ui.Calls(), {"status 未知", "sleep ", "hint"}),
        (std::vector<std::string>{"sleep 1000", std::string("status ") + WorkflowText::UnknownError,
                                  "sleep 1000", "sleep 3000", "hint"}));
    EXPECT_FALSE(fs::exists(programmed));
}

TEST_F(WorkflowTest, FailedProgrammingEndsWithItsMessage) {
    StartDevice({"--bad-ack", "2"});
    StartServer();
    TWorkflow flow(ui, deviceLink, serverLink);
    EXPECT_EQ(flow.Start(), TWorkflowResult::ProgrammingFailed);
    EXPECT_EQ(ui.LastStatus(), WorkflowText::ProgrammingFailed);
    EXPECT_TRUE(ui.Has("cause " + std::string(getenv("KESTREL_PORTS")) +
                       ": the device refused data frame 2 of 4 (bytes 256 to 511) — the device "
                       "is half-programmed and does not start until it is programmed again: "
                       "reconnect it and start the update again."))
        << flow.LastCause();
    EXPECT_FALSE(ui.Has("hint"));
    EXPECT_FALSE(ui.Has("sleep 3000"));
    EXPECT_EQ(ui.ControlsAt(""), Idle);
}

TEST_F(WorkflowTest, CommandLineOnlyReportsANewTool) {
    StartDevice();
    StartServer({}, ReadFileBytes(KESTREL_PATH_FAKE_TOOL));
    TWorkflowOptions options;
    options.replaceTool = false;
    options.executablePath = work / "kestrel";
    TWorkflow flow(ui, deviceLink, serverLink, options);
    EXPECT_EQ(flow.Start(), TWorkflowResult::NewToolAvailable);
    EXPECT_EQ(flow.LastRequest().UPType, RequestKind::Tool);
    EXPECT_FALSE(ui.Has("terminate"));
    EXPECT_FALSE(ui.Has("hint"));
    EXPECT_EQ(ui.ControlsAt(""), Idle);
    EXPECT_EQ(fs::directory_iterator(work.Path()), fs::directory_iterator());
}

TEST_F(WorkflowTest, NewToolReplacesTheExecutableAndRestartsWithAG) {
    StartDevice();
    // Signed: the installed executable is the signed file, without the trailer it came with.
    const std::string newTool = ReadFileBytes(KESTREL_PATH_FAKE_TOOL);
    StartServerWithSignedTool(newTool);
    // The running "tool" is a stand-in process in a folder of its own.
    const std::string exe = work / "Kestrel tool";
    WriteFileBytes(exe, "#!/bin/sh\nwhile :; do sleep 1; done\n");
    fs::permissions(exe, fs::perms::owner_all);
    ChildProcess oldTool({exe});
    const std::string log = work / "restart.txt";
    setenv("KESTREL_FAKE_TOOL_LOG", log.c_str(), 1);

    TWorkflowOptions options = Keyed();
    options.executablePath = exe;
    options.waitPid = oldTool.Pid();
    TWorkflow flow(ui, deviceLink, serverLink, options);
    EXPECT_EQ(flow.Start(), TWorkflowResult::ToolReplaced);
    EXPECT_EQ(flow.LastSigner().rfind("key " + TestKeyId("trusted") + ", trusted comment: ", 0), 0u)
        << flow.LastSigner();
    EXPECT_TRUE(ui.Has("terminate"));
    EXPECT_EQ(ui.ControlsAt(""), Idle);
    EXPECT_FALSE(ui.Has("hint"));
    EXPECT_EQ(ReadFileBytes(BackupPath(exe)), newTool);

    oldTool.Stop();
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(log); }));
    EXPECT_EQ(ReadFileBytes(log), "AG\n");
    EXPECT_EQ(ReadFileBytes(exe), newTool);
    EXPECT_TRUE(WaitUntil([&] { return !fs::exists(exe + ".update.sh"); }));
    EXPECT_FALSE(fs::exists(BackupPath(exe)));
    unsetenv("KESTREL_FAKE_TOOL_LOG");
}

// A server that is not the maker's (or a changed file on the maker's server) offers a tool
// without a valid signature, or a build without keys is offered one: nothing is written or run,
// and the tool keeps running.
TEST_F(WorkflowTest, ToolWithoutAValidSignatureIsNeverWrittenNorRun) {
    StartDevice();
    const std::string tool = ReadFileBytes(KESTREL_PATH_FAKE_TOOL);
    std::string changed = tool;
    changed[changed.size() / 2] ^= 0x01;
    const std::string statement = ToolStatement("1.5");
    struct Attack {
        const char* what;
        TServerSetup setup;
        std::string cause;
        bool keyed = true;
    } attacks[] = {
        {"unsigned", {.firmware = firmware, .tool = tool}, "not signed"},
        // The server has no --pubkey: it checks only that the signature is one.
        {"changed after signing",
         {.firmware = firmware,
          .tool = changed,
          .files = {{"kestrel-1.5.minisig", MinisignSignature(tool, "trusted", false, statement)}}},
         "the file changed"},
        {"signed by another key",
         {.firmware = firmware,
          .tool = tool,
          .files = {{"kestrel-1.5.minisig", MinisignSignature(tool, "other", false, statement)}}},
         "unknown key id " + TestKeyId("other")},
        {"offered to a build without keys",
         {.firmware = firmware, .tool = tool},
         "this build of Kestrel trusts no signing key",
         false},
    };
    // The tool's trial run would leave this mark.
    const std::string ran = work / "ran";
    setenv("KESTREL_FAKE_TOOL_RAN", ran.c_str(), 1);
    for (const Attack& attack : attacks) {
        SCOPED_TRACE(attack.what);
        server.reset(); // its end clears KESTREL_UPDATE_HOST
        server = std::make_unique<TUpgradeServer>(attack.setup);
        FakeUI attacked;
        TDeviceLink attackedDevice(attacked);
        TServerLink attackedServer(tcp, attacked);
        const std::string exe = work / "kestrel";
        WriteFileBytes(exe, "old");
        TWorkflowOptions options = Keyed();
        if (!attack.keyed)
            options.updateKeys.clear();
        options.executablePath = exe;
        options.waitPid = 1;
        TWorkflow flow(attacked, attackedDevice, attackedServer, options);
        EXPECT_EQ(flow.Start(), TWorkflowResult::SignatureRefused);
        const std::string& cause = flow.LastCause();
        EXPECT_EQ(cause.rfind("The new tool was not installed: ", 0), 0u) << cause;
        EXPECT_NE(cause.find(attack.cause), std::string::npos) << cause;
        EXPECT_TRUE(attacked.Has("cause " + cause));
        EXPECT_EQ(attacked.LastStatus(), WorkflowText::UnknownError);
        EXPECT_FALSE(attacked.Has("terminate"));
        EXPECT_EQ(attacked.ControlsAt(""), Idle);
        EXPECT_EQ(ReadFileBytes(exe), "old");
        EXPECT_FALSE(fs::exists(BackupPath(exe)));
        EXPECT_FALSE(fs::exists(exe + ".update.sh"));
        EXPECT_FALSE(fs::exists(ran)) << "the offered tool was run";
        EXPECT_TRUE(flow.LastSigner().empty());
    }
    unsetenv("KESTREL_FAKE_TOOL_RAN");
}

// Installed by a package manager: a new tool is announced, never written or run.
TEST_F(WorkflowTest, APackagedToolOnlyAnnouncesANewTool) {
    StartDevice();
    StartServer({}, ReadFileBytes(KESTREL_PATH_FAKE_TOOL));
    const std::string ran = work / "ran";
    setenv("KESTREL_FAKE_TOOL_RAN", ran.c_str(), 1);
    const std::string exe = work / "kestrel";
    WriteFileBytes(exe, "old");
    TWorkflowOptions options;
    options.forPackageManager = true;
    options.executablePath = exe;
    options.waitPid = 1;
    TWorkflow flow(ui, deviceLink, serverLink, options);
    EXPECT_EQ(flow.Start(), TWorkflowResult::NewToolAvailable);
    unsetenv("KESTREL_FAKE_TOOL_RAN");
    EXPECT_EQ(ui.LastStatus(), WorkflowText::NewToolFromSystem);
    EXPECT_NE(flow.LastCause().find("Version 1.5 of the tool is available"), std::string::npos)
        << flow.LastCause();
    EXPECT_FALSE(ui.Has("terminate"));
    EXPECT_TRUE(std::none_of(ui.Calls().begin(), ui.Calls().end(),
                             [](const std::string& c) { return c.rfind("error ", 0) == 0; }));
    EXPECT_EQ(ui.ControlsAt(""), Idle);
    EXPECT_FALSE(fs::exists(ran)) << "the offered tool was run";
    EXPECT_EQ(ReadFileBytes(exe), "old");
    EXPECT_FALSE(fs::exists(BackupPath(exe)));
    EXPECT_FALSE(fs::exists(exe + ".update.sh"));
}

TEST_F(WorkflowTest, SignedFirmwareIsProgrammedWithoutItsTrailer) {
    StartDevice();
    server = std::make_unique<TUpgradeServer>(TServerSetup{
        .firmware = firmware,
        .files = {{"qx40-1.21.bin.minisig", MinisignSignature(firmware, "trusted", /*legacy=*/true,
                                                              FirmwareStatement("1.21"))}},
        .args = {"--pubkey", TestKeyFile("trusted", ".pub")}});
    TWorkflow flow(ui, deviceLink, serverLink, Keyed());
    EXPECT_EQ(flow.Start(), TWorkflowResult::FirmwareApplied);
    EXPECT_NE(flow.LastSigner().find(TestKeyId("trusted")), std::string::npos);
    ASSERT_TRUE(device->WaitForLine("image written"));
    EXPECT_EQ(ReadFileBytes(programmed), firmware + std::string(24, '\xFF'));
}

TEST_F(WorkflowTest, UnsignedFirmwareIsRefusedBeforeTheDeviceIsTouched) {
    StartDevice();
    server = std::make_unique<TUpgradeServer>(TServerSetup{.firmware = firmware});
    TWorkflow flow(ui, deviceLink, serverLink, Keyed());
    EXPECT_EQ(flow.Start(), TWorkflowResult::SignatureRefused);
    EXPECT_EQ(
        flow.LastCause().rfind("The firmware was not programmed: the update is not signed", 0), 0u)
        << flow.LastCause();
    EXPECT_EQ(ui.LastStatus(), WorkflowText::UnknownError);
    EXPECT_FALSE(ui.Has(StatusProgramming));
    EXPECT_FALSE(ui.Has("hint"));
    EXPECT_EQ(ui.ControlsAt(""), Idle);
    EXPECT_FALSE(fs::exists(programmed));
}

TEST_F(WorkflowTest, ToolImageThatCannotRunIsRefused) {
    StartDevice();
    StartServer({}, "MZ this is no program for this machine");
    const std::string exe = work / "kestrel";
    WriteFileBytes(exe, "old");
    TWorkflowOptions options;
    options.executablePath = exe;
    options.waitPid = 1;
    TWorkflow flow(ui, deviceLink, serverLink, options);
    EXPECT_EQ(flow.Start(), TWorkflowResult::ToolRefused);
    EXPECT_EQ(ui.LastStatus(), WorkflowText::UnknownError);
    EXPECT_FALSE(ui.Has("terminate"));
    EXPECT_EQ(ui.ControlsAt(""), Idle);
    EXPECT_EQ(ReadFileBytes(exe), "old");
    EXPECT_FALSE(fs::exists(BackupPath(exe)));
}

TEST_F(WorkflowTest, StopButtonCancelsAStalledExchange) {
    StartDevice();
    StartServer({"stall-at:length"});
    TWorkflow flow(ui, deviceLink, serverLink);
    bool cancelled = false;
    std::optional<std::chrono::steady_clock::time_point> cancelledAt;
    ui.onProcessMessages = [&] {
        // The server has taken the announcement and stalls: the user gives up.
        if (!cancelledAt && flow.Phase() == TWorkflowPhase::Transferring) {
            EXPECT_EQ(ui.ControlsAt(""), "start 0 stop 1 busy 1");
            cancelledAt = std::chrono::steady_clock::now();
            cancelled = flow.Cancel();
        }
    };
    EXPECT_EQ(flow.Start(), TWorkflowResult::Cancelled);
    ASSERT_TRUE(cancelledAt);
    EXPECT_LT(std::chrono::steady_clock::now() - *cancelledAt, CancelBound);
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(flow.LastCode(), kResultCancelled);
    EXPECT_EQ(ui.LastStatus().substr(ui.LastStatus().size() - 2), "23");
    EXPECT_FALSE(ui.Has("terminate"));
    EXPECT_EQ(ui.ControlsAt(""), Idle);
    // Outside an exchange the stop button does nothing.
    EXPECT_FALSE(flow.Cancel());
}

TEST_F(WorkflowTest, ClosingDuringTheExchangeCancelsItAndEndsTheProgram) {
    StartDevice();
    StartServer({"stall-at:values"});
    TWorkflow flow(ui, deviceLink, serverLink);
    bool closeAnswer = true;
    std::optional<std::chrono::steady_clock::time_point> closedAt;
    ui.onProcessMessages = [&] {
        if (closeAnswer && ui.Has("status 升级进行中请等待")) {
            closedAt = std::chrono::steady_clock::now();
            closeAnswer = flow.RequestClose();
        }
    };
    EXPECT_EQ(flow.Start(), TWorkflowResult::Cancelled);
    ASSERT_TRUE(closedAt);
    EXPECT_LT(std::chrono::steady_clock::now() - *closedAt, CancelBound);
    EXPECT_FALSE(closeAnswer);
    EXPECT_EQ(ui.Calls().back(), "terminate");
    EXPECT_FALSE(ui.Has("sleep 3000"));
    EXPECT_TRUE(flow.RequestClose()); // idle now: close at once
}

TEST_F(WorkflowTest, ClosingDuringDiscoveryLetsItFinishAndStartsNothingElse) {
    StartDevice();
    StartServer();
    TWorkflow flow(ui, deviceLink, serverLink);
    bool closeAnswer = true;
    ui.onProcessMessages = [&] {
        if (closeAnswer && flow.Phase() == TWorkflowPhase::Connecting)
            closeAnswer = flow.RequestClose();
    };
    EXPECT_EQ(flow.Start(), TWorkflowResult::Cancelled);
    EXPECT_FALSE(closeAnswer);
    EXPECT_TRUE(ui.Has(StatusConnected)); // discovery ran to its end
    EXPECT_FALSE(ui.Has("status 升级开始："));
    EXPECT_EQ(ui.Calls().back(), "terminate");
    EXPECT_EQ(ui.ControlsAt("terminate"), Idle);
}

TEST_F(WorkflowTest, ClosingDuringProgrammingNeverInterruptsIt) {
    StartDevice();
    StartServer();
    TWorkflow flow(ui, deviceLink, serverLink);
    bool closeAnswer = true;
    ui.onProcessMessages = [&] {
        if (closeAnswer && flow.Phase() == TWorkflowPhase::Applying)
            closeAnswer = flow.RequestClose();
    };
    EXPECT_EQ(flow.Start(), TWorkflowResult::FirmwareApplied);
    EXPECT_FALSE(closeAnswer);
    ASSERT_TRUE(device->WaitForLine("image written"));
    EXPECT_EQ(ReadFileBytes(programmed), firmware + std::string(24, '\xFF'));
    EXPECT_TRUE(ui.Has(std::string("status ") + WorkflowText::ProgrammingDone));
    EXPECT_FALSE(ui.Has("hint"));
    EXPECT_FALSE(ui.Has("sleep 3000"));
    EXPECT_EQ(ui.Calls().back(), "terminate");
}
