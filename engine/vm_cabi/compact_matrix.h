#pragma once
// Compact weight matrices for matrix-vector products against 8-bit
// activations: ternary weights (2 bits each) and 1-bit weights with a second
// 1-bit residual over selected input columns. Integer dot products are exact,
// so results do not depend on how rows are split across threads.
#include <cstdint>
#include <vector>

namespace vm {

// Row r starts at r × row_bytes; byte k holds columns 4k … 4k+3, column 4k+e in
// bits 2e, 2e+1. Code 1 means +1, 2 means −1, 0 and 3 mean 0.
struct TernMatrix {
    int32_t rows = 0;
    int32_t cols = 0;
    int32_t padded_cols = 0; // cols rounded up to a multiple of 16
    int32_t row_bytes = 0;   // at least padded_cols / 4
    std::vector<uint8_t> packed;
    std::vector<float> row_scale;
};

// Element j of a row is bit j mod 64 of word j / 64; set means +1, clear −1.
// The residual slot s reads input column perm[s].
struct BitMatrix {
    int32_t rows = 0;
    int32_t n_main = 0;
    int32_t n_salient = 0;
    int32_t main_words = 0;
    int32_t salient_words = 0;
    std::vector<float> main_scale, salient_scale;
    std::vector<uint64_t> main_bits, salient_bits;
    std::vector<int32_t> perm;
};

// Decode tables, filled before main() runs and read-only afterwards.
// vm_sign[b][k] = +1 when bit k of b is set, else −1.
extern int8_t vm_sign[256][8];
// tern_lut[b][e] = the weight of the 2-bit code (b >> 2e) & 3.
extern int8_t tern_lut[256][4];

// Rows are split into 64 chunks (one chunk below 64 rows).
int compact_chunks(int32_t rows);

// y[r] = row_scale[r] × s × Σ w·xq over the padded row.
void matvec_ternary_mt_s(const TernMatrix& m, float s, const int8_t* xq, float* y);
// y[r] = main_scale[r] × s × Σ ±xq + s × salient_scale[r] × Σ ±xq_perm.
void matvec_w1a8_mt_s(const BitMatrix& m, float s, const int8_t* xq, const int8_t* xq_perm, float* y);

} // namespace vm
