#pragma once
// Q8_0 rows against one vector with 512-bit vectors, four rows per pass: each
// row keeps the four single-precision fma lanes, their reduction and the
// per-block scaling of the other kernel builds in one 128-bit lane of the
// vector, so every result has their bits. x86-64 only; only the AVX-512
// kernel table calls it, on CPUs with AVX-512 F, BW, VL and VBMI.
#include <cstdint>

namespace vm {

// y[i] = row i · x for i < rows (row i at W + i·row_bytes, k columns, k a
// positive multiple of 32, row_bytes under 2^29).
void q8_0_rows_avx512(const uint8_t* W, uint64_t row_bytes, int32_t rows, const float* x, int32_t k, float* y);

} // namespace vm
