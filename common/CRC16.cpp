// CRC-16/MODBUS with the reflected table split into its low bytes (A) and high bytes (B), kept as
// two byte registers: R1 ends up holding the CRC's low byte, so the result comes out byte-swapped.
//
// Long runs take faster routes to the same result. The portable one goes eight bytes per step
// (slicing-by-8) with tables derived from the same polynomial. On x86-64 processors with
// carry-less multiplication, whole 16-byte blocks are folded instead: the CRC is the remainder of
// the data, read as a polynomial, modulo P = x^16 + x^15 + x^2 + 1, so a block may be replaced by
// anything congruent to it. Four 128-bit accumulators fold 64 bytes per step; at the end they
// fold into one, which is put through the byte tables like 16 bytes of data.
#include "CRC16.h"

#include <array>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KESTREL_CRC16_CLMUL 1
#include <immintrin.h>
#endif

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
    for (size_t k = 1; k < kSlices; ++k)
        for (unsigned i = 0; i < 256; ++i) {
            uint16_t prev = t.slice[k - 1][i];
            t.slice[k][i] = static_cast<uint16_t>((prev >> 8) ^ t.slice[0][prev & 0xFF]);
        }
    return t;
}

constexpr Tables CrcTables = MakeTables();

// Between the swapped form of the results and the register in CRC order (R1 its low byte).
constexpr uint16_t Swap(uint16_t v) {
    return static_cast<uint16_t>(v >> 8 | (v & 0xFF) << 8);
}

// The register after the bytes, eight at a time and then one at a time.
uint16_t UpdateByTables(uint16_t crc, const uint8_t* data, size_t len) {
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
    return static_cast<uint16_t>(r2 << 8 | r1);
}

#ifdef KESTREL_CRC16_CLMUL
constexpr size_t kFoldBlock = 64;

// In a 128-bit block, bit j (bit j % 8 of byte j / 8) is the coefficient of x^(127 - j): the
// first bit of the data is the highest. Each 64-bit half H holds bit p as x^(63 - p), and a
// carry-less product of two such halves holds bit i as x^(126 - i). Moving a block n bits
// further, A * x^n = H * x^(n + 64) + L * x^n, is therefore x * (H * k_hi + L * k_lo) with
// k_hi = x^(n + 63) mod P and k_lo = x^(n - 1) mod P in the same bit order, and that extra x is
// exactly the difference between the product's bit order and the block's.
constexpr uint64_t FoldFactor(unsigned power) {
    uint32_t r = 1;
    for (unsigned i = 0; i < power; ++i) {
        r <<= 1;
        if (r & 0x10000)
            r ^= 0x18005; // P
    }
    uint64_t k = 0;
    for (int e = 0; e < 16; ++e)
        if (r >> e & 1)
            k |= uint64_t{1} << (63 - e);
    return k;
}

__attribute__((target("pclmul,sse2"))) inline __m128i Fold(__m128i block, __m128i factors) {
    return _mm_xor_si128(_mm_clmulepi64_si128(block, factors, 0x00),
                         _mm_clmulepi64_si128(block, factors, 0x11));
}

__attribute__((target("pclmul,sse2"))) inline __m128i Load(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// The register after the bytes; len >= kFoldBlock.
__attribute__((target("pclmul,sse2"))) uint16_t UpdateByFolding(uint16_t crc, const uint8_t* data,
                                                                size_t len) {
    // Low lane for the first half of a block, high lane for the second.
    const __m128i by512 = _mm_set_epi64x(static_cast<long long>(FoldFactor(511)),
                                         static_cast<long long>(FoldFactor(575)));
    const __m128i by128 = _mm_set_epi64x(static_cast<long long>(FoldFactor(127)),
                                         static_cast<long long>(FoldFactor(191)));
    // The register's start value counts as if it were added to the first two bytes.
    __m128i a0 = _mm_xor_si128(Load(data), _mm_cvtsi32_si128(crc));
    __m128i a1 = Load(data + 16);
    __m128i a2 = Load(data + 32);
    __m128i a3 = Load(data + 48);
    data += kFoldBlock;
    len -= kFoldBlock;
    for (; len >= kFoldBlock; data += kFoldBlock, len -= kFoldBlock) {
        a0 = _mm_xor_si128(Fold(a0, by512), Load(data));
        a1 = _mm_xor_si128(Fold(a1, by512), Load(data + 16));
        a2 = _mm_xor_si128(Fold(a2, by512), Load(data + 32));
        a3 = _mm_xor_si128(Fold(a3, by512), Load(data + 48));
    }
    a1 = _mm_xor_si128(a1, Fold(a0, by128));
    a2 = _mm_xor_si128(a2, Fold(a1, by128));
    a3 = _mm_xor_si128(a3, Fold(a2, by128));
    for (; len >= 16; data += 16, len -= 16)
        a3 = _mm_xor_si128(Fold(a3, by128), Load(data));
    alignas(16) uint8_t rest[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(rest), a3);
    return UpdateByTables(UpdateByTables(0, rest, sizeof rest), data, len);
}

bool CanFold() {
    static const bool can = __builtin_cpu_supports("pclmul");
    return can;
}
#endif

} // namespace

uint16_t Crc16UpdatePortable(uint16_t state, const uint8_t* data, size_t len) {
    if (!data)
        return state;
    return Swap(UpdateByTables(Swap(state), data, len));
}

uint16_t Crc16Update(uint16_t state, const uint8_t* data, size_t len) {
    if (!data)
        return state;
#ifdef KESTREL_CRC16_CLMUL
    if (len >= kFoldBlock && CanFold())
        return Swap(UpdateByFolding(Swap(state), data, len));
#endif
    return Swap(UpdateByTables(Swap(state), data, len));
}

uint16_t Crc16(const uint8_t* data, int32_t len) {
    if (len <= 0)
        return kCrc16Start;
    return Crc16Update(kCrc16Start, data, static_cast<size_t>(len));
}
