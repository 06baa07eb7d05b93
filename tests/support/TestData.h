#pragma once
// Data shared by the tests and the benchmarks: images and their CRC texts.
#include <cstddef>
#include <string>

// A deterministic, recognisable image of `size` bytes; other seeds give other bytes.
std::string TestImage(size_t size, unsigned seed = 1);
// The CRC text of the bytes as the upgrade dialogue carries it: Crc16 as four uppercase hex
// digits.
std::string CrcText(const std::string& bytes);
