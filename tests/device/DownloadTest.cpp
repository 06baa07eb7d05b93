// Programming against a scripted device: the exact frames on the wire, filling, progress, and the
// failures that end a transfer.
#include "DeviceLink.h"
#include "PtyDevice.h"
#include "RecordingBar.h"
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>

using namespace std::chrono;

namespace {

class Download : public ::testing::Test {
protected:
    void SetUp() override {
        link.IOPack.Baud = DeviceBaud;
        link.IOPack.ComID = {.path = pty.SlavePath(), .number = 1};
        link.IOPack.DevID = config.devId;
    }
    void TearDown() override { unsetenv("KESTREL_PORTS"); }
    void Start() { device = std::make_unique<ScriptedDevice>(pty, config); }
    static TMemoryStream Image(size_t length) {
        TMemoryStream image;
        Bytes bytes(length);
        for (size_t i = 0; i < length; ++i)
            bytes[i] = static_cast<uint8_t>(i * 7 + 1);
        image.Write(bytes.data(), bytes.size());
        return image;
    }
    std::vector<Bytes> Frames() {
        EXPECT_TRUE(SyncWithDevice(*device, pty));
        return device->Frames();
    }

    PtyPair pty;
    qx40sim::TSimConfig config;
    std::unique_ptr<ScriptedDevice> device;
    TRecordingBar bar;
    TNullWindowLink window;
    TDeviceLink link{window};
};

} // namespace

TEST_F(Download, ImageOf1000BytesGoesOutInFourFilledBlocks) {
    Start();
    TMemoryStream image = Image(1000);
    ASSERT_TRUE(link.DownloadFirmware(&bar, "QX40", image, 1000, 0, 3));
    EXPECT_TRUE(OpensAsPort(pty.SlavePath())); // closed
    EXPECT_EQ(link.IOPack.PackLen, 255);
    EXPECT_EQ(bar.maxima, std::vector<int>{1024});
    EXPECT_EQ(bar.positions, (std::vector<int>{0, 256, 512, 768, 1024}));

    std::vector<Bytes> frames = Frames();
    ASSERT_EQ(Codes(frames),
              (Bytes{Command::ReadCID, Command::KeyExchange, Command::StartProgramming,
                     Command::DataFrame, Command::DataFrame, Command::DataFrame, Command::DataFrame,
                     Command::Reset}));
    EXPECT_EQ(frames[1][9], link.IOPack.Key);
    EXPECT_EQ(frames[2], (Bytes{0x02, 0, 0, 0, 0, 0, 0x35, 0, 0xFF, 0x03, 0x01, 0x39}));
    Bytes sent;
    for (size_t i = 3; i < 7; ++i) {
        const Bytes& f = frames[i];
        ASSERT_EQ(f.size(), 260u);
        EXPECT_EQ(f[1], 0xFF);
        uint16_t sum = ByteSum(f.data(), 258);
        EXPECT_EQ(f[258], sum >> 8);
        EXPECT_EQ(f[259], sum & 0xFF);
        sent.insert(sent.end(), f.begin() + 2, f.begin() + 258);
    }
    Bytes expected = image.Bytes();
    expected.resize(1024, 0xFF);
    EXPECT_EQ(sent, expected);
}

TEST_F(Download, OneByteBlocksForKindTwo) {
    Start();
    TMemoryStream image;
    image.Write(reinterpret_cast<const uint8_t*>("ABC"), 3);
    ASSERT_TRUE(link.DownloadFirmware(nullptr, "QX41", image, 3, 0x00010203, 2));
    EXPECT_EQ(link.IOPack.PackLen, 0);
    std::vector<Bytes> frames = Frames();
    ASSERT_EQ(Codes(frames),
              (Bytes{Command::ReadCID, Command::KeyExchange, Command::StartProgramming,
                     Command::DataFrame, Command::DataFrame, Command::DataFrame, Command::Reset}));
    EXPECT_EQ(Bytes(frames[2].begin(), frames[2].begin() + 10),
              (Bytes{0x02, 0x03, 0x02, 0x01, 0x00, 0, 0x00, 0, 0x00, 0x02}));
    EXPECT_EQ(frames[3], (Bytes{0x09, 0x00, 0x41, 0x00, 0x4A}));
    EXPECT_EQ(frames[5], (Bytes{0x09, 0x00, 0x43, 0x00, 0x4C}));
}

TEST_F(Download, KindOneFillsTo256AndNeedsTheQX40) {
    Start();
    TMemoryStream image = Image(300);
    ASSERT_TRUE(link.DownloadFirmware(&bar, "QX40", image, 300, 0, 1));
    EXPECT_EQ(bar.maxima, std::vector<int>{512});
    EXPECT_EQ(Codes(Frames()),
              (Bytes{Command::ReadCID, Command::KeyExchange, Command::StartProgramming,
                     Command::DataFrame, Command::DataFrame, Command::Reset}));

    EXPECT_FALSE(link.DownloadFirmware(&bar, "QX40 ", image, 300, 0, 1));
    EXPECT_TRUE(OpensAsPort(pty.SlavePath()));
    // Identity bytes and key were exchanged, then nothing more.
    EXPECT_EQ(Codes(Frames()),
              (Bytes{Command::ReadCID, Command::KeyExchange, Command::StartProgramming,
                     Command::DataFrame, Command::DataFrame, Command::Reset, Command::ReadCID,
                     Command::KeyExchange}));
}

TEST_F(Download, UnknownKindsSendNoStartCommand) {
    Start();
    TMemoryStream image = Image(512);
    EXPECT_FALSE(link.DownloadFirmware(&bar, "QX40", image, 512, 0, 0));
    EXPECT_FALSE(link.DownloadFirmware(&bar, "QX40", image, 512, 0, 5));
    EXPECT_EQ(Codes(Frames()), (Bytes{Command::ReadCID, Command::KeyExchange, Command::ReadCID,
                                      Command::KeyExchange}));
    EXPECT_TRUE(bar.positions.empty());
}

TEST_F(Download, EmptyImageIsRefusedBeforeThePortOpens) {
    Start();
    TMemoryStream image;
    for (int32_t length : {0, -5}) {
        EXPECT_FALSE(link.DownloadFirmware(&bar, "QX40", image, length, 0, 3));
        EXPECT_EQ(link.Failure().kind, TDeviceFailureKind::EmptyImage);
    }
    EXPECT_EQ(Codes(Frames()), Bytes{});
}

TEST_F(Download, TwoAcknowledgementBytesEndTheTransfer) {
    config.doubleAckAt = 1;
    Start();
    TMemoryStream image = Image(1024);
    EXPECT_FALSE(link.DownloadFirmware(&bar, "QX40", image, 1024, 0, 3));
    EXPECT_TRUE(OpensAsPort(pty.SlavePath()));
    EXPECT_EQ(Codes(Frames()), (Bytes{Command::ReadCID, Command::KeyExchange,
                                      Command::StartProgramming, Command::DataFrame}));
}

TEST_F(Download, WrongAcknowledgementsEndTheTransfer) {
    config.badAckAt = 1;
    Start();
    TMemoryStream image = Image(1024);
    EXPECT_FALSE(link.DownloadFirmware(&bar, "QX40", image, 1024, 0, 3));
    EXPECT_EQ(link.FailureCause(),
              pty.SlavePath() + ": the device refused data frame 1 of 4 (bytes 0 to 255)");
    device->Change([](qx40sim::TSimConfig& c) { // the start command refused instead
        c.badAckAt = 0;
        c.startAck = 16;
    });
    EXPECT_FALSE(link.DownloadFirmware(&bar, "QX40", image, 1024, 0, 3));
    EXPECT_EQ(link.FailureCause(), pty.SlavePath() + ": the device answered command 0x02 (start "
                                                     "programming) wrongly (bad sum or refusal)");
    EXPECT_EQ(Codes(Frames()),
              (Bytes{Command::ReadCID, Command::KeyExchange, Command::StartProgramming,
                     Command::DataFrame, Command::ReadCID, Command::KeyExchange,
                     Command::StartProgramming}));
}

TEST_F(Download, SilentDeviceFailsAfterTheAcknowledgementLimit) {
    config.silent = {Command::DataFrame};
    Start();
    TMemoryStream image = Image(512);
    auto start = steady_clock::now();
    EXPECT_FALSE(link.DownloadFirmware(&bar, "QX40", image, 512, 0, 3));
    EXPECT_GE(steady_clock::now() - start, microseconds(2'000'001));
    EXPECT_EQ(link.FailureCause(),
              pty.SlavePath() +
                  ": the device did not acknowledge data frame 1 of 2 (bytes 0 to 255)");
    EXPECT_TRUE(OpensAsPort(pty.SlavePath()));
    EXPECT_EQ(Codes(Frames()), (Bytes{Command::ReadCID, Command::KeyExchange,
                                      Command::StartProgramming, Command::DataFrame}));
}

// Programming opens the port discovery found: another device on its number by now is not
// programmed, and a device that is gone fails as such.
TEST_F(Download, ThePortDiscoveryFoundIsProgrammed) {
    Start();
    PtyPair otherPty;
    ScriptedDevice other(otherPty, config);
    SetPorts({"", pty.SlavePath()});
    ASSERT_FALSE(link.ScanCom().Failed());
    ASSERT_EQ(link.IOPack.ComID.number, 2);
    SetPorts({"", otherPty.SlavePath()});
    TMemoryStream image = Image(512);
    ASSERT_TRUE(link.DownloadFirmware(&bar, "QX40", image, 512, 0, 3));
    EXPECT_EQ(Codes(Frames()), (Bytes{Command::KeyExchange, Command::ReadCID, Command::KeyExchange,
                                      Command::StartProgramming, Command::DataFrame,
                                      Command::DataFrame, Command::Reset}));
    ASSERT_TRUE(SyncWithDevice(other, otherPty));
    EXPECT_EQ(Codes(other.Frames()), Bytes{});
}

TEST_F(Download, UnopenablePortFails) {
    link.IOPack.ComID.path = "/nonexistent/tty";
    TMemoryStream image = Image(10);
    EXPECT_FALSE(link.DownloadFirmware(&bar, "QX40", image, 10, 0, 3));
    EXPECT_EQ(link.FailureCause(), "/nonexistent/tty: the device is gone (unplugged?)");
    EXPECT_TRUE(bar.maxima.empty());
}
