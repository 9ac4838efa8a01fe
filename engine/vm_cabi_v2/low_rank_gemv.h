#pragma once
// Low-rank expert products on om2 packs, y = U · (S ⊙ (Vᵀ · x)) with U
// rows × rank and V cols × rank (row-major).
//
// The "_det" products give the same bits for any pool size and any BLAS
// thread count: each output element is summed by one thread in a fixed
// order. Rank 64 uses four fused lanes reduced as (l0 + l1) + (l2 + l3);
// other ranks add rounded products in order and fuse the last rank mod 4
// terms. Outputs of 256 rows or more are shared out on the deterministic
// pool in chunks of 64 rows.
#include <cstdint>

#include "om2_pack.h"

namespace vm::apex {

// scratch: at least rank floats, or null (a stack array up to rank 512,
// a heap one above).
void dual_gemv_f32_det(const float* U, const float* V, const float* S, int rows, int cols, int rank,
                       const float* x, float* y, float* scratch);

// Up and gate of one expert on one x; scratch: rank1 + rank2 floats or null.
void dual_gemv_f32_pair_det(const float* U1, const float* V1, const float* S1, const float* U2, const float* V2,
                            const float* S2, int rows, int cols, int rank1, int rank2, const float* x, float* y1,
                            float* y2, float* scratch);

// y[r] = U row r · t for every row (zeros for rank < 1).
void dual_gemv_U_rows_det(const float* U, const float* t, int rows, int rank, float* y);

// As dual_gemv_f32_det with the last step done by BLAS (its summation order).
void dual_gemv_f32(const float* U, const float* V, const float* S, int rows, int cols, int rank, const float* x,
                   float* y, float* scratch);

// y = low-rank product; with plus: y += weight · plus, weight = alpha when
// alpha ≥ 0, else the residual-energy rule of the EVS settings (fixed
// alpha, or the low-rank RMS · lambda over the residual's RMS clamped to
// 0.05…8), then the result's RMS capped at rho times the low-rank RMS.
// Without plus the RMS is capped at rho times the RMS of x.
void dual_gemv_plus(const float* U, const float* V, const float* S, int rows, int cols, int rank, const float* x,
                    const float* plus, float* y, float* scratch, float alpha);

// The pack's low-rank product plus its dequantised int8 residual, weighted
// by dual_gemv_plus's rule. Groups of the residual run over the flattened
// rows; a group without a scale uses 1/7.
void om2_hybrid_gemv(const Om2Pack& pack, const float* x, float* y);

// sqrt(Σv²/n): four fused lanes over the first 4·⌊n/4⌋ values widened to
// double, the rest added in double (0 for n < 1).
double rms_f32(const float* v, int n);

} // namespace vm::apex

namespace vm {

// y (M floats) = A · x, A M × N row-major, one BLAS call.
void gemv_amx(const float* A, const float* x, float* y, int M, int N);

} // namespace vm
