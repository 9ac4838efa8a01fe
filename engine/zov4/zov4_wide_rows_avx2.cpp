// The eight-lane Q8_0 and F32 row kernels, built for AVX2/FMA/F16C and
// chosen at run time.
#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "vm_cabi_v2/ggml_blocks.h"
#include "vm_cabi_v2/kernel_ops.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma,f16c"))), apply_to = function)
#else
#pragma GCC target("avx2,fma,f16c")
#endif
#include "zov4/zov4_wide_rows.h"

namespace vm::zov4 {

namespace {

constexpr int32_t kBlock = 32;
constexpr int32_t kBlockBytes = 34; // half-precision scale, 32 signed codes
// Prefetch distance of single-row products: about one row of the decode's
// matrices ahead, where the hardware's own prefetch may stop at a page.
constexpr size_t kAhead = 2048;

// Lanes i and i + 4 added, then the four sums as (s0 + s1) + (s2 + s3).
float sum_lanes(__m256 v) {
    const __m128 h = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    alignas(16) float l[4];
    _mm_store_ps(l, h);
    return (l[0] + l[1]) + (l[2] + l[3]);
}

struct Widened {
    __m256 w[4];
};

// Each quarter's codes are sign-extended straight from memory and the scale
// is broadcast as half precision before widening: fewer shuffles per block.
inline Widened widen(const uint8_t* block) {
    uint16_t bits;
    __builtin_memcpy(&bits, block, 2);
    const __m256 d = _mm256_cvtph_ps(_mm_set1_epi16(short(bits)));
    const uint8_t* q = block + 2;
    auto quarter = [&](int i) {
        const __m128i codes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(q + 8 * i));
        return _mm256_mul_ps(d, _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(codes)));
    };
    return {{quarter(0), quarter(1), quarter(2), quarter(3)}};
}

// One activation row: four accumulators, one per eight-weight quarter, so
// the fma chains overlap.
float row_one(const uint8_t* row, int32_t nb, const float* x) {
    __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    for (int32_t b = 0; b < nb; ++b) {
        if ((b & 1) == 0)
            _mm_prefetch(reinterpret_cast<const char*>(row + size_t(b) * kBlockBytes + kAhead), _MM_HINT_T0);
        const Widened v = widen(row + size_t(b) * kBlockBytes);
        const float* xb = x + size_t(b) * kBlock;
        a0 = _mm256_fmadd_ps(v.w[0], _mm256_loadu_ps(xb), a0);
        a1 = _mm256_fmadd_ps(v.w[1], _mm256_loadu_ps(xb + 8), a1);
        a2 = _mm256_fmadd_ps(v.w[2], _mm256_loadu_ps(xb + 16), a2);
        a3 = _mm256_fmadd_ps(v.w[3], _mm256_loadu_ps(xb + 24), a3);
    }
    return sum_lanes(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)));
}

// Several activation rows in the single-row order, each weight block's
// quarters widened once for all of them. The rows' activations are taken a
// chunk of blocks at a time for a group of weight rows, so that they are
// read from L1 rather than L2; the accumulators wait in memory between
// chunks, which leaves each one's sequence of fmas as in a single pass.
constexpr int kTile = 3;        // activation rows per pass: four accumulators each
constexpr int kGroup = 8;       // weight rows that share a chunk of activations
constexpr int32_t kChunk = 16;  // blocks per chunk
constexpr size_t kWholeBytes = 16 * 1024; // activations read whole up to this size

template <int MT>
void q8_chunk(const uint8_t* row, int32_t b0, int32_t b1, int32_t K, const float* X, __m256* acc, size_t ahead) {
    __m256 a[MT][4];
    #pragma GCC unroll 16
    for (int m = 0; m < MT; ++m)
        #pragma GCC unroll 16
        for (int q = 0; q < 4; ++q) a[m][q] = acc[4 * m + q];
    for (int32_t b = b0; b < b1; ++b) {
        const uint8_t* block = row + size_t(b) * kBlockBytes;
        if ((b & 1) == 0) _mm_prefetch(reinterpret_cast<const char*>(block + ahead), _MM_HINT_T0);
        uint16_t bits;
        __builtin_memcpy(&bits, block, 2);
        const __m256 d = _mm256_cvtph_ps(_mm_set1_epi16(short(bits)));
        const float* xb = X + size_t(b) * kBlock;
        #pragma GCC unroll 16
        for (int q = 0; q < 4; ++q) {
            const __m128i codes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(block + 2 + 8 * q));
            const __m256 w = _mm256_mul_ps(d, _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(codes)));
            #pragma GCC unroll 16
            for (int m = 0; m < MT; ++m)
                a[m][q] = _mm256_fmadd_ps(w, _mm256_loadu_ps(xb + size_t(m) * size_t(K) + 8 * q), a[m][q]);
        }
    }
    #pragma GCC unroll 16
    for (int m = 0; m < MT; ++m)
        #pragma GCC unroll 16
        for (int q = 0; q < 4; ++q) acc[4 * m + q] = a[m][q];
}

template <int MT>
void q8_group(const uint8_t* W, size_t rb, int32_t g, int32_t n, int32_t nb, int32_t K, const float* X, float* Y,
              int64_t ldy) {
    // Activations that fit L1 beside the weights are read whole, each
    // weight row streamed on its own with the single-row prefetch.
    const bool whole = size_t(MT) * size_t(K) * sizeof(float) <= kWholeBytes;
    const int32_t chunk = whole ? nb : kChunk;
    const size_t ahead = whole ? kAhead : size_t(kChunk) * kBlockBytes;
    __m256 acc[kGroup][4 * MT];
    for (int i = 0; i < n; ++i)
        #pragma GCC unroll 16
        for (int j = 0; j < 4 * MT; ++j) acc[i][j] = _mm256_setzero_ps();
    for (int32_t c = 0; c < nb; c += chunk) {
        const int32_t e = std::min(nb, c + chunk);
        for (int i = 0; i < n; ++i) q8_chunk<MT>(W + size_t(g + i) * rb, c, e, K, X, acc[i], ahead);
    }
    for (int i = 0; i < n; ++i)
        #pragma GCC unroll 16
        for (int m = 0; m < MT; ++m) {
            const __m256* a = acc[i] + 4 * m;
            Y[m * ldy + g + i] = sum_lanes(_mm256_add_ps(_mm256_add_ps(a[0], a[1]), _mm256_add_ps(a[2], a[3])));
        }
}

void q8_rows(const uint8_t* W, int32_t r0, int32_t r1, int32_t K, const float* X, int32_t M, float* Y, int64_t ldy) {
    const int32_t nb = K / kBlock;
    const size_t rb = size_t(nb) * kBlockBytes;
    if (M == 1) {
        for (int32_t r = r0; r < r1; ++r) Y[r] = row_one(W + size_t(r) * rb, nb, X);
        return;
    }
    using Tile = void (*)(const uint8_t*, size_t, int32_t, int32_t, int32_t, int32_t, const float*, float*, int64_t);
    static constexpr Tile tiles[kTile + 1] = {nullptr, q8_group<1>, q8_group<2>, q8_group<3>};
    for (int32_t g = r0; g < r1; g += kGroup) {
        const int32_t n = std::min<int32_t>(kGroup, r1 - g);
        for (int32_t m = 0; m < M; m += kTile)
            tiles[std::min<int32_t>(kTile, M - m)](W, rb, g, n, nb, K, X + size_t(m) * size_t(K), Y + m * ldy, ldy);
    }
}

// F32 rows: the same lanes over 32 weights at a time, the K mod 32 tail
// added after them in order.
float f32_row(const float* w, int32_t K, const float* x) {
    __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    int32_t k = 0;
    for (; k + 32 <= K; k += 32) {
        a0 = _mm256_fmadd_ps(_mm256_loadu_ps(w + k), _mm256_loadu_ps(x + k), a0);
        a1 = _mm256_fmadd_ps(_mm256_loadu_ps(w + k + 8), _mm256_loadu_ps(x + k + 8), a1);
        a2 = _mm256_fmadd_ps(_mm256_loadu_ps(w + k + 16), _mm256_loadu_ps(x + k + 16), a2);
        a3 = _mm256_fmadd_ps(_mm256_loadu_ps(w + k + 24), _mm256_loadu_ps(x + k + 24), a3);
    }
    float total = sum_lanes(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)));
    for (; k < K; ++k) total = std::fma(w[k], x[k], total);
    return total;
}

void f32_rows(const uint8_t* W, int32_t r0, int32_t r1, int32_t K, const float* X, int32_t M, float* Y,
              int64_t ldy) {
    const float* rows = reinterpret_cast<const float*>(W);
    for (int32_t r = r0; r < r1; ++r)
        for (int32_t m = 0; m < M; ++m) Y[m * ldy + r] = f32_row(rows + size_t(r) * size_t(K), K, X + size_t(m) * size_t(K));
}

} // namespace

WideRowsKernel wide_rows_kernel(uint32_t type) {
    if (const WideRowsKernel k = wide_rows_kernel_avx512(type)) return k;
    return wide_rows_kernel_avx2(type);
}

WideRowsKernel wide_rows_kernel_avx2(uint32_t type) {
    // The AVX2 kernel table exists only where the CPU has AVX2, FMA and F16C.
    if (!vm::avx2_kernel_ops() || &vm::kernel_ops() == &vm::portable_kernel_ops()) return nullptr;
    return type == kGgmlQ8_0 ? q8_rows : type == kGgmlF32 ? f32_rows : nullptr;
}

} // namespace vm::zov4

#if defined(__clang__)
#pragma clang attribute pop
#endif
