#pragma once
// Which route the batched matrix product takes for a shape, and the three
// per-process switches behind it, each read from the environment once, on
// the first call that reaches its test:
//   VIVIROV_AMX_FULL   on only when set with first character '1' (default off)
//   VIVIROV_AMX_PC     off only when set with first character '0' (default on)
//   VIVIROV_QK_AMX_PC  off when set to exactly "0", else follows VIVIROV_AMX_PC
// The "amx" routes dequantise the weights (whole, or tile by tile) and hand
// them to BLAS sgemm.
#include <cstdint>

namespace vm::apex {

enum class GemmRoute {
    gemv,       // one activation row: the deterministic matrix-vector product
    f32_sgemm,  // F32 weights, N ≥ 64: sgemm straight on W
    amx_full,   // Q8_0: the whole matrix dequantised, sgemm per row chunk
    amx_pc,     // Q8_0: dequantised tiles, sgemm per tile
    qk_pc,      // K-quants: dequantised tiles, sgemm per tile
    fused_rows, // everything else: fused row kernels on the pool
};

// The route for a product of an N × K matrix of `type` with M activation rows
// (batches above 16 run in groups of 16, which take the same route). The
// arguments are assumed valid.
GemmRoute gemm_route(uint32_t type, int32_t N, int32_t K, int32_t M);

const char* gemm_route_name(GemmRoute route);

} // namespace vm::apex
