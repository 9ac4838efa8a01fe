#pragma once
// Weight products of the decode, several at once in one job of the
// deterministic pool: each product multiplies a GGML-encoded matrix (N rows
// of K elements) by M activation rows, and all products' weight rows are
// claimed in cache-sized runs by the pool's participants. A weight row is
// read from memory once for all M activation rows: Q8_0 rows by the
// eight-lane row kernel where the CPU has one (zov4_wide_rows.h), other rows
// with M = 1 by the single-vector kernel (the bits of fused_q_gemv) and with
// more by the batch row kernel (row_block_x_batch). Every output is computed
// wholly on one thread, so the bits never depend on the pool's size.
//
// Small work runs on the calling thread: a pool hand-off costs more than it
// saves below a few tens of kilobytes of weights.
#include <cstdint>

namespace vm::zov4 {

struct RowProduct {
    uint32_t type = 0;           // GGML type of W
    const uint8_t* W = nullptr;  // N rows of K elements
    int32_t N = 0, K = 0;
    const float* X = nullptr;    // activation row b at X + b·K
    float* Y = nullptr;          // output row b at Y + b·ldy (N values)
    int64_t ldy = 0;             // 0: N
    int32_t rows = 0;            // activation rows of this product; 0: the call's M
};

// Runs every product for M activation rows (1 ≤ M). Returns false, writing
// nothing, when any product is malformed (bad sizes, a null pointer, an
// unsupported type, K not a whole number of blocks).
bool row_products(const RowProduct* products, int count, int32_t M);

inline bool row_product(const RowProduct& p, int32_t M) { return row_products(&p, 1, M); }

// For callers that split the work themselves: whether row_products would
// take p, and rows [a, b) of p for M activation rows (p.rows when set) on
// the calling thread, by the same kernels and so with the same bits.
bool row_product_valid(const RowProduct& p);
void row_product_range(const RowProduct& p, int32_t a, int32_t b, int32_t M);

} // namespace vm::zov4
