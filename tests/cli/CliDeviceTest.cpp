// kestrel-cli identify and flash as a process against simulated devices.
#include "SimHarness.h"

#include <gtest/gtest.h>

namespace {

const std::string ConnectFailed = "设备连接失败，请检查USB或电源连接！";
const std::string UpdateDone = "软件更新成功！";
const std::string DownloadFailed = "程序下载失败！请检查电源或USB连接问题后重新尝试。";

TRun RunCli(std::vector<std::string> args, const std::string& ports) {
    args.insert(args.begin(), KESTREL_PATH_KESTREL_CLI);
    ChildProcess cli(args, {"KESTREL_PORTS=" + ports}, true);
    return Finish(cli);
}

TEST(KestrelCli, IdentifyPrintsTheDevice) {
    TSimDevice sim({"--cid", "0D111303", "--type-text", "QX401.31A", "--dev-id", "K1L2M3N4",
                    "--use-count", "321", "--count2", "99"});
    TRun run = RunCli({"identify"}, PortList({"", "", sim.Path()}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("port: 3 (com3, " + sim.Path() + ")"), std::string::npos) << run.out;
    for (const char* expected :
         {"device type: QX40\n", "software version: 1.31\n", "hardware version: A\n",
          "device identity: K1L2M3N4\n", "identity bytes: 0D 11 13 03\n", "use counter: 321\n",
          "second counter: 99\n"})
        EXPECT_NE(run.out.find(expected), std::string::npos) << expected << run.out;
    EXPECT_EQ(run.err, ""); // standard error is no terminal: no progress or status lines
}

TEST(KestrelCli, IdentifyWithoutDeviceFails) {
    TSimDevice mute({"--silent", "01"});
    TRun run = RunCli({"identify"}, PortList({"/dev/kestrel-no-such-port", mute.Path()}));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, ConnectFailed + "\n");
    EXPECT_EQ(run.out, "");
}

TEST(KestrelCli, FlashProgramsTheImage) {
    TempDir dir;
    TSimDevice sim({"--image-out", dir / "stored.bin"});
    std::string image = TestImage(3000);
    WriteFileBytes(dir / "fw.bin", image);
    TRun run = RunCli({"flash", dir / "fw.bin"}, sim.Path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, UpdateDone + "\n");
    ASSERT_TRUE(sim.WaitFor("image written: 3072 bytes"));
    EXPECT_EQ(ReadFileBytes(dir / "stored.bin"), Filled(image, 512));
}

TEST(KestrelCli, FlashFailsOnRejectedFrame) {
    TempDir dir;
    TSimDevice sim({"--bad-ack", "2"});
    WriteFileBytes(dir / "fw.bin", TestImage(2000));
    TRun run = RunCli({"flash", dir / "fw.bin"}, sim.Path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, DownloadFailed + "\n");
    EXPECT_EQ(run.out, "");
}

TEST(KestrelCli, VersionIsAnsweredWithoutLookingForTheDevice) {
    TRun run = RunCli({"--version"}, "/dev/kestrel-no-such-port");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, std::string("kestrel-cli ") + KESTREL_VERSION + "\n");
    EXPECT_EQ(run.err, "");
}

TEST(KestrelCli, FlashWithoutDeviceOrImage) {
    TempDir dir;
    WriteFileBytes(dir / "fw.bin", TestImage(100));
    TRun noDevice = RunCli({"flash", dir / "fw.bin"}, "/dev/kestrel-no-such-port");
    EXPECT_EQ(noDevice.status, 1);
    EXPECT_EQ(noDevice.err, ConnectFailed + "\n");

    // A missing or empty image is refused before the device is looked for.
    WriteFileBytes(dir / "empty.bin", "");
    for (const std::string& file : {dir / "missing.bin", dir / "empty.bin"}) {
        TRun run = RunCli({"flash", file}, "/dev/kestrel-no-such-port");
        EXPECT_EQ(run.status, 2) << file;
        EXPECT_NE(run.err.find(file), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find(ConnectFailed), std::string::npos);
    }
    EXPECT_EQ(RunCli({"flash"}, "").status, 2);
    EXPECT_EQ(RunCli({"frobnicate"}, "").status, 2);
}

} // namespace
