// The device link against simulated QX40 devices on pseudo-terminals: discovery across port
// numbers, identification, programming, and every way the device can misbehave.
#include "DeviceLink.h"
#include "RecordingBar.h"
#include "SimHarness.h"

#include <gtest/gtest.h>

namespace {

class DeviceLinkSim : public ::testing::Test {
protected:
    // The state ConnectDevice leaves for the programming transfer, without its 3 s pause.
    void AsIfConnected(const std::string& path, const std::string& devId = "A2C4E6G8") {
        link.IOPack.ComID = {.path = path, .number = 1};
        link.IOPack.Baud = DeviceBaud;
        link.IOPack.DevID = devId;
        link.IOPack.TypeText = "QX401.20B";
    }

    bool Download(const std::string& image, TProgressBar* bar = nullptr) {
        TMemoryStream stream;
        stream.Write(reinterpret_cast<const uint8_t*>(image.data()), image.size());
        return link.DownloadFirmware(bar, "QX40", stream, int32_t(image.size()), 0, 3);
    }

    // After every operation the port is closed: nothing of this process holds the device.
    static void ExpectPortReleased(const std::string& path) {
        EXPECT_FALSE(HeldOpenHere(path));
        EXPECT_TRUE(Lockable(path));
    }

    TNullWindowLink window;
    TDeviceLink link{window};
};

TEST_F(DeviceLinkSim, IdentifiesDeviceOnPort1WithControlBytesIntact) {
    // Identity bytes that a terminal in cooked mode would translate or swallow (CR, XON, XOFF,
    // ^C), and counters whose bytes are all different, to pin the byte order.
    TSimDevice sim({"--cid", "0D111303", "--dev-id", "Z9y8X7w6", "--type-text", "QX402.05C",
                    "--count1", "1193046", "--count2", "11259375", "--use-count", "66051"});
    SetPorts(sim.Path());
    ASSERT_TRUE(link.ConnectDevice());
    EXPECT_EQ(link.IOPack.ComID.number, 1);
    EXPECT_EQ(link.IOPack.Baud, 500000);
    EXPECT_EQ(link.IOPack.TypeText, "QX402.05C");
    EXPECT_EQ(link.IOPack.DevID, "Z9y8X7w6");
    EXPECT_EQ(link.IOPack.CID, (std::array<uint8_t, 4>{0x0D, 0x11, 0x13, 0x03}));
    EXPECT_EQ(link.IOPack.Count1, 0x010203); // the use counter replaces the first 0xC2 counter
    EXPECT_EQ(link.IOPack.Count2, 0xABCDEF);
    ASSERT_TRUE(sim.WaitFor("key exchange: key"));
    ExpectPortReleased(sim.Path());
}

TEST_F(DeviceLinkSim, FindsDeviceOnPort4BehindSilentWrongAndMissingPorts) {
    TSimDevice silent({"--silent", "01"});
    TSimDevice wrong({"--probe-ack", "12"});
    TSimDevice good;
    SetPorts(PortList({silent.Path(), wrong.Path(), "/dev/kestrel-no-such-port", good.Path()}));
    ASSERT_TRUE(link.ConnectDevice());
    EXPECT_EQ(link.IOPack.ComID.number, 4);
    EXPECT_EQ(link.IOPack.DevID, "A2C4E6G8");
    EXPECT_TRUE(silent.WaitFor("command 01: staying silent"));
    EXPECT_TRUE(wrong.WaitFor("probe: answering 12"));
    EXPECT_TRUE(good.WaitFor("command CA"));
    for (const auto& path : {silent.Path(), wrong.Path(), good.Path()})
        EXPECT_FALSE(HeldOpenHere(path)) << path;
}

TEST_F(DeviceLinkSim, DeviceOnPort256IsFoundAndProgrammed) {
    TempDir dir;
    TSimDevice sim({"--image-out", dir / "image.bin"});
    SetPorts(PortListAt(256, sim.Path())); // 255 empty entries before it
    ASSERT_TRUE(link.ConnectDevice());
    EXPECT_EQ(link.IOPack.ComID.number, 256);
    ExpectPortReleased(sim.Path());

    std::string image = TestImage(1000);
    TRecordingBar bar;
    ASSERT_TRUE(Download(image, &bar));
    ASSERT_TRUE(sim.WaitFor("image written: 1024 bytes"));
    EXPECT_EQ(ReadFileBytes(dir / "image.bin"), Filled(image, 512));
    EXPECT_EQ(bar.maxima, std::vector<int>{1024});
    EXPECT_EQ(bar.positions, (std::vector<int>{0, 256, 512, 768, 1024}));
    ExpectPortReleased(sim.Path());
}

TEST_F(DeviceLinkSim, ProbeAnswerDecodingTo14IsAccepted) {
    TSimDevice sim({"--probe-ack", "14"});
    SetPorts(PortList({"", sim.Path()}));
    ASSERT_TRUE(link.ConnectDevice());
    EXPECT_EQ(link.IOPack.ComID.number, 2);
}

TEST_F(DeviceLinkSim, SilentCountersQueryIsTolerated) {
    TSimDevice sim({"--silent", "C2", "--use-count", "4242", "--count2", "77"});
    SetPorts(sim.Path());
    ASSERT_TRUE(link.ConnectDevice());
    EXPECT_EQ(link.IOPack.Count1, 4242);
    EXPECT_EQ(link.IOPack.Count2, 0);
    EXPECT_EQ(link.IOPack.DevID, "A2C4E6G8");
    ExpectPortReleased(sim.Path());
}

TEST_F(DeviceLinkSim, SilentIdentityQueryFailsWithEmptyIdentity) {
    TSimDevice sim({"--silent", "C9"});
    SetPorts(sim.Path());
    link.IOPack.DevID = "OLDVALUE";
    EXPECT_FALSE(link.ConnectDevice());
    EXPECT_EQ(link.IOPack.DevID, "");
    EXPECT_TRUE(sim.WaitFor("command C9: staying silent"));
    ExpectPortReleased(sim.Path());
}

TEST_F(DeviceLinkSim, RefusedKeyFails) {
    TSimDevice sim({"--refuse-key"});
    SetPorts(sim.Path());
    EXPECT_FALSE(link.ConnectDevice());
    EXPECT_TRUE(sim.WaitFor("refused"));
    ExpectPortReleased(sim.Path());
}

TEST_F(DeviceLinkSim, WrongSumOnUseCounterFails) {
    TSimDevice sim({"--bad-sum", "CA"});
    SetPorts(sim.Path());
    EXPECT_FALSE(link.ConnectDevice());
    EXPECT_TRUE(sim.WaitFor("command CA: replying with a wrong sum"));
    ExpectPortReleased(sim.Path());
}

TEST_F(DeviceLinkSim, SecondRunUsesFirstPortWhenScanFindsNothing) {
    TSimDevice sim;
    SetPorts(PortList({"", sim.Path()}));
    ASSERT_TRUE(link.ConnectDevice());
    ASSERT_EQ(link.IOPack.ComID.number, 2);
    // The device answers the probe under key 0; the host decodes it with the key of the last
    // session, so with a key whose low nibble is not 0 the scan finds nothing.
    link.IOPack.Key = 0x35;
    EXPECT_EQ(link.ScanCom().kind, TDeviceFailureKind::NoPortAnswered);
    EXPECT_EQ(link.IOPack.ComID.number, 2);
    link.IOPack.DevID.clear();
    EXPECT_TRUE(link.ConnectDevice());
    EXPECT_EQ(link.IOPack.ComID.number, 2);
    EXPECT_EQ(link.IOPack.DevID, "A2C4E6G8");

    // Once the device is gone the same run fails cleanly.
    std::string path = sim.Path();
    sim.Process().Stop();
    link.IOPack.Key = 0x35;
    EXPECT_FALSE(link.ConnectDevice());
    EXPECT_EQ(link.IOPack.ComID.number, 2);
    EXPECT_FALSE(HeldOpenHere(path));
}

TEST_F(DeviceLinkSim, ProgramsHundredKibImage) {
    TempDir dir;
    TSimDevice sim({"--image-out", dir / "image.bin", "--cid", "0D111303"});
    AsIfConnected(sim.Path());
    std::string image = TestImage(size_t{100} * 1024);
    TRecordingBar bar;
    ASSERT_TRUE(Download(image, &bar));
    ASSERT_TRUE(sim.WaitFor("image written: 102400 bytes"));
    EXPECT_EQ(ReadFileBytes(dir / "image.bin"), Filled(image, 512));
    EXPECT_EQ(bar.maxima, std::vector<int>{102400});
    EXPECT_EQ(bar.positions.size(), 401u);
    EXPECT_EQ(bar.positions.back(), 102400);
    // The programming run refreshes the identity bytes.
    EXPECT_EQ(link.IOPack.CID, (std::array<uint8_t, 4>{0x0D, 0x11, 0x13, 0x03}));
    ExpectPortReleased(sim.Path());
}

// Frames written before a close reach the device even when the port is opened again at once,
// as on a serial line, whose close lets the output drain.
TEST_F(DeviceLinkSim, FramesBeforeCloseSurviveImmediateReopen) {
    TSimDevice sim;
    AsIfConnected(sim.Path());
    constexpr int kRounds = 100;
    std::array<uint8_t, 12> reply{};
    TComPort port(window);
    for (int i = 0; i < kRounds; ++i) {
        ASSERT_TRUE(port.OpenCom(sim.Path(), DeviceBaud));
        ASSERT_EQ(link.SendCmd(port, TFrame{Command::Reset}, reply), TDeviceFailureKind::None);
        ASSERT_TRUE(port.CloseCom());
    }
    // Answered only once everything before it was taken apart.
    ASSERT_TRUE(port.OpenCom(sim.Path(), DeviceBaud));
    const TFrame key{Command::KeyExchange, 'A', '2', 'C', '4', 'E', '6', 'G', '8', 0};
    link.IOPack.Key = 0;
    ASSERT_EQ(link.SendCmd(port, key, reply), TDeviceFailureKind::None);
    EXPECT_TRUE(port.CloseCom());
    int seen = 0;
    while (auto line = sim.Process().ReadLine(std::chrono::seconds(30))) {
        if (line->find("key exchange") != std::string::npos)
            break;
        seen += line->find("command 0B") != std::string::npos;
    }
    EXPECT_EQ(seen, kRounds);
}

// A misbehaving device during programming: the download fails, the port is closed, and the
// next attempt starts again from the start command.
struct TDownloadFault {
    const char* name;
    std::vector<std::string> args;
    const char* logged;    // what the simulator reports on the fault
    const char* abandoned; // what it reports when the next attempt starts; empty: unplugged
};

class DownloadFault : public DeviceLinkSim, public ::testing::WithParamInterface<TDownloadFault> {};

TEST_P(DownloadFault, FailsAndReleasesPort) {
    const TDownloadFault& fault = GetParam();
    TSimDevice sim(fault.args);
    AsIfConnected(sim.Path());
    std::string image = TestImage(size_t{5} * 256);
    EXPECT_FALSE(Download(image));
    EXPECT_TRUE(sim.WaitFor(fault.logged));
    ExpectPortReleased(sim.Path());
    if (*fault.abandoned) {
        // Nothing was sent after the failed frame: the next run's start reports exactly
        // how far the previous one got.
        EXPECT_FALSE(Download(image));
        EXPECT_TRUE(sim.WaitFor(fault.abandoned));
        ExpectPortReleased(sim.Path());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DownloadFault,
    ::testing::Values(
        TDownloadFault{"BadAck",
                       {"--bad-ack", "3"},
                       "data frame 3: wrong acknowledgement",
                       "abandoned after 3 data frames"},
        TDownloadFault{"DoubleAck",
                       {"--double-ack", "2"},
                       "data frame 2: two acknowledgements",
                       "abandoned after 2 data frames"},
        TDownloadFault{"Unplug", {"--unplug-after", "2"}, "unplugged after data frame 2", ""},
        TDownloadFault{"SilentStart", {"--silent", "02"}, "command 02: staying silent", ""},
        TDownloadFault{"RefusedKey", {"--refuse-key"}, "refused", ""},
        TDownloadFault{"WrongIdentity", {"--dev-id", "OTHERDEV"}, "unknown identity", ""}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(DeviceLinkSim, LineRateProgrammingTakesAtLeastTheLineTime) {
    TSimDevice sim({"--line-rate"});
    AsIfConnected(sim.Path());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Download(TestImage(size_t{128} * 256)));
    // 128 frames of 260 bytes and their one-byte answers at 20 us per byte.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(128 * 261 * 20));
}

} // namespace
