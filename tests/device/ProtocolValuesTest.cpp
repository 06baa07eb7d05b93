// Known answers of the pure parts: CRC-16 (whole and in pieces), the memory stream, sums,
// acknowledgement decoding, frames. The line settings and the port numbering of each platform
// are in PortSetupTest_posix.cpp and PortSetupTest_win32.cpp.
#include "CRC16.h"
#include "MemoryStream.h"
#include "UPCommFun.h"
#include <algorithm>
#include <array>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Of(const TFrame& frame) {
    return Bytes(frame.begin(), frame.end());
}

} // namespace

TEST(Crc16, KnownAnswers) {
    const std::string check = "123456789";
    EXPECT_EQ(Crc16(reinterpret_cast<const uint8_t*>(check.data()), 9), 0x374B);
    const uint8_t one[] = {0x00};
    EXPECT_EQ(Crc16(one, 0), 0xFFFF);
    EXPECT_EQ(Crc16(one, -5), 0xFFFF);
    EXPECT_EQ(Crc16(nullptr, 3), 0xFFFF);
    // A single zero byte: CRC-16/MODBUS 0x40BF, swapped.
    EXPECT_EQ(Crc16(one, 1), 0xBF40);
}

namespace {

// CRC-16/MODBUS a bit at a time, swapped: the reference for the table-driven forms.
uint16_t BitwiseCrc16(const uint8_t* data, size_t len) {
    uint16_t crc = 0xFFFF;
    for (size_t k = 0; k < len; ++k) {
        crc ^= data[k];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return static_cast<uint16_t>((crc << 8) | (crc >> 8));
}

Bytes RandomBytes(size_t n, unsigned seed) {
    Bytes data(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 7);
    }
    return data;
}

} // namespace

TEST(Crc16, AgreesWithBitwiseModbusSwapped) {
    Bytes data(1000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 37 + 11);
    EXPECT_EQ(Crc16(data.data(), static_cast<int32_t>(data.size())),
              BitwiseCrc16(data.data(), data.size()));
}

// Lengths around the eight-byte steps and the 16- and 64-byte blocks of the folding route, odd
// lengths and unaligned starts; both routes.
TEST(Crc16, AgreesWithBitwiseOnRandomDataOfEveryShape) {
    const Bytes data = RandomBytes(70000, 1);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 200; ++n)
        lengths.push_back(n);
    for (size_t n : {255u, 256u, 257u, 1001u, 8191u, 8192u, 8193u, 65537u, 69993u})
        lengths.push_back(n);
    for (size_t start : {0u, 1u, 3u, 7u}) {
        for (size_t n : lengths) {
            const uint8_t* p = data.data() + start;
            uint16_t expected = BitwiseCrc16(p, n);
            ASSERT_EQ(Crc16(p, static_cast<int32_t>(n)), expected)
                << "start " << start << " length " << n;
            ASSERT_EQ(Crc16UpdatePortable(kCrc16Start, p, n), expected)
                << "start " << start << " length " << n;
        }
    }
    // Bytes that make the register pass through every value pattern: all ones, all zeros.
    for (uint8_t fill : {uint8_t{0x00}, uint8_t{0xFF}}) {
        Bytes same(4099, fill);
        EXPECT_EQ(Crc16(same.data(), static_cast<int32_t>(same.size())),
                  BitwiseCrc16(same.data(), same.size()));
    }
}

TEST(Crc16, UpdateOverPiecesEqualsTheWhole) {
    const Bytes data = RandomBytes(300, 2);
    const uint8_t* p = data.data();
    uint16_t whole = Crc16(p, static_cast<int32_t>(data.size()));
    EXPECT_EQ(Crc16Update(kCrc16Start, p, data.size()), whole);
    // Every split into two pieces, including empty ones.
    for (size_t cut = 0; cut <= data.size(); ++cut)
        ASSERT_EQ(Crc16Update(Crc16Update(kCrc16Start, p, cut), p + cut, data.size() - cut), whole)
            << "cut at " << cut;
    // Pieces of uneven sizes, as the chunks of a download come in.
    const Bytes big = RandomBytes(3 * 8192 + 1234, 3);
    uint16_t state = kCrc16Start;
    size_t done = 0;
    for (size_t size : {8192u, 1u, 8191u, 13u, 8192u}) {
        size = std::min(size, big.size() - done);
        state = Crc16Update(state, big.data() + done, size);
        done += size;
    }
    state = Crc16Update(state, big.data() + done, big.size() - done);
    EXPECT_EQ(state, BitwiseCrc16(big.data(), big.size()));
    // Any state continues right, on either route.
    for (uint16_t from : {uint16_t{0x0000}, uint16_t{0x1234}, uint16_t{0xFFFF}}) {
        uint16_t a = Crc16Update(from, big.data(), big.size());
        EXPECT_EQ(a, Crc16UpdatePortable(from, big.data(), big.size()));
        EXPECT_EQ(
            Crc16Update(Crc16Update(from, big.data(), 100), big.data() + 100, big.size() - 100), a);
    }
    // Nothing to add leaves the state as it is.
    EXPECT_EQ(Crc16Update(0x1234, p, 0), 0x1234);
    EXPECT_EQ(Crc16Update(0x1234, nullptr, 5), 0x1234);
    EXPECT_EQ(Crc16UpdatePortable(0x1234, nullptr, 5), 0x1234);
}

// Filling in place is a Write whose bytes come later: same growth, same position.
TEST(MemoryStream, WriteInPlaceGrowsLikeWriteAndReserveKeepsEverything) {
    TMemoryStream stream;
    const uint8_t abc[] = {'a', 'b', 'c'};
    stream.Write(abc, 3);
    stream.Reserve(100);
    EXPECT_EQ(stream.Size(), 3);
    EXPECT_EQ(stream.Position(), 3);
    EXPECT_EQ(stream.Bytes(), (Bytes{'a', 'b', 'c'}));
    stream.Reserve(-1); // nothing to do
    EXPECT_EQ(stream.Size(), 3);

    // Over existing bytes: they stay until overwritten, the size stays.
    stream.Seek(1);
    uint8_t* place = stream.WriteInPlace(1);
    EXPECT_EQ(*place, 'b');
    *place = 'B';
    EXPECT_EQ(stream.Position(), 2);
    EXPECT_EQ(stream.Size(), 3);
    // Across the end: the bytes there stay, the stream grows with zero bytes, and the caller
    // fills them.
    place = stream.WriteInPlace(4);
    EXPECT_EQ(stream.Position(), 6);
    EXPECT_EQ(stream.Size(), 6);
    EXPECT_EQ(stream.Bytes(), (Bytes{'a', 'B', 'c', 0, 0, 0}));
    place[3] = 'f';
    EXPECT_EQ(stream.Bytes(), (Bytes{'a', 'B', 'c', 0, 0, 'f'}));
    // Growing within the reserved room keeps earlier pointers valid.
    const uint8_t* first = stream.Bytes().data();
    stream.WriteInPlace(90);
    EXPECT_EQ(stream.Bytes().data(), first);
    EXPECT_EQ(stream.Size(), 96);
}

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
    SendBuf.fill(0);
    SendBuf[0] = 0x09;
    SendBuf[1] = 0xFF;
    std::fill(SendBuf.begin() + 2, SendBuf.begin() + 258, 0xFF);
    SetDataSum(255);
    EXPECT_EQ(SendBuf[258], 0x00);
    EXPECT_EQ(SendBuf[259], 0x08);

    SendBuf[0] = 0x09;
    SendBuf[1] = 0x00;
    SendBuf[2] = 0x41;
    SetDataSum(0);
    EXPECT_EQ(Bytes(SendBuf.begin(), SendBuf.begin() + 5), (Bytes{0x09, 0x00, 0x41, 0x00, 0x4A}));
}
