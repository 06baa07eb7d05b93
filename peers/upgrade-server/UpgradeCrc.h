#pragma once
// Temporary: CRC-16/MODBUS with its two result bytes swapped, until device/CRC16.h is available.
#include <cstddef>
#include <cstdint>

inline uint16_t Crc16(const uint8_t* data, size_t size) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<uint16_t>(crc >> 1);
    }
    return static_cast<uint16_t>((crc << 8) | (crc >> 8));
}
