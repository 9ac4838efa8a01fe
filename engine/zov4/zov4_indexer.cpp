// Keys and additive masks of a layer's attention: the raw key-value rows
// under the causal (and sliding-window) rule, then the compressed rows,
// visible once their block is complete and, in layers with the sparse
// indexer, only when the indexer ranks them among the best top_k.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "vm_cabi_v2/dequant.h"
#include "vm_cabi_v2/det_pool.h"
#include "vm_cabi_v2/kernel_ops.h"
#include "zov4/zov4_attention.h"
#include "zov4/zov4_compressor_pool.h"
#include "zov4/zov4_forward.h"
#include "zov4/zov4_row_products.h"

namespace vm::zov4 {

namespace {

constexpr float kNegInf = -std::numeric_limits<float>::infinity();
constexpr float kSelectedIncomplete = -1e9f;
// Multiply-adds of the decode's indexer scores worth a pool hand-off, and
// the compressed blocks one claim of the pool scores.
constexpr double kPoolScoreWork = 32768;
constexpr int64_t kScoreRun = 16;

bool raw_visible(int query, int key, int window) {
    return query >= key && (window < 1 || query - key < window);
}

template <class T>
T* grown(std::vector<T>& v, size_t n) {
    if (v.size() < n) v.resize(n);
    return v.data();
}

} // namespace

void ZOV4Forward::build_kv_and_mask(int layer, int r, const float* x, const float* qlat, const float* kv,
                                    const int* positions, int64_t n, std::vector<float>& keys,
                                    std::vector<float>& mask, int64_t& n_keys) {
    const int64_t D = head_dim;
    const int64_t nb = r >= 1 ? n / r : 0;
    std::vector<float> comp;
    std::vector<int> block_pos(size_t(std::max<int64_t>(nb, 0)));
    for (int64_t b = 0; b < nb; ++b) block_pos[size_t(b)] = int(b * r);
    if (nb > 0) {
        comp.resize(size_t(nb * D));
        compressor(layer, "attn_compressor", x, block_pos.data(), D, r, n, comp.data());
        fp8_kv_quantize(comp.data(), D, n_rot, nb);
    }

    n_keys = n + nb;
    keys.resize(size_t(n_keys * D));
    std::memcpy(keys.data(), kv, sizeof(float) * size_t(n * D));
    if (nb > 0) std::memcpy(keys.data() + n * D, comp.data(), sizeof(float) * size_t(nb * D));
    mask.assign(size_t(n * n_keys), kNegInf);
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = 0; j < n; ++j)
            if (raw_visible(positions[i], positions[j], sliding_window)) mask[size_t(i * n_keys + j)] = 0.0f;
    if (nb == 0) return;

    auto complete = [&](int64_t i) { return std::min<int64_t>((positions[i] + 1) / r, nb); };
    const bool with_indexer = r == 4 && has(layer, "indexer.proj.weight");
    if (with_indexer) ensure_indexer_cache_(layer);
    const IndexerCache* ic = with_indexer ? &indexer_caches[size_t(layer)] : nullptr;
    // A layer with the projection but without the query weights cannot be
    // scored: it keeps the completeness rule alone.
    if (ic == nullptr || ic->wq_b.empty() || ic->w_proj.empty()) {
        for (int64_t i = 0; i < n; ++i)
            for (int64_t b = 0; b < complete(i); ++b) mask[size_t(i * n_keys + n + b)] = 0.0f;
        return;
    }

    const int64_t Di = ix_dim;
    std::vector<float> idx(size_t(nb * Di));
    compressor(layer, "indexer_compressor", x, block_pos.data(), Di, 4, n, idx.data());
    if (caches.size() < size_t(n_layer)) caches.resize(size_t(n_layer));
    LayerCache& c = caches[size_t(layer)];
    c.idx_keys = idx;
    c.n_idx = nb;
    c.idx_tokens = nb * r;

    std::vector<float> visible(size_t(n * nb), kNegInf), scores(size_t(n * nb));
    for (int64_t i = 0; i < n; ++i)
        for (int64_t b = 0; b < complete(i); ++b) visible[size_t(i * nb + b)] = 0.0f;
    indexer_scores_prefill(x, qlat, idx.data(), ic->wq_b.data(), ic->w_proj.data(), positions, visible.data(),
                           scores.data(), n_embd, q_rank, ix_heads, Di, n, nb, n_rot, 2, n_ctx_orig, rope_base,
                           freq_scale, 1.0f, 1.0f, yarn_beta_fast, yarn_beta_slow);

    const int64_t k = std::min<int64_t>(nb, std::max(ix_top_k, 0));
    for (int64_t i = 0; i < n; ++i) {
        const float* s = scores.data() + i * nb;
        for (int64_t j = 0; j < nb; ++j) {
            int64_t rank = 0;
            for (int64_t l = 0; l < nb; ++l) rank += (s[l] > s[j] || (s[l] == s[j] && l < j)) ? 1 : 0;
            if (rank >= k) continue;
            mask[size_t(i * n_keys + n + j)] = s[j] + 1e30f > 0.0f ? 0.0f : kSelectedIncomplete;
        }
    }
}

void ZOV4Forward::build_kv_and_mask_inc_(int layer, int r, LayerCache& cache, const int* positions, int64_t n_arg,
                                         float** keys_out, float** mask_out, int64_t& n_keys, float* keys_dst,
                                         float* mask_dst) {
    last_query_keys_(layer, r, cache, positions, n_arg, keys_out, mask_out, n_keys, keys_dst, mask_dst, false);
}

void ZOV4Forward::decode_keys_(int layer, int r, LayerCache& cache, const int* positions, int64_t n_arg,
                               float** keys_out, float** mask_out, int64_t& n_keys) {
    last_query_keys_(layer, r, cache, positions, n_arg, keys_out, mask_out, n_keys, nullptr, nullptr, true);
}

void ZOV4Forward::last_query_keys_(int layer, int r, LayerCache& cache, const int* positions, int64_t n_arg,
                                   float** keys_out, float** mask_out, int64_t& n_keys, float* keys_dst,
                                   float* mask_dst, bool visible_only) {
    ensure_decode_arena_();
    const int64_t D = head_dim, E = n_embd, Q = q_rank;
    const int64_t g = cache.n_rows >= 1 ? cache.n_rows : n_arg;
    const int64_t first_pos = g >= 1 ? positions[0] : 0;
    const CompressorBlocks blocks = r >= 1 ? compressor_window_blocks(first_pos, g, r) : CompressorBlocks{};
    const int64_t nb = blocks.end - blocks.first;
    n_keys = g + nb;
    // Raw rows older than the sliding window are masked for the last query;
    // the compact form leaves them out (attention skips masked keys, so the
    // result is the same) and copies only the rows the query can see.
    const int64_t W = sliding_window;
    const int64_t skip = visible_only && W > 0 && W < g ? g - W : 0;

    float* keys = keys_dst != nullptr ? keys_dst : grown(arena.dec_keys, size_t(n_keys * D));
    float* mask = mask_dst != nullptr ? mask_dst : grown(arena.dec_mask, size_t(n_keys));
    *keys_out = keys + skip * D;
    *mask_out = mask + skip;
    if (g < 1) return;
    const float* x_rows = cache.x_rows.data() + cache.row_offset * E;
    const float* qa_rows = cache.qa_rows.data() + cache.row_offset * Q;
    const float* kv_rows = cache.kv_rows.data() + cache.row_offset * D;

    if (nb > 0 && cache.n_comp < nb)
        compressor_inc_from_(layer, "attn_compressor", x_rows, first_pos, D, r, g, cache.comp_tokens,
                             cache.comp_kv, cache.n_comp);
    // Without compressed rows the decode's keys are the visible raw rows as
    // they lie in the history: no copy.
    if (nb == 0 && keys_dst == nullptr)
        *keys_out = cache.kv_rows.data() + (cache.row_offset + skip) * D;
    else
        std::memcpy(keys + skip * D, kv_rows + skip * D, sizeof(float) * size_t((g - skip) * D));
    if (nb > 0) {
        const size_t held = std::min(cache.comp_kv.size(), size_t(nb * D));
        std::memcpy(keys + g * D, cache.comp_kv.data(), sizeof(float) * held);
        std::fill(keys + g * D + held, keys + n_keys * D, 0.0f);
    }
    fill_decode_mask_last_query_(r, positions, g, n_keys, nb, mask);

    if (r != 4 || nb < 1 || !has(layer, "indexer.proj.weight")) {
        n_keys -= skip;
        return;
    }
    if (cache.n_idx < nb)
        compressor_inc_from_(layer, "indexer_compressor", x_rows, first_pos, ix_dim, 4, g,
                             cache.idx_tokens, cache.idx_keys, cache.n_idx);
    float* scores = grown(arena.ix_buf, size_t(nb));
    char* keep = grown(arena.ix_keep, size_t(nb));
    int* order = grown(arena.ix_order, size_t(nb));
    indexer_scores_last_query_(layer, x_rows + (g - 1) * E, qa_rows + (g - 1) * Q,
                               cache.idx_keys.data(), nb, positions[g - 1], scores);
    topk_keep_mask_(nb, int(std::min<int64_t>(nb, ix_top_k)), scores, keep, order);
    for (int64_t b = 0; b < nb; ++b)
        if (keep[b] == 0) mask[g + b] = kNegInf;
    n_keys -= skip;
}

void ZOV4Forward::fill_decode_mask_last_query_(int r, const int* positions, int64_t n_raw, int64_t n_keys,
                                               int64_t n_comp, float* mask) {
    std::fill(mask, mask + n_keys, kNegInf);
    if (n_raw < 1) return;
    const int c = positions[n_raw - 1];
    const int64_t W = sliding_window;
    const int64_t first = (W > 0 && W < n_raw) ? n_raw - W : 0;
    for (int64_t j = first; j < n_raw; ++j)
        if (raw_visible(c, positions[j], sliding_window)) mask[j] = 0.0f;
    if (r >= 1 && n_comp >= 1) {
        const int64_t open = std::min<int64_t>({n_comp, (int64_t(c) + 1) / r, n_keys - n_raw});
        for (int64_t b = 0; b < open; ++b) mask[n_raw + b] = 0.0f;
    }
}

void ZOV4Forward::ensure_indexer_cache_(int layer) const {
    if (layer < 0 || layer >= n_layer) return;
    if (indexer_caches.size() != size_t(n_layer)) indexer_caches.assign(size_t(n_layer), IndexerCache{});
    IndexerCache& c = indexer_caches[size_t(layer)];
    if (c.loaded) return;
    const GGUFTensor* q_b = wl_opt(layer, "indexer.attn_q_b.weight");
    const GGUFTensor* proj = wl_opt(layer, "indexer.proj.weight");
    if (q_b != nullptr && proj != nullptr) {
        const uint64_t nq = uint64_t(q_rank) * ix_heads * ix_dim, np = uint64_t(n_embd) * ix_heads;
        c.wq_b.resize(nq);
        c.w_proj.resize(np);
        if (!vm::dequant_tensor(q_b->type, q_b->data, c.wq_b.data(), nq) ||
            !vm::dequant_tensor(proj->type, proj->data, c.w_proj.data(), np)) {
            c.wq_b.clear();
            c.w_proj.clear();
        }
    }
    c.loaded = true;
}

void ZOV4Forward::indexer_scores_last_query_(int layer, const float* x_last, const float* qlat_last,
                                             const float* keys, int64_t nb, int pos, float* scores) {
    ensure_indexer_cache_(layer);
    const IndexerCache* c = layer >= 0 && layer < n_layer ? &indexer_caches[size_t(layer)] : nullptr;
    if (c == nullptr || c->wq_b.empty() || c->w_proj.empty()) {
        std::fill(scores, scores + std::max<int64_t>(nb, 0), kNegInf);
        return;
    }
    ensure_decode_arena_();
    const int Hi = ix_heads, Di = ix_dim;
    float* q = grown(arena.ix_q, size_t(Hi) * Di);
    float* q_rot = grown(arena.ix_q_rot, size_t(Hi) * Di);
    float* w = grown(arena.ix_w, size_t(Hi));
    // Both projections in one pass of the pool, from the stored weights (a
    // quarter of the single-precision copies' bytes); the copies serve when
    // the pass refuses an encoding.
    const GGUFTensor* q_b = wl_opt(layer, "indexer.attn_q_b.weight");
    const GGUFTensor* proj = wl_opt(layer, "indexer.proj.weight");
    const RowProduct both[2] = {{q_b->type, q_b->data, Hi * Di, q_rank, qlat_last, q, 0},
                                {proj->type, proj->data, Hi, n_embd, x_last, w, 0}};
    // The decode step may have made both projections with its query's.
    const bool projected = ix_projected_layer == layer && ix_projected_pos == pos;
    ix_projected_layer = -1;
    ix_projected_pos = -1;
    if (!projected && !row_products(both, 2, 1)) {
        const RowProduct copies[2] = {{0, reinterpret_cast<const uint8_t*>(c->wq_b.data()), Hi * Di, q_rank, qlat_last, q, 0},
                                      {0, reinterpret_cast<const uint8_t*>(c->w_proj.data()), Hi, n_embd, x_last, w, 0}};
        row_products(copies, 2, 1);
    }
    indexer_scores_projected_(q, q_rot, w, keys, nb, pos, scores);
}

void ZOV4Forward::indexer_scores_projected_(const float* q, float* q_rot, float* w, const float* keys, int64_t nb,
                                            int pos, float* scores) const {
    const int Hi = ix_heads, Di = ix_dim;
    rope_tail(q_rot, q, &pos, Di, Hi, 1, n_rot, 2, n_ctx_orig, rope_base, freq_scale, 1.0f, 1.0f, yarn_beta_fast,
              yarn_beta_slow);
    const float w_scale = 1.0f / sqrtf(float(Di) * float(Hi));
    for (int h = 0; h < Hi; ++h) w[h] *= w_scale;

    const auto dot = vm::kernel_ops().f32_row_dot;
    const int64_t complete = (int64_t(pos) + 1) / 4;
    auto blocks = [&](int64_t b0, int64_t b1) {
        for (int64_t b = b0; b < b1; ++b) {
            if (b >= complete) {
                scores[b] = kNegInf;
                continue;
            }
            float acc = 0.0f;
            for (int h = 0; h < Hi; ++h)
                acc = std::fma(std::max(dot(q_rot + h * Di, keys + b * Di, Di), 0.0f), w[h], acc);
            scores[b] = acc;
        }
    };
    // A long history's scores in runs of blocks on the pool, each score
    // wholly on one thread.
    if (double(nb) * double(Hi) * double(Di) < kPoolScoreWork) {
        blocks(0, nb);
        return;
    }
    const int64_t runs = (nb + kScoreRun - 1) / kScoreRun;
    std::atomic<int64_t> next{0};
    vm::apex::det_pool_global()->parallel([&](int, int) {
        for (int64_t u; (u = next.fetch_add(1, std::memory_order_relaxed)) < runs;)
            blocks(u * kScoreRun, std::min(nb, (u + 1) * kScoreRun));
    });
}

} // namespace vm::zov4
