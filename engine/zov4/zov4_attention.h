#pragma once
// Free functions of the attention half of a DeepSeek-V4 layer: the rotary
// tail, FP8 rounding of key-value rows, attention with sinks, the
// compressor's pooling and the indexer's prefill scores. The model's own
// attention methods are members of ZOV4Forward (zov4_forward.h).
#include <cstdint>

namespace vm::zov4 {

// Rotates the last `rot` values of each row (tokens × rows_per_token rows of
// `width`, row r of token t at (t·rows_per_token + r)·width) at the token's
// position; out and in do not overlap.
void rope_tail(float* out, const float* in, const int* positions, int64_t width, int64_t rows_per_token,
               int64_t tokens, int rot, int mode, int orig_ctx, float base, float freq_scale, float ext_factor,
               float attn_factor, float beta_fast, float beta_slow);

// Rounds the first width − rot values of each of `count` rows through FP8
// E4M3, in place.
void fp8_kv_quantize(float* rows, int64_t width, int64_t rot, int64_t count);

// Multi-head attention of n_q queries over n_k shared key-value rows, with an
// additive mask (n_q × n_k, may be null) and one sink logit per head (may be
// null).
void mha_with_sinks(const float* q, const float* k, const float* v, const float* mask, const float* sinks, float* out,
                    int64_t d, int64_t heads, int64_t n_q, int64_t n_k, float scale);

// o = Σ (e[j] / den)·v_j over the keys j in [lo, hi) with e[j] ≠ 0, rows of
// d values; the AVX2/FMA build, or null where the CPU lacks it.
using WeightedRowsKernel = void (*)(const float* v, const double* e, double den, int64_t lo, int64_t hi, int64_t d,
                                    float* o);
WeightedRowsKernel avx2_weighted_rows();

// Pools nb = n / r blocks of projected values and gates into compressed rows;
// pooled_out and normed_out may be null.
void compressor_prefill_proj(const float* kv, const float* gate, const float* ape, const float* norm,
                             const int* block_pos, float* out, int64_t C, int64_t n, int r, int rot, int mode,
                             int orig_ctx, float base, float freq_scale, float ext_factor, float attn_factor,
                             float beta_fast, float beta_slow, float eps, float* pooled_out, float* normed_out);

// Indexer scores of n queries over nb compressed keys (n × nb).
void indexer_scores_prefill(const float* x, const float* qlat, const float* keys, const float* wq_b,
                            const float* w_proj, const int* positions, const float* visible, float* scores,
                            int64_t E, int64_t Q, int64_t Hi, int64_t Di, int64_t n, int64_t nb, int rot, int mode,
                            int orig_ctx, float base, float freq_scale, float ext_factor, float attn_factor,
                            float beta_fast, float beta_slow);

} // namespace vm::zov4
