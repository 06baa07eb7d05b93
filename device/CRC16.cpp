// CRC-16/MODBUS with the reflected table split into its low bytes (A) and high bytes (B), kept as
// two byte registers: R1 ends up holding the CRC's low byte, so the result comes out byte-swapped.
// Long runs go eight bytes per step (slicing-by-8) with tables derived from the same polynomial;
// the result is the same as a byte at a time.
#include "CRC16.h"

#include <array>

namespace {

constexpr int kSlices = 8;

struct Tables {
    std::array<uint8_t, 256> low{};  // table A
    std::array<uint8_t, 256> high{}; // table B
    // slice[k][i]: the CRC register (low byte = R1) after byte i followed by k zero bytes,
    // starting from 0.
    std::array<std::array<uint16_t, 256>, kSlices> slice{};
};

constexpr Tables MakeTables() {
    Tables t;
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001u : crc >> 1;
        t.low[i] = static_cast<uint8_t>(crc & 0xFF);
        t.high[i] = static_cast<uint8_t>(crc >> 8);
        t.slice[0][i] = static_cast<uint16_t>(crc);
    }
    for (int k = 1; k < kSlices; ++k)
        for (unsigned i = 0; i < 256; ++i) {
            uint16_t prev = t.slice[k - 1][i];
            t.slice[k][i] = static_cast<uint16_t>((prev >> 8) ^ t.slice[0][prev & 0xFF]);
        }
    return t;
}

constexpr Tables CrcTables = MakeTables();

} // namespace

uint16_t Crc16Update(uint16_t state, const uint8_t* data, size_t len) {
    if (!data)
        len = 0;
    // The register in CRC order: R1 is its low byte.
    uint16_t crc = static_cast<uint16_t>(state >> 8 | (state & 0xFF) << 8);
    const auto& s = CrcTables.slice;
    for (; len >= kSlices; len -= kSlices, data += kSlices) {
        crc = s[7][(data[0] ^ crc) & 0xFF] ^ s[6][data[1] ^ (crc >> 8)] ^ s[5][data[2]] ^
              s[4][data[3]] ^ s[3][data[4]] ^ s[2][data[5]] ^ s[1][data[6]] ^ s[0][data[7]];
    }
    uint8_t r1 = static_cast<uint8_t>(crc & 0xFF), r2 = static_cast<uint8_t>(crc >> 8);
    for (size_t k = 0; k < len; ++k) {
        uint8_t i = r1 ^ data[k];
        r1 = r2 ^ CrcTables.low[i];
        r2 = CrcTables.high[i];
    }
    return static_cast<uint16_t>(r1 << 8 | r2);
}

uint16_t Crc16(const uint8_t* data, int32_t len) {
    if (len <= 0)
        return kCrc16Start;
    return Crc16Update(kCrc16Start, data, static_cast<size_t>(len));
}
