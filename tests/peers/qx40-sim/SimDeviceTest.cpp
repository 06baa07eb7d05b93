// The simulated device's logic without a terminal: its answers must decode on the host side
// exactly as the device link expects, and each misbehaviour must do what its option says.
#include "ChildProcess.h"
#include "Frames.h"
#include "Qx40Device.h"
#include "SimOptions.h"

#include <gtest/gtest.h>

using namespace qx40sim;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Frame(std::initializer_list<uint8_t> head) {
    TFrame f{};
    std::copy(head.begin(), head.end(), f.begin());
    f = WithSum(f);
    return Bytes(f.begin(), f.end());
}

Bytes KeyFrame(const std::string& identity, uint8_t key) {
    Bytes f{Command::KeyExchange};
    f.insert(f.end(), identity.begin(), identity.end());
    f.push_back(key);
    TFrame t{};
    std::copy(f.begin(), f.end(), t.begin());
    t = WithSum(t);
    return Bytes(t.begin(), t.end());
}

Bytes DataFrame(const Bytes& data) {
    // 0x09, n, the n + 1 data bytes, the sum: n + 5 bytes.
    const size_t n = data.size() - 1;
    Bytes f(n + 5);
    f[0] = 0x09;
    f[1] = uint8_t(n);
    std::copy(data.begin(), data.end(), f.begin() + 2);
    uint16_t sum = ByteSum(f.data(), int32_t(n + 3));
    f[n + 3] = uint8_t(sum >> 8);
    f[n + 4] = uint8_t(sum);
    return f;
}

struct Device {
    explicit Device(TSimConfig c = {})
        : dev(std::move(c), [this](const std::string& l) { log += l + "\n"; }) {}
    // Starts a programming run of 256-byte blocks under `key`.
    void Start(uint8_t key) {
        ASSERT_EQ(dev.HandleFrame(KeyFrame("A2C4E6G8", key)).size(), 1u);
        Bytes ack = dev.HandleFrame(Frame({0x02, 0, 0, 0, 0, 0, 0x35, 0, 0xFF, 3}));
        ASSERT_EQ(ack.size(), 1u);
        ASSERT_EQ(AckValue(ack[0], key), 11);
    }
    std::string log;
    TQx40Device dev;
};

TEST(SimDevice, AcknowledgementsDecodeForEveryKeyAndValue) {
    for (int key = 0; key < 256; ++key)
        for (int value = 0; value < 256; ++value)
            ASSERT_EQ(AckValue(EncodeAck(uint8_t(value), uint8_t(key)), uint8_t(key)), value);
}

TEST(SimDevice, ProbeIsAnsweredUnderKeyZeroAndKeyExchangeUnderItsKey) {
    TSimConfig c;
    c.probeAck = 14;
    Device d(c);
    Bytes probe = d.dev.HandleFrame(KeyFrame("PX7392M4", 0));
    ASSERT_EQ(probe.size(), 1u);
    EXPECT_EQ(AckValue(probe[0], 0), 14);
    EXPECT_EQ(d.dev.Key(), 0); // the probe agrees no key

    Bytes ack = d.dev.HandleFrame(KeyFrame("A2C4E6G8", 0x25));
    ASSERT_EQ(ack, Bytes{0xEF});
    EXPECT_EQ(d.dev.Key(), 0x25);

    Bytes stranger = d.dev.HandleFrame(KeyFrame("B1B1B1B1", 0x07));
    ASSERT_EQ(stranger.size(), 1u);
    EXPECT_NE(AckValue(stranger[0], 0x07), 11);
    EXPECT_EQ(d.dev.Key(), 0x25);
}

TEST(SimDevice, RefusedKeyIsNotAdopted) {
    TSimConfig c;
    c.refuseKey = true;
    Device d(c);
    Bytes ack = d.dev.HandleFrame(KeyFrame("A2C4E6G8", 0x13));
    ASSERT_EQ(ack.size(), 1u);
    EXPECT_NE(AckValue(ack[0], 0x13), 11);
    EXPECT_EQ(d.dev.Key(), 0);
}

TEST(SimDevice, SilentProbeAndRefusedStartAsScripted) {
    TSimConfig c;
    c.probeAck = -1;
    c.startAck = 16;
    Device d(c);
    EXPECT_TRUE(d.dev.HandleFrame(KeyFrame("PX7392M4", 0)).empty());
    ASSERT_EQ(d.dev.HandleFrame(KeyFrame("A2C4E6G8", 0x31)).size(), 1u);
    Bytes refusal = d.dev.HandleFrame(Frame({0x02, 0, 0, 0, 0, 0, 0x35, 0, 0xFF, 3}));
    ASSERT_EQ(refusal.size(), 1u);
    EXPECT_EQ(AckValue(refusal[0], 0x31), 16);
    EXPECT_TRUE(d.dev.HandleFrame(DataFrame(Bytes(256))).empty()); // no run was started
    d.dev.Config().startAck = 11; // scripted anew between two frames
    d.Start(0x31);
}

TEST(SimDevice, QueriesCarryIdentityAndBigEndianCounters) {
    TSimConfig c;
    c.count1 = 0x123456;
    c.count2 = 0xABCDEF;
    c.useCount = 0x010203;
    c.cid = {0x0D, 0x11, 0x13, 0x03};
    Device d(c);
    Bytes r = d.dev.HandleFrame(Frame({Command::ReadCounters}));
    ASSERT_EQ(r.size(), 12u);
    EXPECT_TRUE(CheckSum12(r.data()));
    EXPECT_EQ(Bytes(r.begin() + 1, r.begin() + 8), (Bytes{0x12, 0x34, 0x56, 0, 0xAB, 0xCD, 0xEF}));

    r = d.dev.HandleFrame(Frame({Command::ReadUseCount}));
    EXPECT_EQ(Bytes(r.begin() + 1, r.begin() + 4), (Bytes{1, 2, 3}));
    r = d.dev.HandleFrame(Frame({Command::ReadCID}));
    EXPECT_EQ(Bytes(r.begin() + 1, r.begin() + 5), (Bytes{0x0D, 0x11, 0x13, 0x03}));
    r = d.dev.HandleFrame(Frame({Command::ReadTypeText}));
    EXPECT_EQ(std::string(r.begin() + 1, r.begin() + 10), "QX401.20B");
    r = d.dev.HandleFrame(Frame({Command::ReadDevID}));
    ASSERT_TRUE(CheckSum12(r.data()));
    EXPECT_EQ(r[1], 0xBE); // 'A' complemented
    EXPECT_EQ(r[2], 0xCD); // '2' complemented
}

TEST(SimDevice, WrongSumsSilenceAndUnknownCommandsGetNoAnswer) {
    TSimConfig c;
    c.silent = {Command::ReadCID};
    c.badSum = {Command::ReadTypeText};
    Device d(c);
    Bytes bad = Frame({Command::ReadCounters});
    bad[11] ^= 1;
    EXPECT_TRUE(d.dev.HandleFrame(bad).empty());
    EXPECT_NE(d.log.find("bad sum"), std::string::npos);
    EXPECT_TRUE(d.dev.HandleFrame(Frame({Command::ReadCID})).empty());
    EXPECT_TRUE(d.dev.HandleFrame(Frame({Command::Reset})).empty());
    EXPECT_TRUE(d.dev.HandleFrame(Frame({0x05})).empty());
    EXPECT_NE(d.log.find("unexpected command 05"), std::string::npos);
    Bytes r = d.dev.HandleFrame(Frame({Command::ReadTypeText}));
    ASSERT_EQ(r.size(), 12u);
    EXPECT_FALSE(CheckSum12(r.data()));
}

TEST(SimDevice, ProgrammingRunStoresImageOnClosingCommand) {
    TempDir dir;
    TSimConfig c;
    c.imageOut = dir / "out.bin";
    Device d(c);
    Bytes block(256);
    EXPECT_TRUE(d.dev.HandleFrame(DataFrame(block)).empty()); // no start yet
    d.Start(0x4A);
    for (size_t i = 0; i < 2; ++i) {
        for (size_t j = 0; j < block.size(); ++j)
            block[j] = uint8_t(i * 7 + j);
        Bytes ack = d.dev.HandleFrame(DataFrame(block));
        ASSERT_EQ(ack.size(), 1u);
        EXPECT_EQ(AckValue(ack[0], 0x4A), 16);
    }
    Bytes corrupt = DataFrame(block);
    corrupt[100] ^= 0x40;
    EXPECT_TRUE(d.dev.HandleFrame(corrupt).empty());
    EXPECT_TRUE(d.dev.HandleFrame(DataFrame(Bytes(1, 0x41))).empty()); // other block length
    EXPECT_TRUE(d.dev.HandleFrame(Frame({Command::Reset})).empty());
    EXPECT_NE(d.log.find("image written: 512 bytes to " + c.imageOut), std::string::npos);
    std::string stored = ReadFileBytes(c.imageOut);
    ASSERT_EQ(stored.size(), 512u);
    EXPECT_EQ(uint8_t(stored[256 + 5]), 7 + 5);
}

TEST(SimDevice, DataFrameMisbehaviours) {
    TSimConfig c;
    c.badAckAt = 2;
    c.doubleAckAt = 3;
    c.unplugAfter = 4;
    Device d(c);
    d.Start(0x0F);
    Bytes block(256, 0xFF);
    EXPECT_EQ(d.dev.HandleFrame(DataFrame(block)).size(), 1u);
    Bytes wrong = d.dev.HandleFrame(DataFrame(block));
    ASSERT_EQ(wrong.size(), 1u);
    EXPECT_NE(AckValue(wrong[0], 0x0F), 16);
    Bytes twice = d.dev.HandleFrame(DataFrame(block));
    ASSERT_EQ(twice.size(), 2u);
    EXPECT_EQ(AckValue(twice[1], 0x0F), 16);
    EXPECT_EQ(d.dev.HandleFrame(DataFrame(block)).size(), 1u); // frame 4 answered, then gone
    EXPECT_TRUE(d.dev.Unplugged());
    EXPECT_TRUE(d.dev.HandleFrame(DataFrame(block)).empty());
    EXPECT_TRUE(d.dev.HandleFrame(KeyFrame("PX7392M4", 0)).empty());
}

TEST(SimDevice, FrameReaderSplitsCommandAndDataFrames) {
    TFrameReader reader;
    Bytes stream = Frame({Command::ReadCounters});
    Bytes one = DataFrame(Bytes(1, 0x41)); // 09 00 41 00 4A
    EXPECT_EQ(one, (Bytes{0x09, 0x00, 0x41, 0x00, 0x4A}));
    Bytes full = DataFrame(Bytes(256, 0xFF));
    stream.insert(stream.end(), one.begin(), one.end());
    stream.insert(stream.end(), full.begin(), full.end());
    std::vector<size_t> lengths;
    for (uint8_t b : stream)
        if (reader.Push(b))
            lengths.push_back(reader.Take().size());
    EXPECT_EQ(lengths, (std::vector<size_t>{12, 5, 260}));
    EXPECT_TRUE(reader.Pending().empty());
    // 0x09 + 0xFF + 256 x 0xFF = 0x10008: the sum bytes of a block of 0xFF are 00 08.
    EXPECT_EQ(full[258], 0x00);
    EXPECT_EQ(full[259], 0x08);
}

TEST(SimOptions, ParsesEveryOption) {
    TSimOptions o;
    std::string err;
    ASSERT_TRUE(ParseSimOptions({"--image-out",
                                 "/tmp/x",
                                 "--type-text",
                                 "QX409.99Z",
                                 "--dev-id",
                                 "ABCDEFGH",
                                 "--cid",
                                 "0d111303",
                                 "--count1",
                                 "16777215",
                                 "--count2",
                                 "0",
                                 "--use-count",
                                 "7",
                                 "--silent",
                                 "0x01",
                                 "--silent",
                                 "C9",
                                 "--bad-sum",
                                 "ca",
                                 "--probe-ack",
                                 "200",
                                 "--refuse-key",
                                 "--bad-ack",
                                 "3",
                                 "--double-ack",
                                 "4",
                                 "--unplug-after",
                                 "0",
                                 "--line-rate"},
                                o, err))
        << err;
    const TSimConfig& c = o.config;
    EXPECT_EQ(c.imageOut, "/tmp/x");
    EXPECT_EQ(c.typeText, "QX409.99Z");
    EXPECT_EQ(c.devId, "ABCDEFGH");
    EXPECT_EQ(c.cid, (std::array<uint8_t, 4>{0x0D, 0x11, 0x13, 0x03}));
    EXPECT_EQ(c.count1, 0xFFFFFFu);
    EXPECT_EQ(c.useCount, 7u);
    EXPECT_EQ(c.silent, (std::set<uint8_t>{0x01, 0xC9}));
    EXPECT_EQ(c.badSum, (std::set<uint8_t>{0xCA}));
    EXPECT_EQ(c.probeAck, 200);
    EXPECT_TRUE(c.refuseKey);
    EXPECT_EQ(c.badAckAt, 3);
    EXPECT_EQ(c.doubleAckAt, 4);
    EXPECT_EQ(c.unplugAfter, 0);
    EXPECT_TRUE(c.lineRate);
}

TEST(SimOptions, RejectsMalformedValues) {
    const std::vector<std::vector<std::string>> bad = {
        {"--type-text", "QX40"}, {"--dev-id", "123456789"}, {"--cid", "0D1113"},
        {"--cid", "0D11130G"},   {"--count1", "16777216"},  {"--count2", "-1"},
        {"--silent", "1FF"},     {"--silent", "xy"},        {"--probe-ack", "256"},
        {"--bad-ack", "0"},      {"--unplug-after"},        {"--no-such-option"},
    };
    for (const auto& args : bad) {
        TSimOptions o;
        std::string err;
        EXPECT_FALSE(ParseSimOptions(args, o, err)) << args[0];
        EXPECT_FALSE(err.empty());
    }
}

} // namespace
