// Discovery against scripted devices on pseudo-terminals: the port scan's acceptance rules, the
// identification sequence, a device on the last port number.
#include "DeviceLink.h"
#include "PtyDevice.h"
#include <cstdlib>
#include <gtest/gtest.h>

using qx40sim::TSimConfig;

namespace {

class CountingWindow : public TNullWindowLink {
public:
    void ProcessMessages() override { ++pumps; }
    int pumps = 0;
};

class Discovery : public ::testing::Test {
protected:
    void SetUp() override { link.IOPack.Baud = DeviceBaud; }
    void TearDown() override { unsetenv("KESTREL_PORTS"); }
    static TSimConfig ProbeAck(int value) {
        TSimConfig config;
        config.probeAck = value;
        return config;
    }

    CountingWindow window;
    TDeviceLink link{window};
};

} // namespace

TEST_F(Discovery, ProbeAcceptsElevenAndFourteenOnly) {
    PtyPair first, second, third;
    ScriptedDevice d1(first, ProbeAck(12)), d2(second, ProbeAck(14)), d3(third);
    SetPorts({"", first.SlavePath(), "/nonexistent", second.SlavePath(), third.SlavePath()});

    ASSERT_FALSE(link.ScanCom().Failed());
    EXPECT_EQ(link.IOPack.ComID.number, 4);
    EXPECT_EQ(link.IOPack.ComID.path, second.SlavePath());
    EXPECT_TRUE(OpensAsPort(second.SlavePath())); // the answering port was closed again
    EXPECT_GE(window.pumps, 1);                   // its waits process its own window's messages
    ASSERT_TRUE(SyncWithDevice(d1, first));
    ASSERT_TRUE(SyncWithDevice(d3, third));
    Bytes probe = {0x01, 'P', 'X', '7', '3', '9', '2', 'M', '4', 0x00, 0x01, 0xFF};
    EXPECT_EQ(d1.Frames().front(), probe);
    EXPECT_EQ(Codes(d3.Frames()), Bytes{}); // the scan stopped at the first acceptable answer
}

TEST_F(Discovery, ADeviceThatAnswersLateIsAskedAgainWhenNoPortAnswered) {
    // Past the scan's quick look of about 0.1 s, within a command's reply wait.
    PtyPair silent, slow;
    ScriptedDevice mute(silent, ProbeAck(-1));
    TSimConfig late;
    late.probeDelayMs = 400;
    ScriptedDevice device(slow, late);
    SetPorts({silent.SlavePath(), slow.SlavePath()});

    ASSERT_FALSE(link.ScanCom().Failed());
    EXPECT_EQ(link.IOPack.ComID.number, 2);
    ASSERT_TRUE(SyncWithDevice(mute, silent));
    EXPECT_EQ(Codes(mute.Frames()), (Bytes{0x01, 0x01})); // the silent port was asked again too
}

TEST_F(Discovery, FailedScanKeepsThePortOfAnEarlierRun) {
    PtyPair silent;
    ScriptedDevice device(silent, ProbeAck(-1));
    SetPorts({silent.SlavePath()});
    link.IOPack.ComID = {.path = "/dev/earlier", .number = 9};
    EXPECT_EQ(link.ScanCom().kind, TDeviceFailureKind::NoPortAnswered);
    EXPECT_EQ(link.IOPack.ComID.path, "/dev/earlier");
    EXPECT_EQ(link.IOPack.ComID.number, 9);
}

TEST_F(Discovery, DeviceOnPort256IsIdentified) {
    PtyPair pty;
    TSimConfig config;
    config.devId = "A2014567";
    config.typeText = "QX40V2.13";
    config.cid = {0x12, 0x34, 0xAB, 0xCD};
    config.count1 = 0x000102;
    config.count2 = 0x030405;
    config.useCount = 0x2A0B0C;
    ScriptedDevice device(pty, config);
    SetPortAt(256, pty.SlavePath());

    ASSERT_TRUE(link.ConnectDevice());
    EXPECT_EQ(link.IOPack.ComID.number, 256);
    EXPECT_EQ(link.IOPack.Baud, 500000);
    EXPECT_EQ(link.IOPack.DevID, "A2014567");
    EXPECT_EQ(link.IOPack.TypeText, "QX40V2.13");
    EXPECT_EQ(link.IOPack.CID, (std::array<uint8_t, 4>{0x12, 0x34, 0xAB, 0xCD}));
    EXPECT_EQ(link.IOPack.Count1, 0x2A0B0C); // from 0xCA, replacing the 0xC2 value
    EXPECT_EQ(link.IOPack.Count2, 0x030405); // bytes 5 to 7 of the 0xC2 reply, byte 4 left out
    EXPECT_LE(link.IOPack.Key, 254);
    EXPECT_TRUE(OpensAsPort(pty.SlavePath()));

    ASSERT_TRUE(SyncWithDevice(device, pty));
    std::vector<Bytes> frames = device.Frames();
    EXPECT_EQ(Codes(frames), (Bytes{0x01, 0x0B, 0xC2, 0xC4, 0xC9, 0x01, 0xC8, 0xCA, 0x0B}));
    const Bytes& keyFrame = frames[5];
    EXPECT_EQ(std::string(keyFrame.begin() + 1, keyFrame.begin() + 9), "A2014567");
    EXPECT_EQ(keyFrame[9], link.IOPack.Key); // the key acknowledged is the one kept
}

TEST_F(Discovery, SilentProbeAndCountersStillIdentifyOnTheEarlierPort) {
    PtyPair pty;
    TSimConfig config = ProbeAck(-1);
    config.silent = {0xC2};
    ScriptedDevice device(pty, config);
    SetPorts({pty.SlavePath()});
    link.IOPack.ComID = {.path = pty.SlavePath(), .number = 1}; // found by an earlier run
    link.IOPack.Count2 = 77;

    ASSERT_TRUE(link.ConnectDevice());
    EXPECT_EQ(link.IOPack.ComID.number, 1);
    EXPECT_EQ(link.IOPack.Count2, 0);
    EXPECT_EQ(link.IOPack.Count1, int32_t(config.useCount));
}

TEST_F(Discovery, RefusedKeyEndsDiscoveryWithThePortClosed) {
    PtyPair pty;
    TSimConfig config;
    config.refuseKey = true;
    ScriptedDevice device(pty, config);
    SetPorts({pty.SlavePath()});

    EXPECT_FALSE(link.ConnectDevice());
    EXPECT_EQ(link.FailureCause(), pty.SlavePath() +
                                       ": the device answered command 0x01 (key exchange) wrongly "
                                       "(bad sum or refusal)");
    EXPECT_EQ(link.IOPack.DevID, config.devId);
    ASSERT_TRUE(SyncWithDevice(device, pty));
    EXPECT_EQ(Codes(device.Frames()), (Bytes{0x01, 0x0B, 0xC2, 0xC4, 0xC9, 0x01}));
    EXPECT_TRUE(OpensAsPort(pty.SlavePath())); // closed, not leaked
}

TEST_F(Discovery, NoDeviceAnywhere) {
    SetPorts({"/nonexistent/a", "", "/nonexistent/b"});
    EXPECT_FALSE(link.ConnectDevice());
    EXPECT_EQ(link.IOPack.ComID.path, "");
    EXPECT_EQ(link.FailureCause(),
              "no device answered on ports 1 to 256 (no serial port exists: is the device "
              "plugged in?)");
    // Ports that exist are named.
    PtyPair silent;
    SetPorts({"", silent.SlavePath()});
    EXPECT_FALSE(link.ConnectDevice());
    EXPECT_EQ(link.FailureCause(), "no device answered on ports 1 to 256 (1 serial port exists: " +
                                       silent.SlavePath() + ")");
}
