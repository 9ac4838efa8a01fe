#pragma once
// The pooling arithmetic shared by the prefill and decode compressor routes,
// which must give the same rows from the same projections.
#include <cstdint>

namespace vm::zov4 {

struct RotaryArgs {
    int32_t rot = 0, mode = 2, orig_ctx = 0;
    float base = 10000.0f, freq_scale = 1.0f, ext_factor = 1.0f, attn_factor = 1.0f;
    float beta_fast = 32.0f, beta_slow = 1.0f;
};

// nb = n div r rows into out (nb × C). `pooled` receives the pooled rows and
// `finished` is nb × C scratch; normed_out is optional.
void compressor_pool(const float* kv, const float* gate, const float* ape, const float* norm, const int* block_pos,
                     float* out, int64_t C, int64_t n, int r, const RotaryArgs& rope, float eps, float* pooled,
                     float* finished, float* normed_out);

} // namespace vm::zov4
