// Every CRC-16 route (the whole-buffer form, the incremental form with its folding and table
// paths, the portable table path) against a plain bitwise CRC-16/MODBUS, on data cut into pieces
// at points the input chooses and from any running state.
#include "CRC16.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

uint16_t Swap(uint16_t v) {
    return static_cast<uint16_t>(v >> 8 | (v & 0xFF) << 8);
}

// Bit by bit, from a state in the functions' swapped form, to a result in the same form.
uint16_t Reference(uint16_t state, const uint8_t* data, size_t len) {
    unsigned crc = Swap(state);
    for (size_t i = 0; i < len; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001u : crc >> 1;
    }
    return Swap(static_cast<uint16_t>(crc));
}

void Expect(uint16_t got, uint16_t want, const char* route, size_t len) {
    if (got != want) {
        std::fprintf(stderr, "%s over %zu bytes: %04X, the bitwise CRC is %04X\n", route, len, got,
                     want);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider input(bytes, size);
    const uint16_t state = input.ConsumeIntegral<uint16_t>();
    std::vector<size_t> cuts(input.ConsumeIntegralInRange<size_t>(0, 4));
    for (size_t& cut : cuts)
        cut = input.ConsumeIntegral<uint16_t>();
    // A copy of exactly the data's length, so that any read past its end is seen.
    const std::vector<uint8_t> data = input.ConsumeRemainingBytes<uint8_t>();
    const uint8_t* p = data.data();
    const size_t n = data.size();

    const uint16_t whole = Reference(kCrc16Start, p, n);
    Expect(Crc16(p, static_cast<int32_t>(n)), whole, "Crc16", n);
    Expect(Crc16Update(state, p, n), Reference(state, p, n), "Crc16Update", n);
    Expect(Crc16UpdatePortable(state, p, n), Reference(state, p, n), "Crc16UpdatePortable", n);

    // In pieces: each cut lies at its value modulo the length left.
    uint16_t folded = kCrc16Start, portable = kCrc16Start;
    size_t at = 0;
    for (size_t cut : cuts) {
        const size_t take = (n - at) == 0 ? 0 : cut % (n - at + 1);
        folded = Crc16Update(folded, p + at, take);
        portable = Crc16UpdatePortable(portable, p + at, take);
        at += take;
    }
    folded = Crc16Update(folded, p + at, n - at);
    portable = Crc16UpdatePortable(portable, p + at, n - at);
    Expect(folded, whole, "Crc16Update in pieces", n);
    Expect(portable, whole, "Crc16UpdatePortable in pieces", n);

    // No data leaves the state as it was; a length of 0 or less gives the start value.
    Expect(Crc16Update(state, nullptr, n), state, "Crc16Update without data", 0);
    Expect(Crc16(p, -static_cast<int32_t>(n % INT_MAX) - 1), kCrc16Start, "Crc16, negative", 0);
    return 0;
}
