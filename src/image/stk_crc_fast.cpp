// Fast paths of the STK CRC-16. The register holds (message mod P), which is
// linear in the message, so long runs are folded 64 bytes at a time with
// carry-less multiplication and combined with the register afterwards.
#include <cstring>

#include "image/stk_format.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace stk {
namespace detail {

// (a * b) mod P for polynomials below degree 16.
uint16_t polyMulMod(uint16_t a, uint16_t b) {
    uint32_t product = 0;
    for (int bit = 0; bit < 16; ++bit)
        if (b & (1u << bit)) product ^= static_cast<uint32_t>(a) << bit;
    for (int bit = 31; bit >= 16; --bit)
        if (product & (1u << bit)) product ^= (0x10000u | kStkCrcPoly) << (bit - 16);
    return static_cast<uint16_t>(product);
}

// x^n mod P.
uint16_t polyXPowMod(uint64_t n) {
    uint16_t result = 1;
    uint16_t square = 2;  // x
    for (; n != 0; n >>= 1) {
        if (n & 1) result = polyMulMod(result, square);
        square = polyMulMod(square, square);
    }
    return result;
}

uint16_t stkCrc16Shift(uint16_t crc, uint64_t bytes) {
    if (crc == 0) return 0;
    return polyMulMod(crc, polyXPowMod(8 * bytes));
}

#if defined(__x86_64__)

namespace {

struct FoldConstants {
    uint64_t x576 = polyXPowMod(576), x512 = polyXPowMod(512);
    uint64_t x192 = polyXPowMod(192), x128 = polyXPowMod(128);
};

const FoldConstants& foldConstants() {
    static const FoldConstants constants;
    return constants;
}

__attribute__((target("pclmul,ssse3"))) inline __m128i fold(__m128i acc, __m128i k) {
    // acc * x^m = hi64 * x^(m+64) + lo64 * x^m; k holds (x^m, x^(m+64)) mod P.
    return _mm_xor_si128(_mm_clmulepi64_si128(acc, k, 0x11), _mm_clmulepi64_si128(acc, k, 0x00));
}

__attribute__((target("pclmul,ssse3"))) inline __m128i loadBig(const uint8_t* p) {
    // Byte 0 becomes the highest coefficient.
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), reverse);
}

// (data mod P) for a whole number of 64-byte groups, at least one.
__attribute__((target("pclmul,ssse3"))) uint16_t clmulRemainder(const uint8_t* data,
                                                                size_t groups) {
    const FoldConstants& c = foldConstants();
    const __m128i k512 =
        _mm_set_epi64x(static_cast<long long>(c.x576), static_cast<long long>(c.x512));
    const __m128i k128 =
        _mm_set_epi64x(static_cast<long long>(c.x192), static_cast<long long>(c.x128));
    __m128i a0 = loadBig(data), a1 = loadBig(data + 16);
    __m128i a2 = loadBig(data + 32), a3 = loadBig(data + 48);
    for (size_t g = 1; g < groups; ++g) {
        data += 64;
        a0 = _mm_xor_si128(fold(a0, k512), loadBig(data));
        a1 = _mm_xor_si128(fold(a1, k512), loadBig(data + 16));
        a2 = _mm_xor_si128(fold(a2, k512), loadBig(data + 32));
        a3 = _mm_xor_si128(fold(a3, k512), loadBig(data + 48));
    }
    a1 = _mm_xor_si128(fold(a0, k128), a1);
    a2 = _mm_xor_si128(fold(a1, k128), a2);
    a3 = _mm_xor_si128(fold(a2, k128), a3);
    // The last 128 bits, most significant byte first, reduce like a message.
    uint8_t tail[16];
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(tail), _mm_shuffle_epi8(a3, reverse));
    return stkCrc16Sliced(tail, sizeof tail, 0);
}

bool haveClmul() {
    static const bool have = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
    return have;
}

}  // namespace

bool stkCrc16Folded(const uint8_t* data, size_t length, uint16_t crc, uint16_t* result) {
    if (length < kFoldMinLength || !haveClmul()) return false;
    size_t groups = length / 64;
    uint16_t bulk = clmulRemainder(data, groups);
    size_t done = groups * 64;
    uint16_t r = stkCrc16Sliced(data + done, length - done, bulk);
    *result = static_cast<uint16_t>(r ^ stkCrc16Shift(crc, length));
    return true;
}

#else

bool stkCrc16Folded(const uint8_t*, size_t, uint16_t, uint16_t*) {
    return false;
}

#endif

}  // namespace detail
}  // namespace stk
