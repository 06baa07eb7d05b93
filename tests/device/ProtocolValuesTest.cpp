// Known answers of the device protocol's pure parts: sums, acknowledgement decoding, frames
// (CRC-16 and the memory stream, which common/ holds, are tests/common's). The line settings and
// the port numbering of each platform are in PortSetupTest_posix.cpp and PortSetupTest_win32.cpp.
#include "Frames.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Of(const TFrame& frame) {
    return Bytes(frame.begin(), frame.end());
}

} // namespace

TEST(Sums, CheckSum12AndN) {
    Bytes reply = Of(WithSum(TFrame{0xC4, 1, 2, 3, 4}));
    EXPECT_EQ(reply[10], 0x00);
    EXPECT_EQ(reply[11], 0xCE);
    EXPECT_TRUE(CheckSum12(reply.data()));
    reply[11] ^= 1;
    EXPECT_FALSE(CheckSum12(reply.data()));

    // Ten 0xFF bytes sum to 2550 = 0x09F6: both sum bytes are compared.
    Bytes high(12, 0xFF);
    high[10] = 0x09;
    high[11] = 0xF6;
    EXPECT_TRUE(CheckSum12(high.data()));
    high[10] = 0x00;
    EXPECT_FALSE(CheckSum12(high.data()));

    // 260 bytes, the last two the sum of the 258 before them (258 * 0xFF = 0x100FE: bits 8-15
    // and 0-7 of the total count).
    Bytes big(260, 0xFF);
    big[258] = 0x00;
    big[259] = 0xFE;
    EXPECT_TRUE(CheckSumN(big.data(), 260));
    big[0] = 0xFE;
    EXPECT_FALSE(CheckSumN(big.data(), 260));
    EXPECT_FALSE(CheckSumN(big.data(), 1));
}

TEST(AckValue, DecodesWithLowKeyNibbleOnly) {
    EXPECT_EQ(AckValue(0xF4, 0x00), 11);
    EXPECT_EQ(AckValue(0xEF, 0x25), 11);
    EXPECT_EQ(AckValue(0xF4, 0x10), 11);
    EXPECT_EQ(AckValue(0xEF, 0x00), 16);
    EXPECT_EQ(AckValue(0xFF, 0x0F), 0xF1); // wraps modulo 256
}

TEST(ReplyLenOf, TableAndRefusals) {
    for (uint8_t code : std::to_array<uint8_t>({0x01, 0x02, 0x03, 0x20, 0x21, 0x22}))
        EXPECT_EQ(ReplyLenOf(code), 1) << int(code);
    for (uint8_t code : std::to_array<uint8_t>({0x04, 0xC2, 0xC4, 0xC8, 0xC9, 0xCA}))
        EXPECT_EQ(ReplyLenOf(code), 12) << int(code);
    EXPECT_EQ(ReplyLenOf(0x0A), 0);
    EXPECT_EQ(ReplyLenOf(0x0B), 0);
    EXPECT_EQ(ReplyLenOf(0xD3), 260);
    EXPECT_EQ(ReplyLenOf(0xD4), 259);
    for (uint8_t code : std::to_array<uint8_t>({0x00, 0x05, 0x09, 0xC3, 0xFF}))
        EXPECT_EQ(ReplyLenOf(code), -1) << int(code);
}

TEST(Frames, SumReplacesWhateverBytes10And11Held) {
    TFrame c2{0xC2};
    c2[10] = 0x12;
    c2[11] = 0x34;
    EXPECT_EQ(Of(WithSum(c2)), (Bytes{0xC2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0xC2}));
    TFrame full{};
    full.fill(0xFF);
    TFrame summed = WithSum(full);
    EXPECT_EQ(summed[10], 0x09);
    EXPECT_EQ(summed[11], 0xF6);
}

TEST(Frames, DownloadStart) {
    EXPECT_EQ(ModelFlagOf("QX40"), 53); // ModelFlagQX40
    EXPECT_EQ(ModelFlagOf("qx40"), 0);
    EXPECT_EQ(ModelFlagOf("QX40 "), 0);
    EXPECT_EQ(ModelFlagOf(""), 0);

    EXPECT_EQ(Of(WithSum(DownloadStartFrame(0, 53, 255, 3))),
              (Bytes{0x02, 0, 0, 0, 0, 0, 0x35, 0, 0xFF, 0x03, 0x01, 0x39}));
    // The address goes low byte first.
    Bytes frame = Of(DownloadStartFrame(0x12345678, 0, 0, 2));
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 10),
              (Bytes{0x02, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0, 0x02}));
}

TEST(Frames, DataFrameSums) {
    TSendBuf frame{};
    frame[0] = 0x09;
    frame[1] = 0xFF;
    std::fill(frame.begin() + 2, frame.begin() + 258, 0xFF);
    SetDataSum(frame, 255);
    EXPECT_EQ(frame[258], 0x00);
    EXPECT_EQ(frame[259], 0x08);

    frame[0] = 0x09;
    frame[1] = 0x00;
    frame[2] = 0x41;
    SetDataSum(frame, 0);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 5), (Bytes{0x09, 0x00, 0x41, 0x00, 0x4A}));
}
