#pragma once
// CRC-16 with the CRC-16/MODBUS parameters (reflected polynomial 0xA001, initial value 0xFFFF,
// no final XOR), returned with its two bytes swapped: "123456789" gives 0x374B. Used to verify
// downloaded data.
#include <cstddef>
#include <cstdint>

// A length of 0 or less gives 0xFFFF.
uint16_t Crc16(const uint8_t* data, int32_t len);

// The same CRC over data that comes in pieces. The state is a result of Crc16 (or of this
// function), kCrc16Start before the first piece:
//   Crc16Update(Crc16Update(kCrc16Start, a, na), b, nb) == Crc16(a followed by b).
constexpr uint16_t kCrc16Start = 0xFFFF;
uint16_t Crc16Update(uint16_t state, const uint8_t* data, size_t len);
// The same with byte tables alone: what Crc16Update does on processors without carry-less
// multiplication (the tests compare both routes).
uint16_t Crc16UpdatePortable(uint16_t state, const uint8_t* data, size_t len);
