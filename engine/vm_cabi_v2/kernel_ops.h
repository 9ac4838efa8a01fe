#pragma once
// The arithmetic cores of the dequantisers and the fused matrix kernels, in
// builds chosen at run time: AVX-512 (with VBMI), AVX2/FMA/F16C vector code,
// and a portable build (std::fma, scalar lanes). All keep the same lane
// assignment and reduction order — four single-precision fma lanes, lane j taking elements
// j, j + 4, …, reduced as (l0 + l1) + (l2 + l3) — so they give the same bits.
#include <cstdint>

namespace vm {

struct KernelOps {
    const char* name;
    // Decoders (whole blocks; F16 any count).
    void (*widen_f16)(const uint8_t* src, float* dst, uint64_t count);
    void (*deq_q5_0)(const uint8_t* block, float* out);
    void (*deq_q8_0)(const uint8_t* block, float* out);
    void (*deq_q4_k)(const uint8_t* block, float* out);
    void (*deq_q5_k)(const uint8_t* block, float* out);
    void (*deq_q6_k)(const uint8_t* block, float* out);
    // One row against one vector. F32 and F16 rows: lanes over the first
    // 4⌊k/4⌋ products, the rest added in double. Q8_0: the scale applied
    // once per block by fma into a single-precision total. Block types
    // (6, 8, 12, 13, 14): per-block lane partials summed in double.
    float (*f32_row_dot)(const float* row, const float* x, int32_t k);
    float (*f16_row_dot)(const uint8_t* row, const float* x, int32_t k);
    float (*q8_0_row_dot)(const uint8_t* row, const float* x, int32_t k);
    float (*block_row_dot)(uint32_t type, const uint8_t* row, const float* x, int32_t k);
    // One row against m ≥ 2 activation rows (X row b at X + b·k): each block
    // decoded once (Q8_0 as d × q), per-block lane partials added to out[b]
    // in single precision. Types 6, 8, 12, 13, 14.
    void (*block_row_batch)(uint32_t type, const uint8_t* row, int32_t k, const float* X, int32_t m,
                            float* out);
    // Rows [0, rows) of a matrix (row i at W + i·row_bytes) against one
    // vector, each with the bits of its single-row kernel above (F32, F16,
    // Q8_0 or block_row_dot).
    void (*rows_dot)(uint32_t type, const uint8_t* W, uint64_t row_bytes, int32_t rows, const float* x, int32_t k,
                     float* y);
    // Rows [0, rows) against 2·pairs activation rows (pairs 1-8) packed
    // two by two, interleaved every four elements: pair p's step i at
    // Xp + 8·(i·pairs + p), [row 2p: 4i … 4i + 3 | row 2p + 1: the same].
    // out[r·2·pairs + b] gets the bits block_row_batch gives row r. Types 6,
    // 8, 12, 13, 14.
    void (*rows_batch_pairs)(uint32_t type, const uint8_t* W, uint64_t row_bytes, int32_t rows, const float* Xp,
                             int32_t k, int32_t pairs, float* out);
    // Low-rank products. y[r] = U row r · t for rank-64 rows, four lanes.
    void (*u_rows64)(const float* U, const float* t, int32_t rows, float* y);
    // t[k] = S[k] · Σ_j V[j][k]·x[j] (V cols × rank), one fma chain per k in
    // increasing j.
    void (*project_v)(const float* V, const float* S, int32_t cols, int32_t rank, const float* x, float* t);
};

const KernelOps& portable_kernel_ops();
// The vector build, or null when this CPU lacks AVX2, FMA or F16C.
const KernelOps* avx2_kernel_ops();

// The 512-bit build, or null when this CPU lacks AVX-512 F, BW, VL, DQ or
// VBMI (or the AVX2 build).
const KernelOps* avx512_kernel_ops();

// The build in use: the widest one available unless a test forced another.
const KernelOps& kernel_ops();
// Forces `ops` (one of the tables above; null: back to the widest).
void force_kernel_ops(const KernelOps* ops);
void force_portable_kernels(bool on);

} // namespace vm
