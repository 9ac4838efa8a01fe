#pragma once
// A Q8_0 weight-row kernel eight lanes wide for the decode's row products:
// each 32-weight block is widened once (scale × code, exact in single
// precision) and multiplied into every activation row, eight lanes per fma,
// each row's lanes summed in a fixed order. Faster per byte than the engine's
// four-lane row dot, which kept the single-token decode from the memory
// bandwidth; the bits differ from it only by the order of the additions.
#include <cstdint>

namespace vm::zov4 {

// Rows [r0, r1) of the Q8_0 matrix W (rows of K weights, K a multiple of 32)
// against M activation rows (row m at X + m·K): Y[m·ldy + r].
using Q8RowsKernel = void (*)(const uint8_t* W, int32_t r0, int32_t r1, int32_t K, const float* X, int32_t M,
                              float* Y, int64_t ldy);

// The kernel, or null when the CPU lacks AVX2, FMA or F16C or the engine's
// kernels are forced to their portable build.
Q8RowsKernel q8_rows_kernel();

} // namespace vm::zov4
