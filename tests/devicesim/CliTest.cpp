// kestrel-cli as a process against simulated devices, and its terminal progress bar.
#include "SimHarness.h"
#include "TerminalWindow.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace {

const std::string ConnectFailed = "设备连接失败，请检查USB或电源连接！";
const std::string UpdateDone = "软件更新成功！";
const std::string DownloadFailed = "程序下载失败！请检查电源或USB连接问题后重新尝试。";

struct TCliRun {
    int status = -1;
    std::string out;
    std::string err;
};

TCliRun RunCli(std::vector<std::string> args, const std::string& ports) {
    args.insert(args.begin(), KESTREL_PATH_KESTREL_CLI);
    ChildProcess cli(args, {"KESTREL_PORTS=" + ports}, true);
    TCliRun run;
    while (auto line = cli.ReadLine(std::chrono::seconds(120)))
        run.out += *line + "\n";
    run.status = cli.Wait(std::chrono::seconds(120)).value_or(-1);
    run.err = cli.Stderr();
    return run;
}

TEST(KestrelCli, IdentifyPrintsTheDevice) {
    TSimDevice sim({"--cid", "0D111303", "--type-text", "QX401.31A", "--dev-id", "K1L2M3N4",
                    "--use-count", "321", "--count2", "99"});
    TCliRun run = RunCli({"identify"}, PortList({"", "", sim.Path()}));
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
    TCliRun run = RunCli({"identify"}, PortList({"/dev/kestrel-no-such-port", mute.Path()}));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, ConnectFailed + "\n");
    EXPECT_EQ(run.out, "");
}

TEST(KestrelCli, FlashProgramsTheImage) {
    TempDir dir;
    TSimDevice sim({"--image-out", dir / "stored.bin"});
    std::string image = TestImage(3000);
    WriteFileBytes(dir / "fw.bin", image);
    TCliRun run = RunCli({"flash", dir / "fw.bin"}, sim.Path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, UpdateDone + "\n");
    ASSERT_TRUE(sim.WaitFor("image written: 3072 bytes"));
    EXPECT_EQ(ReadFileBytes(dir / "stored.bin"), Filled(image, 512));
}

TEST(KestrelCli, FlashFailsOnRejectedFrame) {
    TempDir dir;
    TSimDevice sim({"--bad-ack", "2"});
    WriteFileBytes(dir / "fw.bin", TestImage(2000));
    TCliRun run = RunCli({"flash", dir / "fw.bin"}, sim.Path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, DownloadFailed + "\n");
    EXPECT_EQ(run.out, "");
}

TEST(KestrelCli, FlashWithoutDeviceOrImage) {
    TempDir dir;
    WriteFileBytes(dir / "fw.bin", TestImage(100));
    TCliRun noDevice = RunCli({"flash", dir / "fw.bin"}, "/dev/kestrel-no-such-port");
    EXPECT_EQ(noDevice.status, 1);
    EXPECT_EQ(noDevice.err, ConnectFailed + "\n");

    // A missing or empty image is refused before the device is looked for.
    WriteFileBytes(dir / "empty.bin", "");
    for (const std::string& file : {dir / "missing.bin", dir / "empty.bin"}) {
        TCliRun run = RunCli({"flash", file}, "/dev/kestrel-no-such-port");
        EXPECT_EQ(run.status, 2) << file;
        EXPECT_NE(run.err.find(file), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find(ConnectFailed), std::string::npos);
    }
    EXPECT_EQ(RunCli({"flash"}, "").status, 2);
    EXPECT_EQ(RunCli({"frobnicate"}, "").status, 2);
}

TEST(TerminalWindow, RendersBar) {
    EXPECT_EQ(TTerminalWindow::RenderBar(0, 1024, 8), "[--------]   0%");
    EXPECT_EQ(TTerminalWindow::RenderBar(512, 1024, 8), "[####----]  50%");
    EXPECT_EQ(TTerminalWindow::RenderBar(1024, 1024, 8), "[########] 100%");
    EXPECT_EQ(TTerminalWindow::RenderBar(2000, 1024, 8), "[########] 100%");
    EXPECT_EQ(TTerminalWindow::RenderBar(-5, 1024, 8), "[--------]   0%");
    EXPECT_EQ(TTerminalWindow::RenderBar(5, 0, 8), "[--------]   0%");
    // Large images: no overflow in position x width.
    EXPECT_EQ(TTerminalWindow::RenderBar(2000000000, 2000000000, 8), "[########] 100%");
}

std::string Captured(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string s;
    for (int c; (c = std::fgetc(f)) != EOF;)
        s += char(c);
    return s;
}

TEST(TerminalWindow, DrawsOnlyChangesAndEndsTheLine) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    {
        TTerminalWindow w(f, true);
        w.ShowStatus("状态");
        w.ProgressBar().SetMax(1000);
        w.ProgressBar().SetPosition(1); // same text as position 0: not drawn again
        w.ProgressBar().SetPosition(1000);
        w.ShowStatus("done");
    }
    std::string bar0 = TTerminalWindow::RenderBar(0, 1000, 40);
    std::string bar1 = TTerminalWindow::RenderBar(1000, 1000, 40);
    EXPECT_EQ(Captured(f), "状态\n\r" + bar0 + "\r" + bar1 + "\ndone\n");
    std::fclose(f);

    std::FILE* quiet = std::tmpfile();
    {
        TTerminalWindow w(quiet, false);
        w.ShowStatus("x");
        w.SetMax(10);
        w.SetPosition(5);
    }
    EXPECT_EQ(Captured(quiet), "");
    std::fclose(quiet);
}

} // namespace
