#pragma once
// CPU matrix products straight from GGML-encoded weights. W is N rows of K
// elements (row r at W + r × row bytes, see ggml_blocks.h); x has K floats; a
// batch X has M rows of K floats (row b at X + b·K).
//   gemv: y[r]  = Σk W[r][k]·x[k]
//   gemm: Y[b][r] = Σk W[r][k]·X[b][k], stored at Y + b·ldy' + y_off + r,
//         with ldy' = ldy, or N when ldy < 0.
// Types: 0 F32, 1 F16, 6 Q5_0, 8 Q8_0, 12 Q4_K, 13 Q5_K, 14 Q6_K; for block
// types K must be a whole number of blocks. F16 weights are widened exactly.
//
// The matrix kernels return true when the whole output was written, and false
// — writing nothing — when an argument is bad: M, N or K below 1, a null
// pointer, an unsupported type, K not a whole number of blocks, and for gemm
// y_off < 0 or ldy' < N + y_off.
//
// On the fused routes every output is computed wholly by one thread with a
// fixed order of operations, so results are bit-identical for any number of
// threads. The BLAS routes of gemm (see gemm_route.h) split the rows into
// fixed chunks, each multiplied by one single-threaded sgemm per column tile
// on one pool participant, the tiles accumulating in order: their sums are
// OpenBLAS's, and they too are the same for any pool size.
#include <cstdint>

namespace vm::apex {

// Single thread; reentrant.
bool fused_q_gemv(uint32_t type, const uint8_t* W, int32_t N, int32_t K, const float* x, float* y);

// The same bits as fused_q_gemv. Above 511 rows the rows are claimed `chunk`
// (at least 16) at a time by the participants of the process-wide pool.
bool fused_q_gemv_det(uint32_t type, const uint8_t* W, int32_t N, int32_t K, const float* x, float* y,
                      int32_t chunk);

// The same bits as fused_q_gemv, split into contiguous row ranges over the
// engine's parallel loop when N is large (1024 rows for Q4_K and Q6_K, 8192
// otherwise). The last argument is ignored.
bool fused_q_gemv_mt(uint32_t type, const uint8_t* W, int32_t N, int32_t K, const float* x, float* y,
                     int32_t unused);

// Y = X·Wᵀ for M activation rows, 16 rows per pass. Uses the process-wide
// pool and scratch; concurrent callers take turns.
bool fused_q_gemm_det(uint32_t type, const uint8_t* W, int32_t N, int32_t K, const float* X, int32_t M, float* Y,
                      int32_t chunk, int32_t ldy, int32_t y_off);

// One row against one vector: per-block partials summed in double for block
// types; F32 and F16 rows as in fused_q_gemv. 0 for any other type or K ≤ 0.
float row_block_dot(uint32_t type, const uint8_t* row, int32_t K, const float* x);

// One Q8_0 row against M activation rows into out[0 … M − 1]; each block is
// decoded once per call (as d × q) and used for every activation row.
void row_q8_0_x_batch(const uint8_t* row, int32_t K, const float* X, int32_t M, float* out);

// One row of any supported type against M activation rows; zeros for an
// unsupported type. With M = 1 it is row_block_dot.
void row_block_x_batch(uint32_t type, const uint8_t* row, int32_t K, const float* X, int32_t M, float* out);

} // namespace vm::apex
