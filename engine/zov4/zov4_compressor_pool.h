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

// compressor_pool for the blocks from first_block on only (rows of the
// earlier blocks in out, pooled and finished are left alone; their
// projections are not read except where a later block's window reaches).
void compressor_pool_from(const float* kv, const float* gate, const float* ape, const float* norm,
                          const int* block_pos, float* out, int64_t C, int64_t n, int r, const RotaryArgs& rope,
                          float eps, float* pooled, float* finished, float* normed_out, int64_t first_block);

// Compressed blocks of a retained history of n_hist rows whose first row is
// at position first_pos: blocks are numbered from position 0, so that rows
// rebuilt after the history slid equal the rows a prefill makes for the same
// blocks. Only blocks whose inputs all lie in the history count (with r = 4
// that includes the previous block, which the overlapping window reads).
struct CompressorBlocks {
    int64_t first = 0, end = 0; // [first, end)
};
CompressorBlocks compressor_window_blocks(int64_t first_pos, int64_t n_hist, int r);

} // namespace vm::zov4
