// The Q8_0 and F32 row kernels for several activation rows, built for
// AVX-512 and chosen at run time. A zmm register holds two of the AVX2
// kernel's eight-lane accumulators side by side (quarters 0|1 and 2|3), so
// every output is accumulated and reduced in the single-row order and has
// its bits; with 32 registers a weight block is widened once for eight
// activation rows. As in the AVX2 build the activations are read a chunk of
// blocks at a time for a group of weight rows, from L1. One Q8_0 activation
// row keeps the same two-zmm chains, one weight row at a time.
// F32 single rows go to the AVX2 build, which is bound by memory there.
#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "vm_cabi_v2/ggml_blocks.h"
#include "vm_cabi_v2/kernel_ops.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx2,fma,f16c"))), \
                             apply_to = function)
#else
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl,avx2,fma,f16c")
// GCC 12's AVX-512 headers start their results from a self-initialised
// register, which -Wall reports once inlined here.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "zov4/zov4_wide_rows.h"
#include "zov4/zov4_q8_blocks_avx512.h"

namespace vm::zov4 {

namespace {

constexpr int32_t kBlock = 32;
constexpr int32_t kBlockBytes = 34;
constexpr int kTile = 8;           // activation rows per pass
constexpr int kGroup = 8;          // weight rows that share a chunk of activations
constexpr int32_t kChunk = 16;     // blocks per chunk: a tile's 16 KiB of activations stay in L1
constexpr size_t kWholeBytes = 16 * 1024; // activations read whole up to this size
constexpr size_t kAhead = 2048;    // the single-row prefetch distance

using avx512::finish;
using avx512::widen;

// Blocks [b0, b1) of one weight row into MT rows' accumulators (two each).
template <int MT>
void q8_chunk(const uint8_t* row, int32_t b0, int32_t b1, int32_t K, const float* X, __m512* acc, size_t ahead) {
    __m512 a[MT][2];
    #pragma GCC unroll 16
    for (int m = 0; m < MT; ++m) {
        a[m][0] = acc[2 * m];
        a[m][1] = acc[2 * m + 1];
    }
    for (int32_t b = b0; b < b1; ++b) {
        const uint8_t* block = row + size_t(b) * kBlockBytes;
        if ((b & 1) == 0) _mm_prefetch(reinterpret_cast<const char*>(block + ahead), _MM_HINT_T0);
        __m512 w0, w1;
        widen(block, w0, w1);
        const float* xb = X + size_t(b) * kBlock;
        #pragma GCC unroll 16
        for (int m = 0; m < MT; ++m) {
            a[m][0] = _mm512_fmadd_ps(w0, _mm512_loadu_ps(xb + size_t(m) * size_t(K)), a[m][0]);
            a[m][1] = _mm512_fmadd_ps(w1, _mm512_loadu_ps(xb + size_t(m) * size_t(K) + 16), a[m][1]);
        }
    }
    #pragma GCC unroll 16
    for (int m = 0; m < MT; ++m) {
        acc[2 * m] = a[m][0];
        acc[2 * m + 1] = a[m][1];
    }
}

// One activation row: the AVX2 kernel's per-lane fma chains in two zmm
// (quarters 0|1 and 2|3), so the sum has that kernel's bits with half its
// converts and fmas. Taking several weight rows per pass to share the
// activation loads measured slower: one stream per core prefetches best.
float q8_one(const uint8_t* row, int32_t nb, const float* x) {
    __m512 a0 = _mm512_setzero_ps(), a1 = a0;
    for (int32_t b = 0; b < nb; ++b) {
        const uint8_t* block = row + size_t(b) * kBlockBytes;
        if ((b & 1) == 0) _mm_prefetch(reinterpret_cast<const char*>(block + kAhead), _MM_HINT_T0);
        __m512 w0, w1;
        widen(block, w0, w1);
        a0 = _mm512_fmadd_ps(w0, _mm512_loadu_ps(x + size_t(b) * kBlock), a0);
        a1 = _mm512_fmadd_ps(w1, _mm512_loadu_ps(x + size_t(b) * kBlock + 16), a1);
    }
    return finish(a0, a1);
}

// Weight rows [g, g + n) (n ≤ kGroup) against MT activation rows, a chunk of
// blocks at a time for all the rows so that the activations are read from
// L1; the accumulators wait in memory between chunks, which leaves each
// one's sequence of fmas as in a single pass.
template <int MT>
void q8_group(const uint8_t* W, size_t rb, int32_t g, int32_t n, int32_t nb, int32_t K, const float* X, float* Y,
              int64_t ldy) {
    // Activations that fit L1 beside the weights are read whole, each
    // weight row streamed on its own with the single-row prefetch.
    const bool whole = size_t(MT) * size_t(K) * sizeof(float) <= kWholeBytes;
    const int32_t chunk = whole ? nb : kChunk;
    const size_t ahead = whole ? kAhead : size_t(kChunk) * kBlockBytes;
    __m512 acc[kGroup][2 * MT];
    for (int i = 0; i < n; ++i)
        #pragma GCC unroll 16
        for (int j = 0; j < 2 * MT; ++j) acc[i][j] = _mm512_setzero_ps();
    for (int32_t c = 0; c < nb; c += chunk) {
        const int32_t e = std::min(nb, c + chunk);
        for (int i = 0; i < n; ++i) q8_chunk<MT>(W + size_t(g + i) * rb, c, e, K, X, acc[i], ahead);
    }
    for (int i = 0; i < n; ++i)
        #pragma GCC unroll 16
        for (int m = 0; m < MT; ++m) Y[m * ldy + g + i] = finish(acc[i][2 * m], acc[i][2 * m + 1]);
}

void q8_rows(const uint8_t* W, int32_t r0, int32_t r1, int32_t K, const float* X, int32_t M, float* Y, int64_t ldy) {
    const int32_t nb = K / kBlock;
    const size_t rb = size_t(nb) * kBlockBytes;
    if (M == 1) {
        for (int32_t r = r0; r < r1; ++r) Y[r] = q8_one(W + size_t(r) * rb, nb, X);
        return;
    }
    using Tile = void (*)(const uint8_t*, size_t, int32_t, int32_t, int32_t, int32_t, const float*, float*, int64_t);
    static constexpr Tile tiles[kTile + 1] = {nullptr,     q8_group<1>, q8_group<2>, q8_group<3>, q8_group<4>,
                                              q8_group<5>, q8_group<6>, q8_group<7>, q8_group<8>};
    for (int32_t g = r0; g < r1; g += kGroup) {
        const int32_t n = std::min<int32_t>(kGroup, r1 - g);
        for (int32_t m = 0; m < M; m += kTile) {
            const int mt = int(std::min<int32_t>(kTile, M - m));
            tiles[mt](W, rb, g, n, nb, K, X + size_t(m) * size_t(K), Y + m * ldy, ldy);
        }
    }
}

// F32 rows in the AVX2 kernel's order: 32 weights at a time into four
// eight-lane sums (two zmm), the K mod 32 tail added after them in order.
// Chunks of activations and groups of weight rows as for Q8_0.
template <int MT>
void f32_chunk(const float* w, int32_t k0, int32_t k1, int32_t K, const float* X, __m512* acc) {
    __m512 a[MT][2];
    #pragma GCC unroll 16
    for (int m = 0; m < MT; ++m) {
        a[m][0] = acc[2 * m];
        a[m][1] = acc[2 * m + 1];
    }
    for (int32_t k = k0; k < k1; k += kBlock) {
        _mm_prefetch(reinterpret_cast<const char*>(w + k + kChunk * kBlock), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(w + k + kChunk * kBlock + 16), _MM_HINT_T0);
        const __m512 w0 = _mm512_loadu_ps(w + k), w1 = _mm512_loadu_ps(w + k + 16);
        #pragma GCC unroll 16
        for (int m = 0; m < MT; ++m) {
            const float* x = X + size_t(m) * size_t(K) + k;
            a[m][0] = _mm512_fmadd_ps(w0, _mm512_loadu_ps(x), a[m][0]);
            a[m][1] = _mm512_fmadd_ps(w1, _mm512_loadu_ps(x + 16), a[m][1]);
        }
    }
    #pragma GCC unroll 16
    for (int m = 0; m < MT; ++m) {
        acc[2 * m] = a[m][0];
        acc[2 * m + 1] = a[m][1];
    }
}

template <int MT>
void f32_group(const float* rows, int32_t g, int32_t n, int32_t K, const float* X, float* Y, int64_t ldy) {
    const int32_t body = K / kBlock * kBlock;
    __m512 acc[kGroup][2 * MT];
    for (int i = 0; i < n; ++i)
        #pragma GCC unroll 16
        for (int j = 0; j < 2 * MT; ++j) acc[i][j] = _mm512_setzero_ps();
    for (int32_t c = 0; c < body; c += kChunk * kBlock) {
        const int32_t e = std::min(body, c + kChunk * kBlock);
        for (int i = 0; i < n; ++i) f32_chunk<MT>(rows + size_t(g + i) * size_t(K), c, e, K, X, acc[i]);
    }
    for (int i = 0; i < n; ++i) {
        const float* w = rows + size_t(g + i) * size_t(K);
        #pragma GCC unroll 16
        for (int m = 0; m < MT; ++m) {
            float total = finish(acc[i][2 * m], acc[i][2 * m + 1]);
            const float* x = X + size_t(m) * size_t(K);
            for (int32_t t = body; t < K; ++t) total = std::fma(w[t], x[t], total);
            Y[m * ldy + g + i] = total;
        }
    }
}

void f32_rows(const uint8_t* W, int32_t r0, int32_t r1, int32_t K, const float* X, int32_t M, float* Y,
              int64_t ldy) {
    if (M == 1)
        if (const WideRowsKernel one = wide_rows_kernel_avx2(kGgmlF32)) return one(W, r0, r1, K, X, M, Y, ldy);
    using Tile = void (*)(const float*, int32_t, int32_t, int32_t, const float*, float*, int64_t);
    static constexpr Tile tiles[kTile + 1] = {nullptr,      f32_group<1>, f32_group<2>, f32_group<3>, f32_group<4>,
                                              f32_group<5>, f32_group<6>, f32_group<7>, f32_group<8>};
    const float* rows = reinterpret_cast<const float*>(W);
    for (int32_t g = r0; g < r1; g += kGroup) {
        const int32_t n = std::min<int32_t>(kGroup, r1 - g);
        for (int32_t m = 0; m < M; m += kTile)
            tiles[std::min<int32_t>(kTile, M - m)](rows, g, n, K, X + size_t(m) * size_t(K), Y + m * ldy, ldy);
    }
}

bool cpu_has_avx512() {
    static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                            __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
    return has;
}

} // namespace

WideRowsKernel wide_rows_kernel_avx512(uint32_t type) {
    // Only beside the AVX2 build, which takes the single rows.
    if (!cpu_has_avx512() || !wide_rows_kernel_avx2(type)) return nullptr;
    return type == kGgmlQ8_0 ? q8_rows : type == kGgmlF32 ? f32_rows : nullptr;
}

} // namespace vm::zov4

#if defined(__clang__)
#pragma clang attribute pop
#endif
