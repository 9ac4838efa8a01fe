#pragma once
// The dense decode step's arithmetic on the CPU, in single precision: RMS
// norm, split-half rotary embedding, grouped-query attention over cached rows,
// SwiGLU and the greedy argmax. Pure functions, any thread.
#include <cstdint>
#include <vector>

namespace vivirov::dense {

// out[i] = x[i] × 1/sqrt(Σx²/n + eps) × w[i]; with a null w, out = x.
void rms_norm(const float* x, const float* w, int32_t n, float eps, float* out);

// Rotary embedding at position pos, split-half form: each of `heads` heads
// of width head_dim turns its pairs (i, i + head_dim/2) by pos ×
// base^(−2i/head_dim). The angles of one position serve every layer, so they
// are computed apart: cos and sin for i < head_dim/2. The rotation does
// nothing when head_dim < 2 or heads < 1.
struct RopeAngles {
    std::vector<float> cos, sin;
};
void rope_angles(int32_t head_dim, int32_t pos, float base, RopeAngles& out);
void rope(float* h, int32_t heads, int32_t head_dim, const RopeAngles& angles);

// out (n_head × head_dim) = softmax(q·kᵀ/sqrt(head_dim))·v per query head h,
// reading key/value head h / (n_head / n_head_kv) of rows t < T (row t at
// t × kv_dim, kv_dim = n_head_kv × head_dim). All-zero weights when their sum
// is not positive.
void attention(const float* q, const float* k_rows, const float* v_rows, int32_t T, int32_t n_head,
               int32_t n_head_kv, int32_t head_dim, float* out);
// The same for query heads [h0, h1) only, so that heads can be shared out.
void attention_heads(const float* q, const float* k_rows, const float* v_rows, int32_t T, int32_t n_head,
                     int32_t n_head_kv, int32_t head_dim, float* out, int32_t h0, int32_t h1);

// act[i] = gate[i] / (1 + exp(−gate[i])) × up[i].
void swiglu(const float* gate, const float* up, int32_t n, float* act);

// The first index of the largest value; 0 for fewer than two values.
int32_t argmax(const float* v, int32_t n);

} // namespace vivirov::dense
