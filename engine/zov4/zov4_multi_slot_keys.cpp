// Keys and masks of the batched step. The blocks that the rows' slots have
// completed since their last step are projected for all the slots in one
// pass over each compressor's weights and pooled block by block on the pool;
// the indexer's query projections are one pass for all rows; then each
// row's keys, mask and indexer scores are built on the pool. Every value is
// the one the per-slot route makes: the same windows of history, the same
// projections (the row kernels' bits do not depend on the number of rows),
// the same pooling and scoring.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <vector>

#include "vm_cabi_v2/det_pool.h"
#include "zov4/zov4_attention.h"
#include "zov4/zov4_compressor_pool.h"
#include "zov4/zov4_forward.h"
#include "zov4/zov4_row_products.h"

namespace vm::zov4 {

namespace {

// History rows projected per pass: bounds the staging buffers (a window of
// r = 128 takes 128 rows).
constexpr int64_t kStageRows = 256;
constexpr int64_t kSlabRows = 128;
constexpr int64_t kRowKeys = 256; // key room per row: 128 raw + compressed

// One block of one row's slot to compress.
struct BlockJob {
    int row = 0;
    int64_t index = 0;  // among the slot's compressed rows
    int64_t block = 0;  // counted from position 0
    int64_t with_previous = 0;
    int64_t first = 0;  // first history row of its window
    int64_t count = 0;  // rows of its window
    int64_t at = 0;     // first staged row
};

template <class Fn>
void on_pool(int n, Fn&& fn) {
    std::atomic<int> next{0};
    vm::apex::det_pool_global()->parallel([&](int, int) {
        for (int j = next.fetch_add(1); j < n; j = next.fetch_add(1)) fn(j);
    });
}

} // namespace

void ZOV4Forward::compress_slots_batched_(int il, int ratio, int B) {
    struct Set {
        const char* prefix;
        int64_t C;
        int r;
        bool indexer;
    };
    Set sets[2];
    int n_sets = 0;
    if (ratio >= 1) sets[n_sets++] = {"attn_compressor", head_dim, ratio, false};
    if (ratio == 4 && has(il, "indexer.proj.weight")) sets[n_sets++] = {"indexer_compressor", ix_dim, 4, true};
    const int64_t E = n_embd;
    const RotaryArgs rot{n_rot, 2, n_ctx_orig, rope_base, freq_scale, 1.0f, 1.0f, yarn_beta_fast, yarn_beta_slow};

    for (int si = 0; si < n_sets; ++si) {
        const Set& set = sets[si];
        const int r = set.r;
        const int64_t C = set.C, Cp = r == 4 ? 2 * C : C;
        std::vector<BlockJob> jobs;
        for (int j = 0; j < B; ++j) {
            MultiSlot& s = slots[size_t(arena.row_slot[size_t(j)])];
            LayerCache& c = s.layers[size_t(il)];
            const int64_t g = c.n_rows, first_pos = s.pos - g + 1;
            if (g < 1) continue;
            const CompressorBlocks blocks = compressor_window_blocks(first_pos, g, r);
            const int64_t nbk = blocks.end - blocks.first;
            const int64_t done = set.indexer ? c.n_idx : c.n_comp;
            if (nbk < 1 || done >= nbk) continue;
            std::vector<float>& rows = set.indexer ? c.idx_keys : c.comp_kv;
            if (int64_t(rows.size()) < nbk * C) rows.resize(size_t(nbk * C), 0.0f);
            for (int64_t i = std::max<int64_t>(done, 0); i < nbk; ++i) {
                const int64_t b = blocks.first + i, w = (r == 4 && b > 0) ? 1 : 0;
                jobs.push_back({j, i, b, w, r * (b - w) - first_pos, r * (w + 1), 0});
            }
        }
        if (jobs.empty()) continue;

        const GGUFTensor* Wkv = wl(il, std::string(set.prefix) + "_kv.weight");
        const GGUFTensor* Wg = wl(il, std::string(set.prefix) + "_gate.weight");
        thread_local std::vector<float> staged, values, gates;
        staged.resize(size_t(kStageRows * E));
        values.resize(size_t(kStageRows * Cp));
        gates.resize(size_t(kStageRows * Cp));
        RowProduct both[2] = {{Wkv->type, Wkv->data, int32_t(Cp), int32_t(E), staged.data(), values.data(), 0},
                              {Wg->type, Wg->data, int32_t(Cp), int32_t(E), staged.data(), gates.data(), 0}};
        // Encodings the row products refuse stay with the per-slot route.
        if (!row_product_valid(both[0]) || !row_product_valid(both[1])) continue;
        ensure_comp_meta_(il, set.prefix, C, r, set.indexer);
        const LayerCache& meta = caches[size_t(il)];
        // The staging buffers are this thread's: the pool's workers see them
        // through these pointers.
        const float* kv_rows = values.data();
        const float* gate_rows = gates.data();
        const float* ape = (set.indexer ? meta.idx_ape : meta.comp_ape).data();
        const float* norm = (set.indexer ? meta.idx_norm : meta.comp_norm).data();

        for (size_t k0 = 0; k0 < jobs.size();) {
            size_t k1 = k0;
            int64_t staged_rows = 0;
            for (; k1 < jobs.size() && staged_rows + jobs[k1].count <= kStageRows; ++k1) {
                BlockJob& job = jobs[k1];
                job.at = staged_rows;
                const LayerCache& c = slots[size_t(arena.row_slot[size_t(job.row)])].layers[size_t(il)];
                std::memcpy(staged.data() + job.at * E, c.x_rows.data() + job.first * E,
                            sizeof(float) * size_t(job.count * E));
                staged_rows += job.count;
            }
            row_products(both, 2, int32_t(staged_rows));
            mm_count += uint64_t(2 * staged_rows);
            on_pool(int(k1 - k0), [&](int n) {
                const BlockJob& job = jobs[k0 + size_t(n)];
                LayerCache& c = slots[size_t(arena.row_slot[size_t(job.row)])].layers[size_t(il)];
                thread_local std::vector<float> out, pooled, finished;
                const size_t need = size_t((job.with_previous + 1) * C);
                out.resize(need);
                pooled.resize(need);
                finished.resize(need);
                int pos[2];
                for (int64_t e = 0; e <= job.with_previous; ++e)
                    pos[e] = int(r * (job.block - job.with_previous + e));
                compressor_pool(kv_rows + job.at * Cp, gate_rows + job.at * Cp, ape, norm, pos, out.data(),
                                C, job.count, r, rot, rms_eps, pooled.data(), finished.data(), nullptr);
                float* row = (set.indexer ? c.idx_keys : c.comp_kv).data() + job.index * C;
                std::memcpy(row, out.data() + job.with_previous * C, sizeof(float) * size_t(C));
                fp8_kv_quantize(row, C, n_rot, 1);
            });
            k0 = k1;
        }

        for (const BlockJob& job : jobs) {
            LayerCache& c = slots[size_t(arena.row_slot[size_t(job.row)])].layers[size_t(il)];
            (set.indexer ? c.n_idx : c.n_comp) = job.index + 1;
            (set.indexer ? c.idx_tokens : c.comp_tokens) = (job.block + 1) * r;
        }
    }
}

bool ZOV4Forward::keys_masks_batched_(int il, int ratio, int B) {
    DecodeArena& a = arena;
    const int64_t D = head_dim;
    auto blocks_of = [&](const MultiSlot& s, const LayerCache& c) {
        return ratio >= 1 ? compressor_window_blocks(s.pos - c.n_rows + 1, c.n_rows, ratio) : CompressorBlocks{};
    };
    const bool indexed = ratio == 4 && has(il, "indexer.proj.weight");
    for (int j = 0; j < B; ++j) {
        const MultiSlot& s = slots[size_t(a.row_slot[size_t(j)])];
        const LayerCache& c = s.layers[size_t(il)];
        const CompressorBlocks blocks = blocks_of(s, c);
        const int64_t nb = blocks.end - blocks.first;
        if (c.n_rows < 1 || (nb > 0 && (c.n_comp < nb || (indexed && c.n_idx < nb)))) return false;
    }

    // The indexer's projections of each row's newest position: its rows of
    // the normed input and query latent are the step's own.
    const int64_t Hi = ix_heads, Di = ix_dim;
    thread_local std::vector<float> ix_q, ix_w;
    if (indexed) {
        ensure_indexer_cache_(il);
        const IndexerCache& ic = indexer_caches[size_t(il)];
        if (ic.wq_b.empty() || ic.w_proj.empty()) return false;
        ix_q.resize(size_t(B * Hi * Di));
        ix_w.resize(size_t(B * Hi));
        const GGUFTensor* q_b = wl_opt(il, "indexer.attn_q_b.weight");
        const GGUFTensor* proj = wl_opt(il, "indexer.proj.weight");
        const RowProduct both[2] = {
            {q_b->type, q_b->data, int32_t(Hi * Di), int32_t(q_rank), a.qn.data(), ix_q.data(), 0},
            {proj->type, proj->data, int32_t(Hi), int32_t(n_embd), a.xn.data(), ix_w.data(), 0}};
        if (!row_products(both, 2, B)) {
            const RowProduct copies[2] = {
                {0, reinterpret_cast<const uint8_t*>(ic.wq_b.data()), int32_t(Hi * Di), int32_t(q_rank), a.qn.data(),
                 ix_q.data(), 0},
                {0, reinterpret_cast<const uint8_t*>(ic.w_proj.data()), int32_t(Hi), int32_t(n_embd), a.xn.data(),
                 ix_w.data(), 0}};
            row_products(copies, 2, B);
        }
    }
    const float* queries = ix_q.data();
    const float* weights = ix_w.data();

    on_pool(B, [&](int j) {
        const MultiSlot& s = slots[size_t(a.row_slot[size_t(j)])];
        const LayerCache& c = s.layers[size_t(il)];
        const int64_t N = c.n_rows;
        int32_t* pos = a.row_pos.data() + j * kSlabRows;
        for (int64_t k = 0; k < N; ++k) pos[k] = int32_t(s.pos - N + 1 + k);
        const CompressorBlocks blocks = blocks_of(s, c);
        const int64_t nb = blocks.end - blocks.first, n_keys = N + nb;
        a.n_keys[size_t(j)] = n_keys;
        float* keys = a.keys.data() + j * kRowKeys * D;
        float* mask = a.masks.data() + j * kRowKeys;
        std::memcpy(keys, c.kv_rows.data(), sizeof(float) * size_t(N * D));
        if (nb > 0) {
            const size_t held = std::min(c.comp_kv.size(), size_t(nb * D));
            std::memcpy(keys + N * D, c.comp_kv.data(), sizeof(float) * held);
            std::fill(keys + N * D + held, keys + n_keys * D, 0.0f);
        }
        fill_decode_mask_last_query_(ratio, pos, N, n_keys, nb, mask);
        if (!indexed || nb < 1) return;
        thread_local std::vector<float> q_rot, w, scores;
        thread_local std::vector<char> keep;
        thread_local std::vector<int> order;
        q_rot.resize(size_t(Hi * Di));
        w.assign(weights + j * Hi, weights + (j + 1) * Hi);
        scores.resize(size_t(nb));
        keep.resize(size_t(nb));
        order.resize(size_t(nb));
        indexer_scores_projected_(queries + j * Hi * Di, q_rot.data(), w.data(), c.idx_keys.data(), nb, pos[N - 1],
                                  scores.data());
        topk_keep_mask_(nb, int(std::min<int64_t>(nb, ix_top_k)), scores.data(), keep.data(), order.data());
        for (int64_t b = 0; b < nb; ++b)
            if (keep[size_t(b)] == 0) mask[N + b] = -std::numeric_limits<float>::infinity();
    });
    return true;
}

} // namespace vm::zov4
