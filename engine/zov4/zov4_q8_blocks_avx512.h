#pragma once
// What the AVX-512 Q8_0 row kernels share: widening a block and the
// single-row kernel's reduction. Include after the target pragma of an
// AVX-512 translation unit.
#include <immintrin.h>

#include <cstdint>

namespace vm::zov4::avx512 {

// The eight-lane kernel's reduction: (q0 + q1) + (q2 + q3) lanewise, lanes
// i and i + 4 added, then (s0 + s1) + (s2 + s3).
inline float finish(__m512 q01, __m512 q23) {
    const __m256 a = _mm256_add_ps(_mm512_castps512_ps256(q01), _mm512_extractf32x8_ps(q01, 1));
    const __m256 b = _mm256_add_ps(_mm512_castps512_ps256(q23), _mm512_extractf32x8_ps(q23, 1));
    const __m256 v = _mm256_add_ps(a, b);
    const __m128 h = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    alignas(16) float l[4];
    _mm_store_ps(l, h);
    return (l[0] + l[1]) + (l[2] + l[3]);
}

// A block's 32 weights as floats (scale × code, exact), codes 0-15 in w0
// and 16-31 in w1.
inline void widen(const uint8_t* block, __m512& w0, __m512& w1) {
    uint16_t bits;
    __builtin_memcpy(&bits, block, 2);
    const __m512 d = _mm512_cvtph_ps(_mm256_set1_epi16(short(bits)));
    w0 = _mm512_mul_ps(d, _mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 2)))));
    w1 = _mm512_mul_ps(d, _mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 18)))));
}

} // namespace vm::zov4::avx512
