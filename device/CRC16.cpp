// CRC-16/MODBUS a byte at a time with the reflected table split into its low bytes (A) and
// high bytes (B). R1 ends up holding the CRC's low byte, so the result comes out byte-swapped.
#include "CRC16.h"
#include <array>

namespace {

struct Tables {
    std::array<uint8_t, 256> low{};  // table A
    std::array<uint8_t, 256> high{}; // table B
};

constexpr Tables MakeTables() {
    Tables t;
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001u : crc >> 1;
        t.low[i] = static_cast<uint8_t>(crc & 0xFF);
        t.high[i] = static_cast<uint8_t>(crc >> 8);
    }
    return t;
}

constexpr Tables CrcTables = MakeTables();

} // namespace

uint16_t Crc16(const uint8_t* data, int32_t len) {
    uint8_t r1 = 0xFF, r2 = 0xFF;
    if (!data)
        len = 0;
    for (int32_t k = 0; k < len; ++k) {
        uint8_t i = r1 ^ data[k];
        r1 = r2 ^ CrcTables.low[i];
        r2 = CrcTables.high[i];
    }
    return static_cast<uint16_t>(r1 << 8 | r2);
}
