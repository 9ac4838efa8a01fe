#pragma once
// The arithmetic of the hyper-connections that keep S residual streams per
// position: the split of the mixing logits into pre, post and a
// Sinkhorn-normalised comb matrix, the weighted sum that mixes the streams
// down, and the expansion that writes a half-layer's output back. Streams
// are position-major: position t, stream s, feature i at (t·S + s)·E + i.
#include <cstdint>

namespace vm::zov4 {

// The Sinkhorn split works on one S × S matrix in a fixed scratch.
inline constexpr int kMaxStreams = 16;

// logits and out: n × S·(S + 2) (pre, post, comb row-major); scale: the three
// scales (pre, post, comb); base: S·(S + 2).
void hc_split_sinkhorn(const float* logits, const float* scale, const float* base, float* out, int S, int iters,
                       float eps, int64_t n);

// y[t][i] = Σk w[t][k]·x[t][k][i].
void hc_weighted_sum(const float* x, const float* w, float* y, int64_t E, int64_t S, int64_t n);

// out[t][j][i] = post[t][j]·f[t][i] + Σk comb[t][k][j]·x_old[t][k][i]; out may
// be the stream buffer when x_old is a separate copy.
void hc_expand(const float* f, const float* x_old, const float* post, const float* comb, float* out, int64_t E,
               int64_t S, int64_t n);

} // namespace vm::zov4
