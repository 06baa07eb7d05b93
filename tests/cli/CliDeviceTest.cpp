// kestrel-cli identify and flash as a process against simulated devices.
#include "Signing.h"
#include "SimHarness.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

const std::string ConnectFailed = "设备连接失败，请检查USB或电源连接！";
const std::string UpdateDone = "软件更新成功！";
const std::string DownloadFailed = "程序下载失败！请检查电源或USB连接问题后重新尝试。";

TRun RunCli(std::vector<std::string> args, const std::string& ports,
            const std::string& program = KESTREL_PATH_KESTREL_CLI) {
    args.insert(args.begin(), program);
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

// A file with a signature trailer: checked with the keys built in (refused before the device is
// looked for when the signature is not valid) and programmed without its trailer.
TEST(KestrelCli, FlashChecksASignatureTrailer) {
    TempDir dir;
    TSimDevice sim({"--image-out", dir / "stored.bin"});
    const std::string image = TestImage(3000);
    const std::string signature = MinisignSignature(image);
    WriteFileBytes(dir / "signed.bin", SignedPayload(image, signature));
    std::string changed = image;
    changed[0] ^= 0x01;
    WriteFileBytes(dir / "changed.bin", SignedPayload(changed, signature));

    TRun refused =
        RunCli({"flash", dir / "changed.bin"}, sim.Path(), KESTREL_PATH_KESTREL_CLI_KEYED);
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err, "kestrel-cli flash: " + dir / "changed.bin" +
                               " is refused: the file changed or the signature is of another "
                               "file (key id " +
                               TestKeyId("trusted") + ")\n");
    EXPECT_EQ(refused.out, "");

    TRun keyed = RunCli({"flash", dir / "signed.bin"}, sim.Path(), KESTREL_PATH_KESTREL_CLI_KEYED);
    EXPECT_EQ(keyed.status, 0) << keyed.err;
    EXPECT_EQ(keyed.err, "kestrel-cli flash: " + dir / "signed.bin" + " is signed by key " +
                             TestKeyId("trusted") + ", trusted comment: signed by the tests\n");
    ASSERT_TRUE(sim.WaitFor("image written: 3072 bytes"));
    EXPECT_EQ(ReadFileBytes(dir / "stored.bin"), Filled(image, 512));

    // Without keys the trailer is only removed.
    std::remove((dir / "stored.bin").c_str());
    TRun plain = RunCli({"flash", dir / "signed.bin"}, sim.Path());
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_NE(plain.err.find("Updates are not verified"), std::string::npos) << plain.err;
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
