// The Q8_0 row kernel for several activation rows, built for AVX-512 and chosen at
// run time. A tile is up to three weight rows by up to four activation rows:
// 24 accumulators (two per output, quarters 0|1 and 2|3 of the eight-lane
// order), six widened weight vectors and the two halves of one activation
// block fill the 32 registers. The activation halves are held in registers
// across the weight rows; left to itself the compiler folds them into each
// fma as a memory operand, and the loads, not the fmas, then set the pace.
#include <immintrin.h>

#include <algorithm>

#include "vm_cabi_v2/ggml_blocks.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx2,fma,f16c"))), \
                             apply_to = function)
#else
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl,avx2,fma,f16c")
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "zov4/zov4_tiled_rows.h"
#include "zov4/zov4_q8_blocks_avx512.h"

namespace vm::zov4 {

namespace {

constexpr int32_t kBlock = 32;
constexpr int32_t kBlockBytes = 34;
constexpr int kMaxRows = 3;                 // weight rows per tile
constexpr int kMaxActs = 4;                 // activation rows per tile
constexpr size_t kWholeBytes = 32 * 1024;   // a tile's activations read whole up to this size
constexpr int32_t kGroup = 12;              // weight rows sharing a chunk of activations
constexpr size_t kAhead = 2048;             // weight prefetch distance

using avx512::finish;
using avx512::widen;

// Blocks [b0, b1) of weight rows r … r + RW − 1 into MT activation rows'
// accumulators: zero when `first`, else carried in `saved`; finished into Y
// when `last`, else left in `saved`.
template <int RW, int MT>
void tile(const uint8_t* W, size_t rb, int32_t r, int32_t b0, int32_t b1, int32_t K, const float* X, __m512* saved,
          bool first, bool last, float* Y, int64_t ldy) {
    __m512 acc[RW][MT][2];
    #pragma GCC unroll 4
    for (int i = 0; i < RW; ++i)
        #pragma GCC unroll 4
        for (int m = 0; m < MT; ++m)
            for (int h = 0; h < 2; ++h)
                acc[i][m][h] = first ? _mm512_setzero_ps() : saved[(i * MT + m) * 2 + h];
    const uint8_t* rows[RW];
    #pragma GCC unroll 4
    for (int i = 0; i < RW; ++i) rows[i] = W + size_t(r + i) * rb;
    for (int32_t b = b0; b < b1; ++b) {
        __m512 w[RW][2];
        #pragma GCC unroll 4
        for (int i = 0; i < RW; ++i) {
            const uint8_t* block = rows[i] + size_t(b) * kBlockBytes;
            if ((b & 1) == 0) _mm_prefetch(reinterpret_cast<const char*>(block + kAhead), _MM_HINT_T0);
            widen(block, w[i][0], w[i][1]);
        }
        const float* xb = X + size_t(b) * kBlock;
        #pragma GCC unroll 4
        for (int m = 0; m < MT; ++m) {
            __m512 x0 = _mm512_loadu_ps(xb + size_t(m) * size_t(K));
            __m512 x1 = _mm512_loadu_ps(xb + size_t(m) * size_t(K) + 16);
            // Keeps the halves in registers for all the weight rows.
            __asm__("" : "+v"(x0), "+v"(x1));
            #pragma GCC unroll 4
            for (int i = 0; i < RW; ++i) {
                acc[i][m][0] = _mm512_fmadd_ps(w[i][0], x0, acc[i][m][0]);
                acc[i][m][1] = _mm512_fmadd_ps(w[i][1], x1, acc[i][m][1]);
            }
        }
    }
    #pragma GCC unroll 4
    for (int i = 0; i < RW; ++i)
        #pragma GCC unroll 4
        for (int m = 0; m < MT; ++m) {
            if (last)
                Y[m * ldy + r + i] = finish(acc[i][m][0], acc[i][m][1]);
            else
                for (int h = 0; h < 2; ++h) saved[(i * MT + m) * 2 + h] = acc[i][m][h];
        }
}

using Tile = void (*)(const uint8_t*, size_t, int32_t, int32_t, int32_t, int32_t, const float*, __m512*, bool, bool,
                      float*, int64_t);

template <int RW>
constexpr Tile tiles_of[kMaxActs + 1] = {nullptr, tile<RW, 1>, tile<RW, 2>, tile<RW, 3>, tile<RW, 4>};

// Weight rows per tile for the n rows left: threes, with a remainder of
// four taken as two and two.
int rows_in_tile(int32_t n) { return n == kMaxRows + 1 ? 2 : int(std::min<int32_t>(n, kMaxRows)); }

void q8_rows(const uint8_t* W, int32_t r0, int32_t r1, int32_t K, const float* X, int32_t M, float* Y, int64_t ldy) {
    if (M == 1) {
        if (const WideRowsKernel one = wide_rows_kernel(kGgmlQ8_0)) one(W, r0, r1, K, X, M, Y, ldy);
        return;
    }
    const int32_t nb = K / kBlock;
    const size_t rb = size_t(nb) * kBlockBytes;
    alignas(64) __m512 saved[kGroup * kMaxActs * 2];
    for (int32_t m0 = 0; m0 < M; m0 += kMaxActs) {
        const int mt = int(std::min<int32_t>(kMaxActs, M - m0));
        const float* Xt = X + size_t(m0) * size_t(K);
        float* Yt = Y + m0 * ldy;
        // Activations that do not fit L1 beside the weights are taken a
        // chunk of blocks at a time for a group of weight rows.
        const size_t tile_bytes = size_t(mt) * size_t(K) * sizeof(float);
        const int32_t chunk = tile_bytes <= kWholeBytes ? nb : std::max<int32_t>(1, int32_t(kWholeBytes / (size_t(mt) * kBlock * sizeof(float))));
        for (int32_t g = r0; g < r1; g += kGroup) {
            const int32_t ge = std::min(r1, g + kGroup);
            for (int32_t c = 0; c < nb; c += chunk) {
                const int32_t ce = std::min(nb, c + chunk);
                __m512* s = saved;
                for (int32_t r = g; r < ge;) {
                    const int rw = rows_in_tile(ge - r);
                    const Tile t = rw == kMaxRows ? tiles_of<kMaxRows>[mt] : rw == 2 ? tiles_of<2>[mt] : tiles_of<1>[mt];
                    t(W, rb, r, c, ce, K, Xt, s, c == 0, ce == nb, Yt, ldy);
                    s += rw * mt * 2;
                    r += rw;
                }
            }
        }
    }
}

bool cpu_has_avx512() {
    static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                            __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
    return has;
}

} // namespace

WideRowsKernel tiled_rows_kernel(uint32_t type) {
    // Beside the wide-row kernels only, whose bits it shares and which take
    // the single rows.
    if (type != kGgmlQ8_0 || !cpu_has_avx512() || !wide_rows_kernel_avx512(type)) return nullptr;
    return q8_rows;
}

} // namespace vm::zov4

#if defined(__clang__)
#pragma clang attribute pop
#endif
