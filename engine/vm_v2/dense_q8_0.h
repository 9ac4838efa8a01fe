#pragma once
// Q8_0 rows against one vector with 512-bit vectors, four rows per pass: each
// row keeps the four single-precision fma lanes, their reduction and the
// per-block scaling of the engine's gemv kernels, in one 128-bit lane of the
// vector, so every result has the bits vm::apex::fused_q_gemv gives it. On
// CPUs without AVX-512 (F, BW, VBMI) nothing here runs and callers use the
// gemv kernels.
#include <cstdint>

namespace vivirov::dense {

// Whether this CPU runs q8_0_rows_wide.
bool q8_0_wide_available();

// y[i] = row i · x for i < rows (row i at W + i·row_bytes, k columns, k a
// positive multiple of 32). Only when q8_0_wide_available().
void q8_0_rows_wide(const uint8_t* W, uint64_t row_bytes, int32_t rows, const float* x, int32_t k, float* y);

} // namespace vivirov::dense
