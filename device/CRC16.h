#pragma once
// CRC-16 with the CRC-16/MODBUS parameters (reflected polynomial 0xA001, initial value 0xFFFF,
// no final XOR), returned with its two bytes swapped: "123456789" gives 0x374B. Used to verify
// downloaded data.
#include <cstdint>

// A length of 0 or less gives 0xFFFF.
uint16_t Crc16(const uint8_t* data, int32_t len);
