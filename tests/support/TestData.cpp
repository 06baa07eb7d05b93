#include "TestData.h"

#include "CRC16.h"

#include <cstdint>
#include <cstdio>

std::string TestImage(size_t size, unsigned seed) {
    std::string image(size, '\0');
    uint32_t x = 2463534242u ^ seed; // xorshift32
    for (auto& c : image) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x & 0xFF);
    }
    return image;
}

std::string Filled(const std::string& image, size_t multiple) {
    size_t padded = (image.size() + multiple - 1) / multiple * multiple;
    return image + std::string(padded - image.size(), '\xFF');
}

std::string CrcText(const std::string& bytes) {
    char text[8];
    std::snprintf(
        text, sizeof text, "%04X",
        Crc16(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size())));
    return text;
}

std::string SignedPayload(const std::string& file, const std::string_view signature) {
    std::string payload = file + std::string(signature) + "KESTREL-SIG1";
    auto length = static_cast<uint32_t>(signature.size() + 16);
    for (int i = 0; i < 4; ++i)
        payload += static_cast<char>((length >> (8 * i)) & 0xFF);
    return payload;
}
