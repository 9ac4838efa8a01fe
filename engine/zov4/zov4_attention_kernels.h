#pragma once
// Free numeric building blocks of a DeepSeek-V4 attention block. They touch
// only their arguments (and their own scratch), so any thread may call them.
#include <cstdint>

namespace vm::zov4 {

// YaRN-scaled rotation of the last `rot` values of every row. Reads
// tokens × rows_per_token rows of `width` floats (row r of token t at
// (t·rows_per_token + r)·width) and writes the same shape to out, which must
// not overlap in. Mode 0 pairs adjacent values; any other mode pairs
// (i, i + rot/2). An odd last tail value is copied.
void rope_tail(float* out, const float* in, const int* positions, int64_t width, int64_t rows_per_token,
               int64_t tokens, int32_t rot, int32_t mode, int32_t orig_ctx, float base, float freq_scale,
               float ext_factor, float attn_factor, float beta_fast, float beta_slow);

// Rounds the unrotated first width − rot values of each row, in place, to a
// per-64-block power-of-two scale times an FP8 E4M3 value (ties to the even
// code). Rows are left alone unless width − rot is a positive multiple of 64.
void fp8_kv_quantize(float* rows, int64_t width, int64_t rot, int64_t count);

// Attention with one sink logit per head: out[t,h,·] = Σj w_j·v[j,·] where
// the softmax over the scaled, masked scores also counts exp(sink). mask
// (n_q × n_k) and sinks (heads) may be null. A query with nothing to attend
// to gets a zero row.
void mha_with_sinks(const float* q, const float* k, const float* v, const float* mask, const float* sinks,
                    float* out, int64_t d, int64_t heads, int64_t n_q, int64_t n_k, float scale);

} // namespace vm::zov4

namespace vm::zov4 {

// Pools nb = n div r blocks of projected values and gates (n rows of C' =
// 2C when r = 4, else C) into compressed rows: gate + ape[t mod r] scores, a
// per-channel softmax over the block's window (with r = 4 the previous
// block's first-half columns and this block's second-half columns), RMS
// normalisation with eps, the norm weight, and the rotary tail at
// block_pos[b]. pooled_out and normed_out (nb × C, optional) receive the
// rows before normalisation and before the weight.
void compressor_prefill_proj(const float* kv, const float* gate, const float* ape, const float* norm,
                             const int* block_pos, float* out, int64_t C, int64_t n, int r, int32_t rot,
                             int32_t mode, int32_t orig_ctx, float base, float freq_scale, float ext_factor,
                             float attn_factor, float beta_fast, float beta_slow, float eps, float* pooled_out,
                             float* normed_out);

// Indexer block scores of n queries against nb compressed keys:
// score[t][b] = Σh max(q_rot[t,h]·key[b], 0)·w[t][h] + visible[t][b], with
// q = wq_b·qlat[t] rotated at positions[t] and w = w_proj·x[t] / √(Hi·Di).
void indexer_scores_prefill(const float* x, const float* qlat, const float* keys, const float* wq_b,
                            const float* w_proj, const int* positions, const float* visible, float* scores,
                            int64_t E, int64_t Q, int64_t Hi, int64_t Di, int64_t n, int64_t nb, int32_t rot,
                            int32_t mode, int32_t orig_ctx, float base, float freq_scale, float ext_factor,
                            float attn_factor, float beta_fast, float beta_slow);

// Keep flags of the k best of n scores (order is n ints of scratch). Up to
// 128 scores a selection scan keeps the lower index on ties; above, a heap
// partial sort.
void topk_keep_mask_(int64_t n, int k, const float* scores, char* keep, int* order);

} // namespace vm::zov4
