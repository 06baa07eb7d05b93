#pragma once
// Data shared by the tests and the benchmarks: images and their CRC texts.
#include <cstddef>
#include <string>
#include <string_view>

// A deterministic, recognisable image of `size` bytes, never periodic with a block or chunk
// length (a misplaced block shows); other seeds give other bytes.
std::string TestImage(size_t size, unsigned seed = 1);
// The image as the device must store it: filled with 0xFF to a multiple of `multiple`.
std::string Filled(const std::string& image, size_t multiple);
// The CRC text of the bytes as the upgrade dialogue carries it: Crc16 as four uppercase hex
// digits.
std::string CrcText(const std::string& bytes);
// `file` followed by the signature trailer carrying `signature` (the layout the upgrade server's
// README gives: the .minisig text, "KESTREL-SIG1" and the trailer's length, 32-bit little-endian).
std::string SignedPayload(const std::string& file, const std::string_view signature);
