// Command frames and replies on a pseudo-terminal: what goes on the wire, what is taken from the
// input queue and what is left there.
#include "DeviceLink.h"
#include "PtyDevice.h"
#include "TimeLimits.h"
#include <gtest/gtest.h>

using namespace std::chrono;

namespace {

using Kind = TDeviceFailureKind;

class Protocol : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(port.OpenCom(pty.SlavePath(), DeviceBaud)); }
    bool WaitQueued(int count) {
        auto deadline = steady_clock::now() + seconds(10);
        while (port.ComInCount() < count)
            if (steady_clock::now() > deadline ||
                !port.WaitComInput(steady_clock::now() + seconds(1), true))
                return false;
            else if (port.ComInCount() < count)
                port.DelayUs(microseconds(200), true);
        return true;
    }
    PtyPair pty;
    std::array<uint8_t, 12> reply{};
    TNullWindowLink window;
    TDeviceLink link{window};
    TComPort port{window}; // closes when the test ends
};

} // namespace

TEST_F(Protocol, UnknownCodeSendsNothingAndTheSumIsRecomputed) {
    EXPECT_EQ(link.SendCmd(port, TFrame{0x05}, reply), Kind::RefusedLength);
    // A reply longer than the caller's buffer is refused before sending, too.
    EXPECT_EQ(link.SendCmd(port, TFrame{0xD3}, reply), Kind::RefusedLength);
    TFrame reset{Command::Reset};
    reset[10] = 0xAB;
    reset[11] = 0xCD;
    ASSERT_EQ(link.SendCmd(port, reset, reply), Kind::None);
    // The first bytes on the wire are those of the later frame, with its sum.
    EXPECT_EQ(pty.Read(12), (Bytes{0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x0B}));
}

TEST_F(Protocol, CommandWithoutReplyReadsNothing) {
    pty.Write({7, 8, 9});
    ASSERT_TRUE(WaitQueued(3));
    EXPECT_EQ(link.SendCmd(port, TFrame{Command::Reset}, reply), Kind::None);
    EXPECT_EQ(port.ComInCount(), 3);
    EXPECT_EQ(pty.Read(12), (Bytes{0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x0B}));
    EXPECT_EQ(link.RecvReply(port, 0, {}), Kind::None);
}

TEST_F(Protocol, ReplyByteZeroIsNotExaminedAndExtraBytesStayQueued) {
    Bytes answer = Reply12({0x77, 1, 2, 3});
    answer.push_back(0x99);
    pty.Write(answer);
    ASSERT_TRUE(WaitQueued(13));
    ASSERT_EQ(link.RecvReply(port, 12, reply), Kind::None);
    EXPECT_EQ(Bytes(reply.begin(), reply.end()), Bytes(answer.begin(), answer.begin() + 12));
    EXPECT_EQ(port.ComInCount(), 1);
}

TEST_F(Protocol, WrongSumConsumesTheTwelveBytes) {
    Bytes answer = Reply12({0xC2, 1, 2, 3});
    answer[11] ^= 0x40;
    answer.push_back(0x55);
    answer.push_back(0x66);
    pty.Write(answer);
    ASSERT_TRUE(WaitQueued(14));
    EXPECT_EQ(link.RecvReply(port, 12, reply), Kind::BadReply);
    EXPECT_EQ(port.ComInCount(), 2);
    EXPECT_EQ(port.ReadComByte(), 0x55);
}

TEST_F(Protocol, IncompleteReplyTimesOutAndStaysQueued) {
    Bytes answer = Reply12({0xC8, 'Q', 'X'});
    answer.pop_back();
    pty.Write(answer);
    ASSERT_TRUE(WaitQueued(11));
    auto start = steady_clock::now();
    EXPECT_EQ(link.RecvReply(port, 12, reply), Kind::NoReply);
    EXPECT_GE(steady_clock::now() - start, DeviceLimits::ReplyWait);
    EXPECT_EQ(port.ComInCount(), 11);
}

TEST_F(Protocol, OneByteReplyDecodedWithTheCurrentKey) {
    link.IOPack.Key = 0x25;
    pty.Write({0xEF});
    ASSERT_TRUE(WaitQueued(1));
    EXPECT_EQ(link.RecvReply(port, 1, reply), Kind::None);
    pty.Write({0xF4}); // 11 under key 0, not under 0x25
    ASSERT_TRUE(WaitQueued(1));
    EXPECT_EQ(link.RecvReply(port, 1, reply), Kind::BadReply);
    EXPECT_EQ(port.ComInCount(), 0);
    link.IOPack.Key = 0x10;
    pty.Write({0xF4});
    ASSERT_TRUE(WaitQueued(1));
    EXPECT_EQ(link.RecvReply(port, 1, reply), Kind::None);
}

TEST_F(Protocol, LongRepliesCheckTheirTrailingSum) {
    Bytes big(260);
    for (size_t i = 0; i < 258; ++i)
        big[i] = static_cast<uint8_t>(i);
    uint16_t sum = ByteSum(big.data(), 258);
    big[258] = static_cast<uint8_t>(sum >> 8);
    big[259] = static_cast<uint8_t>(sum);
    std::array<uint8_t, 260> into{};
    pty.Write(big);
    ASSERT_TRUE(WaitQueued(260));
    EXPECT_EQ(link.RecvReply(port, 260, into), Kind::None);
    // A buffer too short is refused, nothing read.
    EXPECT_EQ(link.RecvReply(port, 260, reply), Kind::RefusedLength);
}

TEST_F(Protocol, QueryRoundTripWithADevice) {
    qx40sim::TSimConfig config;
    config.count1 = 0x010203;
    config.count2 = 0x0A0B0C;
    config.silent = {Command::ReadCID};
    ScriptedDevice device(pty, config);
    ASSERT_EQ(link.SendCmd(port, TFrame{Command::ReadCounters}, reply), Kind::None);
    EXPECT_EQ(reply[1], 0x01);
    EXPECT_EQ(reply[7], 0x0C);
    EXPECT_EQ(link.SendCmd(port, TFrame{Command::ReadCID}, reply), Kind::NoReply);
    ASSERT_TRUE(SyncWithDevice(device, pty));
    EXPECT_EQ(device.Frames().size(), 3u);
}
