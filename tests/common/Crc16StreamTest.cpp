// Known answers of common/'s pure parts: CRC-16 (whole, in pieces, on both routes) and the memory
// stream.
#include "CRC16.h"
#include "MemoryStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

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
