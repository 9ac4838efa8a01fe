#pragma once
// Low-rank expert products on om2 packs, in single precision with a fixed
// order of operations (four fused multiply-add lanes reduced as
// (l0 + l1) + (l2 + l3), the remainder added in order), rows split over the
// deterministic pool in chunks of 64 only above 255 rows: the same bits for
// any thread count.
#include <cstdint>

#include "om2_pack.h"

namespace vm::apex {

// y = U · diag(S) · Vᵀ · x, U rows × rank, V cols × rank (row-major).
// `extra`: caller scratch of at least rank floats, or null.
void dual_gemv_f32_det(const float* U, const float* V, const float* S, int rows, int cols, int rank,
                       const float* x, float* y, float* extra);

// Two such products on one x (up and gate of one expert); ranks packs rank a
// in the low and rank b in the high 32 bits. scratch: rank_a + rank_b floats
// or null.
void dual_gemv_f32_pair_det(const float* U_a, const float* V_a, const float* S_a, const float* U_b,
                            const float* V_b, const float* S_b, int rows, int cols, uint64_t ranks,
                            const float* x, float* y_a, float* y_b, float* scratch);

// y = U·diag(S)·Vᵀ·x, then with r: y += factor · r (factor = alpha when
// alpha ≥ 0, else the residual-energy rule of the EVS settings) and the rho
// cap on rms(y) relative to the low-rank rms; without r, the rho cap
// relative to rms(x).
void dual_gemv_plus(const float* U, const float* V, const float* S, int rows, int cols, int rank,
                    const float* x, const float* r, float alpha, float* y, float* extra);

// The pack's low-rank product plus its dequantised int8 residual, mixed by
// dual_gemv_plus with alpha −1.
void om2_hybrid_gemv(const Om2Pack& pack, const float* x, float* y);

// Root mean square with a double sum (0 for n < 1).
double rms_f32(const float* v, int n);

} // namespace vm::apex
