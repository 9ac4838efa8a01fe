#pragma once
// 2-bit asymmetric quantisation of one KV row with its largest-magnitude
// positions kept in half precision ("outliers by position").
//
// One row of d values with n outliers is stored as ceil(d / 4) code bytes
// (value i in bits 2(i mod 4) … of byte i / 4), an f32 scale and zero point,
// n ascending u16 positions and their n f16 values.
#include <cstdint>

namespace kivi {

struct PosCodec {
    // Encodes x[0 … d) with 0 ≤ n ≤ d outliers. `codes` is fully rewritten.
    static void quant(const float* x, int d, int n, uint8_t* codes, float& scale, float& zero,
                      uint16_t* positions, uint16_t* values);
};

// Reads an encoded row back: fma(scale, code, zero), then the outliers.
void decode_row(const uint8_t* codes, float scale, float zero, const uint16_t* positions,
                const uint16_t* values, int d, int n, float* out);

struct Params {
    int n_outliers = 0;
    int window = 0;
};

// KIVI_FRAC (fraction of head_dim kept as outliers, 0.08 unless in (0, 1]) and
// KIVI_WINDOW (recent positions kept in f16, 128 by default, 0 … min(n_ctx, ctx)).
Params params_from_env(int head_dim, int n_ctx, int ctx);

} // namespace kivi
