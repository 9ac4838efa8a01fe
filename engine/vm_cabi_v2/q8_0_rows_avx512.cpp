// The 512-bit build of the Q8_0 rows (q8_0_rows_avx512.h), compiled for
// AVX-512 F/BW/VL/VBMI only inside this file; the AVX-512 kernel table calls it.
#include "q8_0_rows_avx512.h"

#include <cstring>

#include "kernel_ops.h"

#if defined(__x86_64__)
#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,fma,f16c"))), \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl,avx512vbmi,fma,f16c")
// GCC's own intrinsics headers trip this warning.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace vm {

namespace {

constexpr int32_t kBlockBytes = 34; // f16 scale, 32 signed codes
constexpr int32_t kAhead = 8;       // blocks asked for ahead of the pass

// For step s (codes 4s … 4s + 3 of a block), the byte indices of a permute
// over [row 0 | row 1] and [row 2 | row 3] (32 codes each) that put code
// 4s + j of row r in the low byte of lane (r, j); the lane's other bytes, kept
// from the indices, make it the float 2^23 + that byte.
struct StepIndices {
    __m512i idx[8];
    StepIndices() {
        for (int s = 0; s < 8; ++s) {
            alignas(64) uint8_t b[64] = {};
            for (int r = 0; r < 4; ++r)
                for (int j = 0; j < 4; ++j) {
                    b[16 * r + 4 * j] = uint8_t(32 * r + 4 * s + j);
                    b[16 * r + 4 * j + 3] = 0x4B;
                }
            idx[s] = _mm512_load_si512(b);
        }
    }
};

// Lanes of block u's scales, [u·4 + r] of the converted scales, in row r's
// four lanes.
inline __m512i scale_index(int u) {
    const int b = 4 * u;
    return _mm512_set_epi32(b + 3, b + 3, b + 3, b + 3, b + 2, b + 2, b + 2, b + 2, b + 1, b + 1, b + 1, b + 1, b,
                            b, b, b);
}

// (l0 + l1) + (l2 + l3) of every 128-bit lane, in all four of its elements.
inline __m512 reduce_lanes(__m512 a) {
    const __m512 t = _mm512_add_ps(a, _mm512_permute_ps(a, 0xB1));
    return _mm512_add_ps(t, _mm512_permute_ps(t, 0x4E));
}

// The four fma lanes of one block of four rows, reduced: row r's block dot
// (before its scale) in lane r.
inline __m512 block_dot(const uint8_t* const* r, int32_t blk, const float* x, const StepIndices& si) {
    const size_t at = size_t(blk) * kBlockBytes + 2;
    auto load = [&](const uint8_t* lo, const uint8_t* hi) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lo + at));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(hi + at));
        return _mm512_inserti64x4(_mm512_castsi256_si512(a), b, 1);
    };
    // Codes biased by 128 (sign bit flipped): 2^23 + code + 128, less
    // 2^23 + 128, is the code exactly.
    const __m512i bias = _mm512_set1_epi8(char(0x80));
    const __m512i r01 = _mm512_xor_si512(load(r[0], r[1]), bias), r23 = _mm512_xor_si512(load(r[2], r[3]), bias);
    const __m512 unbias = _mm512_set1_ps(8388736.0f);
    const float* xb = x + 32 * size_t(blk);
    __m512 acc = _mm512_setzero_ps();
#pragma GCC unroll 8
    for (int s = 0; s < 8; ++s) {
        const __m512i lanes = _mm512_mask2_permutex2var_epi8(r01, si.idx[s], 0x1111111111111111ull, r23);
        const __m512 q = _mm512_sub_ps(_mm512_castsi512_ps(lanes), unbias);
        acc = _mm512_fmadd_ps(_mm512_broadcast_f32x4(_mm_loadu_ps(xb + 4 * s)), q, acc);
    }
    return reduce_lanes(acc);
}

// The f16 scales of blocks blk … blk + 3 ([u·4 + r] for block blk + u of row
// r), gathered: `offsets` holds row r's block u at r·row_bytes + u·34 from
// row 0. A mask of 0xF takes block blk alone.
inline __m512 scales(const uint8_t* row0, __m512i offsets, int32_t blk, __mmask16 mask = 0xFFFF) {
    const __m512i at = _mm512_add_epi32(offsets, _mm512_set1_epi32(blk * kBlockBytes));
    const __m512i words = _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), mask, at, row0, 1);
    return _mm512_cvtph_ps(_mm512_cvtepi32_epi16(words));
}

void prefetch(const uint8_t* const* r, size_t at, size_t bytes) {
    for (int i = 0; i < 4; ++i)
        for (size_t b = 0; b < bytes; b += 64) _mm_prefetch(reinterpret_cast<const char*>(r[i] + at + b), _MM_HINT_T0);
}

// Four rows; `next` (null at the end) are the rows of the following pass,
// asked for ahead while this one ends.
void rows4(const uint8_t* const* r, const uint8_t* const* next, int32_t nb, const float* x, float* y,
           const StepIndices& si, __m512i offsets) {
    __m512 total = _mm512_setzero_ps();
    int32_t b = 0;
    for (; b + 4 <= nb; b += 4) {
        if (b + kAhead < nb) prefetch(r, size_t(b + kAhead) * kBlockBytes, 4 * kBlockBytes);
        else if (next) prefetch(next, size_t(b + kAhead - nb) * kBlockBytes, 4 * kBlockBytes);
        __m512 p[4];
#pragma GCC unroll 4
        for (int u = 0; u < 4; ++u) p[u] = block_dot(r, b + u, x, si);
        const __m512 d = scales(r[0], offsets, b);
        // Block order, as the gemv kernels add them.
#pragma GCC unroll 4
        for (int u = 0; u < 4; ++u) total = _mm512_fmadd_ps(_mm512_permutexvar_ps(scale_index(u), d), p[u], total);
    }
    for (; b < nb; ++b)
        total = _mm512_fmadd_ps(_mm512_permutexvar_ps(scale_index(0), scales(r[0], offsets, b, 0xF)), block_dot(r, b, x, si), total);
    alignas(64) float t[16];
    _mm512_store_ps(t, total);
    for (int i = 0; i < 4; ++i) y[i] = t[4 * i];
}

} // namespace

void q8_0_rows_avx512(const uint8_t* W, uint64_t row_bytes, int32_t rows, const float* x, int32_t k, float* y) {
    static const StepIndices si;
    const int32_t nb = k / 32;
    const int32_t rb = int32_t(row_bytes);
    const __m512i offsets = _mm512_set_epi32(3 * rb + 102, 2 * rb + 102, rb + 102, 102, 3 * rb + 68, 2 * rb + 68,
                                             rb + 68, 68, 3 * rb + 34, 2 * rb + 34, rb + 34, 34, 3 * rb, 2 * rb, rb, 0);
    int32_t i = 0;
    for (; i + 4 <= rows; i += 4) {
        const uint8_t* r[4] = {W + uint64_t(i) * row_bytes, W + uint64_t(i + 1) * row_bytes,
                               W + uint64_t(i + 2) * row_bytes, W + uint64_t(i + 3) * row_bytes};
        const bool more = i + 8 <= rows;
        const uint8_t* n[4] = {r[0] + 4 * row_bytes, r[1] + 4 * row_bytes, r[2] + 4 * row_bytes,
                               r[3] + 4 * row_bytes};
        rows4(r, more ? n : nullptr, nb, x, y + i, si, offsets);
    }
    // The last rows by the gemv kernels, which give the same bits.
    if (i < rows) avx2_kernel_ops()->rows_dot(8, W + uint64_t(i) * row_bytes, row_bytes, rows - i, x, k, y + i);
}

} // namespace vm

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
