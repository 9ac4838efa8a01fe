#pragma once
// IEEE half precision: exact widening, and narrowing rounded to nearest with
// ties to even (subnormals, infinities and NaNs kept).
#include <cstdint>
#include <cstring>

namespace vm {

inline float half_to_float(uint16_t h) {
    uint32_t sign = uint32_t(h & 0x8000u) << 16;
    uint32_t exp = (h >> 10) & 0x1Fu;
    uint32_t man = h & 0x3FFu;
    uint32_t bits;
    if (exp == 0x1F) {
        bits = sign | 0x7F800000u | (man << 13);
    } else if (exp != 0) {
        bits = sign | ((exp + 112) << 23) | (man << 13);
    } else if (man == 0) {
        bits = sign;
    } else {
        // Subnormal: shift the mantissa up until its leading one is implicit.
        int e = 113;
        while ((man & 0x400u) == 0) {
            man <<= 1;
            --e;
        }
        bits = sign | (uint32_t(e) << 23) | ((man & 0x3FFu) << 13);
    }
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

inline uint16_t float_to_half(float f) {
    uint32_t x;
    std::memcpy(&x, &f, 4);
    uint32_t sign = (x >> 16) & 0x8000u;
    uint32_t exp = (x >> 23) & 0xFFu;
    uint32_t man = x & 0x7FFFFFu;
    if (exp == 0xFF) return uint16_t(sign | 0x7C00u | (man ? 0x200u | (man >> 13) : 0u));
    int e = int(exp) - 112; // rebias 127 -> 15
    if (e >= 31) return uint16_t(sign | 0x7C00u);
    uint32_t mant, shift;
    if (e <= 0) {
        if (e < -10) return uint16_t(sign);
        mant = man | 0x800000u;
        shift = uint32_t(14 - e);
    } else {
        mant = man;
        shift = 13;
    }
    uint32_t h = (e <= 0 ? 0u : uint32_t(e) << 10) | (mant >> shift);
    uint32_t rem = mant & ((1u << shift) - 1);
    uint32_t halfway = 1u << (shift - 1);
    if (rem > halfway || (rem == halfway && (h & 1u))) ++h; // a carry may reach the exponent: correct
    return uint16_t(sign | h);
}

} // namespace vm
