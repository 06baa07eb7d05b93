#pragma once
// Data shared by the tests and the benchmarks: images and their CRC texts.
#include <cstddef>
#include <string>

// A deterministic, recognisable image of `size` bytes, never periodic with a block or chunk
// length (a misplaced block shows); other seeds give other bytes.
std::string TestImage(size_t size, unsigned seed = 1);
// The image as the device must store it: filled with 0xFF to a multiple of `multiple`.
std::string Filled(const std::string& image, size_t multiple);
// The CRC text of the bytes as the upgrade dialogue carries it: Crc16 as four uppercase hex
// digits.
std::string CrcText(const std::string& bytes);
