#pragma once
// A Q8_0 row kernel for the decode's products of several activation rows
// (batched slots, the rows routed to one expert), which are bound by
// arithmetic, not by reading the weights. Each widened weight block serves a tile of activation rows
// and each activation vector loaded serves three weight rows, so a vector
// fma needs half a load instead of one. Every output is accumulated and
// reduced in the order of the single-row kernel (zov4_wide_rows.h) and has
// its bits, whatever the tile, the number of rows or the range asked for.
#include <cstdint>

#include "zov4_wide_rows.h"

namespace vm::zov4 {

// The kernel for a GGML type, or null: only Q8_0, only where the CPU has
// AVX-512 (F, BW, DQ, VL) and the engine's vector kernels are in use. One
// activation row goes to the wide-row kernel, which streams the weights.
WideRowsKernel tiled_rows_kernel(uint32_t type);

} // namespace vm::zov4
