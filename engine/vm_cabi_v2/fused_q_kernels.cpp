#include "fused_q_kernels.h"

#include <cblas.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <vector>

#include "amx_tile_scratch.h"
#include "common/thread_budget.h"
#include "det_pool.h"
#include "gemm_route.h"
#include "ggml_blocks.h"
#include "kernel_ops.h"
#include "vm_cabi/parallel_for.h"

namespace vm::apex {

namespace {

constexpr int32_t kBatchRows = 16;

bool valid_matrix(uint32_t type, const uint8_t* W, int32_t N, int32_t K, const void* x, const void* y) {
    if (N < 1 || K < 1 || !W || !x || !y || !ggml_supported(type)) return false;
    return K % int32_t(ggml_block(type).elements) == 0;
}

// Rows [r0, r1) by the single-vector rules: F32 and F16 lanes, Q8_0 with the
// scale per block, other block types by per-block partials in double.
void gemv_rows(const KernelOps& ops, uint32_t type, const uint8_t* W, int32_t r0, int32_t r1, int32_t K,
               const float* x, float* y) {
    const uint64_t rb = ggml_row_bytes(type, uint64_t(K));
    ops.rows_dot(type, W + uint64_t(r0) * rb, rb, r1 - r0, x, K, y + r0);
}

float row_dot(const KernelOps& ops, uint32_t type, const uint8_t* row, int32_t K, const float* x) {
    if (K <= 0) return 0.0f;
    switch (type) {
    case kGgmlF32: return ops.f32_row_dot(reinterpret_cast<const float*>(row), x, K);
    case kGgmlF16: return ops.f16_row_dot(row, x, K);
    case kGgmlQ5_0:
    case kGgmlQ8_0:
    case kGgmlQ4_K:
    case kGgmlQ5_K:
    case kGgmlQ6_K: return ops.block_row_dot(type, row, x, K);
    default: return 0.0f;
    }
}

void row_batch(const KernelOps& ops, uint32_t type, const uint8_t* row, int32_t K, const float* X, int32_t M,
               float* out) {
    if (M <= 0) return;
    if (type == kGgmlQ8_0) {
        if (M == 1) out[0] = ops.q8_0_row_dot(row, X, K);
        else ops.block_row_batch(type, row, K, X, M, out);
        return;
    }
    if (M == 1) {
        out[0] = row_dot(ops, type, row, K, X);
        return;
    }
    switch (type) {
    case kGgmlQ5_0:
    case kGgmlQ4_K:
    case kGgmlQ5_K:
    case kGgmlQ6_K: ops.block_row_batch(type, row, K, X, M, out); return;
    case kGgmlF32:
    case kGgmlF16:
        // Each activation row by itself, with the single-vector arithmetic.
        for (int32_t b = 0; b < M; ++b) out[b] = row_dot(ops, type, row, K, X + size_t(b) * size_t(K));
        return;
    default: std::fill(out, out + M, 0.0f);
    }
}

// Rows claimed from a shared counter, `per_claim` at a time.
template <class Body>
void claim_rows(int32_t N, int32_t per_claim, Body body) {
    std::atomic<int32_t> next{0};
    det_pool_global()->parallel([&](int, int) {
        for (int32_t s; (s = next.fetch_add(per_claim, std::memory_order_relaxed)) < N;)
            body(s, std::min(N, s + per_claim));
    });
}

// Rows of W per BLAS call on the sgemm routes. Fixed, so each output's sum
// has the same shape whatever the pool size; small enough that a
// participant's dequantised tile stays in its own cache.
constexpr int32_t kSgemmRows = 64;

// Y[b][y_off + r] for the rows of one chunk: Y = X·Wᵀ with W the chunk's
// rows (row stride ldw), X the matching columns (row stride ldx). OpenBLAS
// runs on one thread (see thread_budget.h): the pool is the parallelism.
void sgemm_chunk(const float* Wc, int32_t ldw, int32_t rows, int32_t kc, const float* X, int32_t ldx, int32_t M,
                 float beta, float* C, int32_t ldc) {
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, M, rows, kc, 1.0f, X, ldx, Wc, ldw, beta, C, ldc);
}

using Decode = void (*)(const uint8_t*, float*);

Decode block_decoder(const KernelOps& ops, uint32_t type) {
    return type == kGgmlQ8_0 ? ops.deq_q8_0 : type == kGgmlQ4_K ? ops.deq_q4_k : type == kGgmlQ5_K ? ops.deq_q5_k : ops.deq_q6_k;
}

// Dequantises columns [k0, k0 + kc) of rows [a, b) into dst (row stride ld).
void dequant_rows(Decode decode, uint32_t type, const uint8_t* W, int32_t K, int32_t a, int32_t b, int32_t k0,
                  int32_t kc, float* dst, int32_t ld) {
    const GgmlBlock g = ggml_block(type);
    const uint64_t rb = ggml_row_bytes(type, uint64_t(K));
    for (int32_t i = a; i < b; ++i) {
        const uint8_t* row = W + uint64_t(i) * rb + uint64_t(k0 / int32_t(g.elements)) * g.bytes;
        float* out = dst + size_t(i - a) * size_t(ld);
        for (int32_t c = 0; c < kc; c += int32_t(g.elements)) decode(row + uint64_t(c / int32_t(g.elements)) * g.bytes, out + c);
    }
}

// Row chunks claimed by the pool's participants; body(participant, a, b).
template <class Body>
void claim_chunks(int32_t N, Body body) {
    std::atomic<int32_t> next{0};
    det_pool_global()->parallel([&](int p, int) {
        for (int32_t s; (s = next.fetch_add(kSgemmRows, std::memory_order_relaxed)) < N;)
            body(p, s, std::min(N, s + kSgemmRows));
    });
}

// F32 weights: each chunk's sgemm straight on W.
void sgemm_f32(const float* W, int32_t N, int32_t K, const float* X, int32_t M, float* Y, int32_t ldy,
               int32_t y_off) {
    claim_chunks(N, [&](int, int32_t a, int32_t b) {
        sgemm_chunk(W + size_t(a) * size_t(K), K, b - a, K, X, K, M, 0.0f, Y + size_t(y_off) + size_t(a), ldy);
    });
}

// The dequantising routes: each chunk's rows decoded Kt columns at a time
// into the participant's own tile, then multiplied, the column tiles
// accumulating in order. With Kt = K (the whole matrix) the chunk rows are
// decoded into the shared scratch instead, where they stay.
void tiled(const KernelOps& ops, uint32_t type, const uint8_t* W, int32_t N, int32_t K, const float* X, int32_t M,
           float* Y, int32_t ldy, int32_t y_off, int32_t Kt, bool whole, AmxTileScratch& s) {
    const Decode decode = block_decoder(ops, type);
    if (whole) s.ensure(size_t(K) * size_t(N), 0);
    else s.ensure_tiles(det_pool_global()->participants(), size_t(kSgemmRows) * size_t(Kt));
    claim_chunks(N, [&](int p, int32_t a, int32_t b) {
        float* tile = whole ? s.weights.data() + size_t(a) * size_t(K) : s.tiles[size_t(p)].data();
        for (int32_t k0 = 0; k0 < K; k0 += Kt) {
            const int32_t kc = std::min(Kt, K - k0);
            dequant_rows(decode, type, W, K, a, b, k0, kc, tile, Kt);
            sgemm_chunk(tile, Kt, b - a, kc, X + k0, K, M, k0 == 0 ? 0.0f : 1.0f, Y + size_t(y_off) + size_t(a), ldy);
        }
    });
}

// X (m rows of k) into the pair layout of KernelOps::rows_batch_pairs; an
// odd last row is paired with zeros.
void pack_pairs(const float* X, int32_t k, int32_t m, std::vector<float>& out) {
    const int32_t pairs = (m + 1) / 2;
    out.assign(size_t(pairs) * size_t(2 * k), 0.0f);
    for (int32_t b = 0; b < m; ++b) {
        const float* x = X + size_t(b) * size_t(k);
        float* dst = out.data() + size_t(8 * (b / 2) + 4 * (b & 1));
        for (int32_t i = 0; i < k; i += 4) std::memcpy(dst + 2 * size_t(i) * size_t(pairs), x + i, 16);
    }
}

// One group of at most 16 activation rows (M ≥ 2); arguments checked.
void gemm_group(const KernelOps& ops, uint32_t type, const uint8_t* W, int32_t N, int32_t K, const float* X,
                int32_t M, float* Y, int32_t chunk, int32_t ldy, int32_t y_off, AmxTileScratch& s) {
    switch (gemm_route(type, N, K, M)) {
    case GemmRoute::f32_sgemm: sgemm_f32(reinterpret_cast<const float*>(W), N, K, X, M, Y, ldy, y_off); return;
    case GemmRoute::amx_full: tiled(ops, type, W, N, K, X, M, Y, ldy, y_off, K, true, s); return;
    case GemmRoute::amx_pc: tiled(ops, type, W, N, K, X, M, Y, ldy, y_off, std::min(K, 2048), false, s); return;
    case GemmRoute::qk_pc:
        tiled(ops, type, W, N, K, X, M, Y, ldy, y_off, std::min(K, K >= 4096 ? 2048 : 1024), false, s);
        return;
    case GemmRoute::gemv:
    case GemmRoute::fused_rows: break;
    }
    int32_t per_claim = std::max<int32_t>(chunk, 8);
    if (N >= 1024) per_claim = std::max<int32_t>(per_claim, 64);
    if (N >= 4096) per_claim = std::max<int32_t>(per_claim, 128);
    const uint64_t rb = ggml_row_bytes(type, uint64_t(K));
    if (type != kGgmlF32 && type != kGgmlF16) {
        // Block types: the activation rows packed in pairs once, then each
        // claimed run of rows against all of them.
        const int32_t pairs = (M + 1) / 2;
        pack_pairs(X, K, M, s.pairs);
        claim_rows(N, per_claim, [&](int32_t a, int32_t b) {
            constexpr int32_t kRun = 64;
            float out[kRun * kBatchRows];
            for (int32_t r0 = a; r0 < b; r0 += kRun) {
                const int32_t n = std::min(kRun, b - r0);
                ops.rows_batch_pairs(type, W + uint64_t(r0) * rb, rb, n, s.pairs.data(), K, pairs, out);
                for (int32_t r = 0; r < n; ++r)
                    for (int32_t i = 0; i < M; ++i)
                        Y[size_t(i) * size_t(ldy) + size_t(y_off) + size_t(r0 + r)] = out[size_t(r) * size_t(2 * pairs) + size_t(i)];
            }
        });
        return;
    }
    claim_rows(N, per_claim, [&](int32_t a, int32_t b) {
        float out[kBatchRows];
        for (int32_t r = a; r < b; ++r) {
            row_batch(ops, type, W + uint64_t(r) * rb, K, X, M, out);
            for (int32_t i = 0; i < M; ++i) Y[size_t(i) * size_t(ldy) + size_t(y_off) + size_t(r)] = out[i];
        }
    });
}

} // namespace

bool fused_q_gemv(uint32_t type, const uint8_t* W, int32_t N, int32_t K, const float* x, float* y) {
    if (!valid_matrix(type, W, N, K, x, y)) return false;
    gemv_rows(kernel_ops(), type, W, 0, N, K, x, y);
    return true;
}

bool fused_q_gemv_det(uint32_t type, const uint8_t* W, int32_t N, int32_t K, const float* x, float* y,
                      int32_t chunk) {
    if (!valid_matrix(type, W, N, K, x, y)) return false;
    if (N <= 511) return fused_q_gemv(type, W, N, K, x, y);
    const KernelOps& ops = kernel_ops();
    claim_rows(N, std::max<int32_t>(chunk, 16),
               [&](int32_t a, int32_t b) { gemv_rows(ops, type, W, a, b, K, x, y); });
    return true;
}

bool fused_q_gemv_mt(uint32_t type, const uint8_t* W, int32_t N, int32_t K, const float* x, float* y, int32_t) {
    if (!valid_matrix(type, W, N, K, x, y)) return false;
    const bool kquant = type == kGgmlQ4_K || type == kGgmlQ6_K;
    if (N < (kquant ? 1024 : 8192)) return fused_q_gemv(type, W, N, K, x, y);
    const int32_t P = std::min(thread_budget(), 12);
    const int32_t per = (N + P - 1) / P;
    const KernelOps& ops = kernel_ops();
    vm::parallel_for(size_t(P), [&](size_t p) {
        const int32_t a = int32_t(p) * per;
        gemv_rows(ops, type, W, std::min(N, a), std::min(N, a + per), K, x, y);
    });
    return true;
}

bool fused_q_gemm_det(uint32_t type, const uint8_t* W, int32_t N, int32_t K, const float* X, int32_t M, float* Y,
                      int32_t chunk, int32_t ldy, int32_t y_off) {
    if (M < 1 || !valid_matrix(type, W, N, K, X, Y) || y_off < 0) return false;
    const int32_t ld = ldy < 0 ? N : ldy;
    if (int64_t(ld) < int64_t(N) + int64_t(y_off)) return false;

    AmxTileScratch& s = amx_tile_scratch();
    std::lock_guard<std::mutex> one_caller(s.mu);
    thread_budget(); // fixes OpenBLAS at one thread before any sgemm
    // One activation row: the deterministic gemv, staged when Y is offset or strided.
    auto one_row = [&](const float* x, float* y) {
        if (y_off == 0 && ld == N) return fused_q_gemv_det(type, W, N, K, x, y, chunk);
        s.ensure(0, size_t(N));
        if (!fused_q_gemv_det(type, W, N, K, x, s.outputs.data(), chunk)) return false;
        std::memcpy(y + y_off, s.outputs.data(), size_t(N) * 4);
        return true;
    };
    const KernelOps& ops = kernel_ops();
    for (int32_t g = 0; g < M; g += kBatchRows) {
        const int32_t m = std::min(kBatchRows, M - g);
        const float* Xg = X + size_t(g) * size_t(K);
        float* Yg = Y + size_t(g) * size_t(ld);
        if (m == 1) {
            if (!one_row(Xg, Yg)) return false;
        } else {
            gemm_group(ops, type, W, N, K, Xg, m, Yg, chunk, ld, y_off, s);
        }
    }
    return true;
}

float row_block_dot(uint32_t type, const uint8_t* row, int32_t K, const float* x) {
    return row_dot(kernel_ops(), type, row, K, x);
}

void row_q8_0_x_batch(const uint8_t* row, int32_t K, const float* X, int32_t M, float* out) {
    row_batch(kernel_ops(), kGgmlQ8_0, row, K, X, M, out);
}

void row_block_x_batch(uint32_t type, const uint8_t* row, int32_t K, const float* X, int32_t M, float* out) {
    row_batch(kernel_ops(), type, row, K, X, M, out);
}

} // namespace vm::apex
