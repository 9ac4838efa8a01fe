#pragma once
// Weight-row kernels eight lanes wide for the decode's row products, for
// Q8_0 and F32 rows: a Q8_0 block of 32 weights is widened once (scale ×
// code, exact in single precision) and multiplied into every activation row,
// eight lanes per fma, each row's lanes summed in a fixed order. Faster per
// byte than the engine's four-lane row dots, which kept the single-token
// decode from the memory bandwidth; the bits differ from them only by the
// order of the additions.
//
// Every output has the same bits whatever the number of activation rows and
// whichever build computes it: several rows are accumulated lane for lane
// as one row is, a weight block widened once for a tile of rows.
#include <cstdint>

namespace vm::zov4 {

// Rows [r0, r1) of the matrix W (rows of K weights; for Q8_0 K a multiple of
// 32) against M activation rows (row m at X + m·K): Y[m·ldy + r].
using WideRowsKernel = void (*)(const uint8_t* W, int32_t r0, int32_t r1, int32_t K, const float* X, int32_t M,
                                float* Y, int64_t ldy);

// The kernel for a GGML type (Q8_0 or F32), or null for another type, when
// the CPU lacks AVX2, FMA or F16C, or when the engine's kernels are forced to
// their portable build. The AVX-512 build where the CPU has it, else AVX2.
WideRowsKernel wide_rows_kernel(uint32_t type);

// Each build on its own, null where wide_rows_kernel would give none or the
// CPU lacks its instructions (AVX-512 F, BW, DQ and VL).
WideRowsKernel wide_rows_kernel_avx2(uint32_t type);
WideRowsKernel wide_rows_kernel_avx512(uint32_t type);

} // namespace vm::zov4
