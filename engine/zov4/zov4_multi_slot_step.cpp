// One decode step for up to 16 sequences in slots: every weight product is
// made once for all rows, while what depends on a sequence's own history
// (rotation at its position, appending its rows, its keys and mask, its
// attention) runs per row on the deterministic pool.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>

#include "vm_cabi_v2/dequant.h"
#include "vm_cabi_v2/det_pool.h"
#include "vm_cabi_v2/fused_q_kernels.h"
#include "vm_cabi_v2/ggml_blocks.h"
#include "vm_gpu.h"
#include "zov4/zov4_attention.h"
#include "zov4/zov4_compressor_pool.h"
#include "zov4/zov4_forward.h"
#include "zov4/zov4_row_products.h"
#include "zov4/zov4_hyper_connections.h"
#include "zov4/zov4_row_kernels.h"

namespace vm::zov4 {

namespace {

constexpr int kMaxRows = 16;
constexpr int64_t kSlabRows = 128;
constexpr int64_t kRowKeys = 256; // key room per row: 128 raw + compressed

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point& t) {
    const Clock::time_point now = Clock::now();
    const double s = std::chrono::duration<double>(now - t).count();
    t = now;
    return s;
}

// Runs fn(row) for rows [0, n) on the process-wide pool, each row wholly on
// the participant that claims it.
template <class Fn>
void on_pool(int n, Fn&& fn) {
    std::atomic<int> next{0};
    vm::apex::det_pool_global()->parallel([&](int, int) {
        for (int j = next.fetch_add(1); j < n; j = next.fetch_add(1)) fn(j);
    });
}

// y = x × 1/sqrtf(s/n + eps), s summed in single precision lanes: the RMS
// row kernel with a unit weight.
void scale_to_unit_rms(const float* x, float* y, int64_t n, float eps) {
    thread_local std::vector<float> ones;
    if (ones.size() < size_t(n)) ones.assign(size_t(n), 1.0f);
    row_kernels().rms_norm_row(x, ones.data(), y, n, eps);
}

void dequantise(const GGUFTensor& W, float* dst, int64_t count) {
    if (count > 0 && !vm::dequant_tensor(W.type, W.data, dst, uint64_t(count))) std::fill(dst, dst + count, 0.0f);
}

bool slot_has_slabs(const ZOV4Forward& f, const ZOV4Forward::MultiSlot& s) {
    if (s.layers.size() != size_t(f.n_layer)) return false;
    for (const LayerCache& c : s.layers)
        if (int64_t(c.x_rows.size()) < kSlabRows * f.n_embd || int64_t(c.qa_rows.size()) < kSlabRows * f.q_rank ||
            int64_t(c.kv_rows.size()) < kSlabRows * f.head_dim)
            return false;
    return true;
}

} // namespace

int ZOV4Forward::batch_rows_(const int* slot_ids, const int* tokens, int n, int* row_index) {
    const int rows = std::min({n, int(n_slots), kMaxRows});
    bool taken[kMaxRows] = {};
    int B = 0;
    for (int i = 0; i < rows; ++i) {
        int s = slot_ids[i];
        if (s < 0 || s >= n_slots) s = i % n_slots;
        // A repeated slot would be appended to by two rows at once, and a
        // slot whose prefill failed has no caches: such rows are skipped and
        // their out entries left alone.
        if (taken[s] || !slot_has_slabs(*this, slots[size_t(s)]) || tokens[i] < 0 || tokens[i] >= n_vocab) continue;
        taken[s] = true;
        row_index[B] = i;
        arena.row_slot[size_t(B)] = s;
        ++B;
    }
    return B;
}

void ZOV4Forward::multi_decode_step(const int* slot_ids, const int* tokens, int n, int* out) {
    if (slot_ids == nullptr || tokens == nullptr || out == nullptr || n <= 0) return;
    std::lock_guard lock(mu);
    if (!slots_ready || n_slots < 1) return;
    ensure_decode_arena_();
    int row_index[kMaxRows];
    const int B = batch_rows_(slot_ids, tokens, n, row_index);
    if (B < 1) return;
    // Many short pool jobs between serial stretches: keep the workers awake.
    vm::apex::DetPool::Hold hot(vm::apex::det_pool_global());
    ensure_dense_q8_wall_pinned_();
    batch_begin_(B);

    const int64_t E = n_embd, S = n_hc, V = n_vocab;
    std::fill(arena.streams_a.begin(), arena.streams_a.begin() + B * S * E, 0.0f);
    std::vector<int32_t> batch_tokens(B);
    for (int j = 0; j < B; ++j) {
        MultiSlot& s = slots[size_t(arena.row_slot[size_t(j)])];
        s.active = true;
        batch_tokens[size_t(j)] = tokens[row_index[j]];
        embed({tokens[row_index[j]]}, arena.streams_a.data() + j * S * E);
    }

    for (int il = 0; il < n_layer; ++il) decode_layer_batched_(il, B, batch_tokens);

    Clock::time_point t = Clock::now();
    hc_head_arena_(arena.streams_a.data(), arena.head.data(), B);
    rmsnorm_rows(arena.head.data(), global_tensor("output_norm.weight"), arena.head_n.data(), E, B);
    mm_multi(global_tensor("output.weight"), arena.head_n.data(), arena.logits.data(), E, V, B);
    for (int j = 0; j < B; ++j) {
        float* logits = arena.logits.data() + j * V;
        if (V > 0) vmb_sanitize_f32(logits, size_t(V));
        out[row_index[j]] = V > 0 ? int(std::max_element(logits, logits + V) - logits) : 0;
        slots[size_t(arena.row_slot[size_t(j)])].pos += 1;
    }
    prof[kProfBLm] += seconds_since(t);
}

void ZOV4Forward::decode_layer_batched_(int il, int B, const std::vector<int32_t>& batch_tokens) {
    const int64_t E = n_embd, S = n_hc, H = n_head, D = head_dim, Dv = v_dim, Q = q_rank;
    const int ratio = compress_ratio[size_t(il)];
    DecodeArena& a = arena;
    for (int ahead = 0; ahead < 3 && il + ahead < n_layer; ++ahead) advise_layer_dense_willneed_(il + ahead);
    Clock::time_point t = Clock::now();

    // Attention pre-mix of the streams and the attention norm.
    float* post = nullptr;
    float* comb = nullptr;
    auto pre_mix = [&](const float* streams, const char* fn, const char* scale, const char* base) {
        const GGUFTensor *w_fn = wl(il, fn), *w_scale = wl(il, scale), *w_base = wl(il, base);
        if (hc_pre_arena_(streams, w_fn, w_scale, w_base, a.x.data(), B, &post, &comb)) return;
        HCMix mix = hc_pre(streams, w_fn, w_scale, w_base, a.x.data(), B);
        std::copy(mix.post.begin(), mix.post.end(), a.hc_post_w.begin());
        std::copy(mix.comb.begin(), mix.comb.end(), a.hc_comb.begin());
        post = a.hc_post_w.data();
        comb = a.hc_comb.data();
    };
    pre_mix(a.streams_a.data(), "hc_attn_fn.weight", "hc_attn_scale.weight", "hc_attn_base.weight");
    rmsnorm_rows(a.x.data(), wl(il, "attn_norm.weight"), a.xn.data(), E, B);
    double dt = seconds_since(t);
    prof[kProfBHc] += dt;
    prof[kProfRes] += dt;

    // Projections, one pass over each weight for all rows. mm_multi batches
    // its own GPU product when it takes that route.
    mm_together({{wl(il, "attn_q_a.weight"), a.xn.data(), a.qa.data(), E, Q},
                 {wl(il, "attn_kv.weight"), a.xn.data(), a.kv.data(), E, D}},
                B);
    rmsnorm_rows(a.qa.data(), wl(il, "attn_q_a_norm.weight"), a.qn.data(), Q, B);
    mm_multi(wl(il, "attn_q_b.weight"), a.qn.data(), a.q.data(), Q, H * D, B);
    on_pool(B, [&](int j) {
        for (int64_t h = int64_t(j) * H; h < int64_t(j + 1) * H; ++h)
            scale_to_unit_rms(a.q.data() + h * D, a.qh.data() + h * D, D, rms_eps);
    });
    rmsnorm_rows(a.kv.data(), wl(il, "attn_kv_a_norm.weight"), a.kvn.data(), D, B);
    dt = seconds_since(t);
    prof[kProfBQkv] += dt;
    prof[kProfQ] += dt;

    float* sinks = a.sinks.data() + il * H;
    if (a.sinks_ready[size_t(il)] == 0) {
        dequantise(*wl(il, "attn_sinks.weight"), sinks, H);
        a.sinks_ready[size_t(il)] = 1;
    }

    // Per row: rotation at the row's own position, FP8 rounding, append.
    on_pool(B, [&](int j) {
        MultiSlot& s = slots[size_t(a.row_slot[size_t(j)])];
        LayerCache& c = s.layers[size_t(il)];
        const int p = int(s.pos);
        rope_tail(a.q_rot.data() + j * H * D, a.qh.data() + j * H * D, &p, D, H, 1, n_rot, 2, n_ctx_orig, rope_base,
                  freq_scale, 1.0f, 1.0f, yarn_beta_fast, yarn_beta_slow);
        float* kv_rot = a.kv_rot.data() + j * D;
        rope_tail(kv_rot, a.kvn.data() + j * D, &p, D, 1, 1, n_rot, 2, n_ctx_orig, rope_base, freq_scale, 1.0f,
                  1.0f, yarn_beta_fast, yarn_beta_slow);
        fp8_kv_quantize(kv_rot, D, n_rot, 1);
        int64_t r = c.n_rows;
        if (r >= kSlabRows) {
            std::memmove(c.x_rows.data(), c.x_rows.data() + E, sizeof(float) * size_t((kSlabRows - 1) * E));
            std::memmove(c.qa_rows.data(), c.qa_rows.data() + Q, sizeof(float) * size_t((kSlabRows - 1) * Q));
            std::memmove(c.kv_rows.data(), c.kv_rows.data() + D, sizeof(float) * size_t((kSlabRows - 1) * D));
            // Compressed rows are numbered by block from position 0: those of
            // blocks still wholly in the history keep their bits, and only
            // the rows whose window left it are dropped.
            const int64_t first_old = s.pos - kSlabRows;
            auto keep_rows = [&](int rr, int64_t C, std::vector<float>& rows, int64_t& n_done, int64_t& covered) {
                const CompressorBlocks was = compressor_window_blocks(first_old, kSlabRows, rr);
                const CompressorBlocks now = compressor_window_blocks(first_old + 1, kSlabRows, rr);
                const int64_t drop = now.first - was.first;
                const int64_t kept = rr < 1 ? 0
                                            : std::clamp<int64_t>(std::min(n_done, was.end - was.first) - drop, 0,
                                                                  now.end - now.first);
                if (kept > 0 && drop > 0)
                    std::memmove(rows.data(), rows.data() + drop * C, sizeof(float) * size_t(kept * C));
                n_done = kept;
                covered = rr < 1 ? 0 : (now.first + kept) * rr;
            };
            keep_rows(ratio, D, c.comp_kv, c.n_comp, c.comp_tokens);
            keep_rows(4, ix_dim, c.idx_keys, c.n_idx, c.idx_tokens);
            r = kSlabRows - 1;
        }
        std::memcpy(c.x_rows.data() + r * E, a.xn.data() + j * E, sizeof(float) * size_t(E));
        std::memcpy(c.qa_rows.data() + r * Q, a.qn.data() + j * Q, sizeof(float) * size_t(Q));
        std::memcpy(c.kv_rows.data() + r * D, kv_rot, sizeof(float) * size_t(D));
        c.n_rows = r + 1;
    });
    dt = seconds_since(t);
    prof[kProfBRope] += dt;
    prof[kProfRopeOut] += dt;

    // Keys and masks: the compressed rows for all rows first, then every
    // row on the pool. A slot that the batched route cannot serve sends all
    // rows one after another through the single-token route, which shares
    // the arena's scratch.
    compress_slots_batched_(il, ratio, B);
    if (!keys_masks_batched_(il, ratio, B))
        for (int j = 0; j < B; ++j) {
            MultiSlot& s = slots[size_t(a.row_slot[size_t(j)])];
            LayerCache& c = s.layers[size_t(il)];
            const int64_t N = c.n_rows;
            int32_t* pos = a.row_pos.data() + j * kSlabRows;
            for (int64_t k = 0; k < N; ++k) pos[k] = int32_t(s.pos - N + 1 + k);
            float *keys_used = nullptr, *mask_used = nullptr;
            build_kv_and_mask_inc_(il, ratio, c, pos, N, &keys_used, &mask_used, a.n_keys[size_t(j)],
                                   a.keys.data() + j * kRowKeys * D, a.masks.data() + j * kRowKeys);
        }
    dt = seconds_since(t);
    prof[kProfBKv] += dt;
    prof[kProfKvBuild] += dt;

    on_pool(B, [&](int j) {
        const MultiSlot& s = slots[size_t(a.row_slot[size_t(j)])];
        const int p = int(s.pos);
        const float* keys = a.keys.data() + j * kRowKeys * D;
        mha_with_sinks(a.q_rot.data() + j * H * D, keys, keys, a.masks.data() + j * kRowKeys, sinks,
                       a.att.data() + j * H * Dv, Dv, H, 1, a.n_keys[size_t(j)], 1.0f / sqrtf(float(D)));
        rope_tail(a.att_rot.data() + j * H * Dv, a.att.data() + j * H * Dv, &p, Dv, H, 1, n_rot, 2, n_ctx_orig,
                  rope_base, freq_scale, 1.0f, 1.0f, yarn_beta_fast, yarn_beta_slow);
    });
    dt = seconds_since(t);
    prof[kProfBMha] += dt;
    prof[kProfMha] += dt;

    grouped_out_batch_(il, a.att_rot.data(), a.f_attn.data(), B);
    progressive_f32_cache_layer_(il);
    dt = seconds_since(t);
    prof[kProfBGout] += dt;
    prof[kProfGout] += dt;

    expand_rows_(a.f_attn.data(), a.streams_a.data(), post, comb, a.streams_b.data(), B);
    pre_mix(a.streams_b.data(), "hc_ffn_fn.weight", "hc_ffn_scale.weight", "hc_ffn_base.weight");
    rmsnorm_rows(a.x.data(), wl(il, "ffn_norm.weight"), a.xf.data(), E, B);
    prof[kProfBRes] += seconds_since(t);

    std::fill(a.f_ffn.begin(), a.f_ffn.begin() + B * E, 0.0f);
    moe(il, batch_tokens, a.xf.data(), a.f_ffn.data(), B);
    prof[kProfMoe] += seconds_since(t);

    expand_rows_(a.f_ffn.data(), a.streams_b.data(), post, comb, a.streams_a.data(), B);
    dt = seconds_since(t);
    prof[kProfBRes] += dt;
    prof[kProfRes] += dt;
    (void)S;
}

void ZOV4Forward::expand_rows_(const float* f, const float* streams_in, const float* post, const float* comb,
                               float* streams_out, int B) {
    const int64_t E = n_embd, S = n_hc;
    if (B < 4) {
        hc_expand(f, streams_in, post, comb, streams_out, E, S, B);
        return;
    }
    on_pool(B, [&](int j) {
        hc_expand(f + j * E, streams_in + j * S * E, post + j * S, comb + j * S * S, streams_out + j * S * E, E, S, 1);
    });
}

bool ZOV4Forward::hc_pre_arena_(const float* streams, const GGUFTensor* fn, const GGUFTensor* scale,
                                const GGUFTensor* base, float* x, int64_t n, float** post, float** comb) {
    if (!arena_ready || n < 1 || n > kMaxRows) return false;
    const int64_t E = n_embd, S = n_hc, SE = S * E, W = S * (S + 2);
    DecodeArena& a = arena;
    on_pool(int(n), [&](int j) { scale_to_unit_rms(streams + j * SE, a.hc_norm.data() + j * SE, SE, rms_eps); });
    mm_multi(fn, a.hc_norm.data(), a.hc_logits.data(), SE, W, n);
    dequantise(*scale, a.hc_scale.data(), 3);
    dequantise(*base, a.hc_base.data(), W);
    hc_split_sinkhorn(a.hc_logits.data(), a.hc_scale.data(), a.hc_base.data(), a.hc_mix.data(), int(S), 20, hc_eps, n);
    for (int64_t j = 0; j < n; ++j) {
        const float* mix = a.hc_mix.data() + j * W;
        std::copy(mix, mix + S, a.hc_pre_w.data() + j * S);
        std::copy(mix + S, mix + 2 * S, a.hc_post_w.data() + j * S);
        std::copy(mix + 2 * S, mix + W, a.hc_comb.data() + j * S * S);
    }
    hc_weighted_sum(streams, a.hc_pre_w.data(), x, E, S, n);
    *post = a.hc_post_w.data();
    *comb = a.hc_comb.data();
    return true;
}

void ZOV4Forward::hc_head_arena_(const float* streams, float* out, int64_t n) {
    if (!arena_ready || n < 1 || n > kMaxRows) {
        hc_head(streams, out, n);
        return;
    }
    const int64_t E = n_embd, S = n_hc, SE = S * E;
    DecodeArena& a = arena;
    for (int64_t j = 0; j < n; ++j) scale_to_unit_rms(streams + j * SE, a.head_norm.data() + j * SE, SE, rms_eps);
    mm_multi(global_tensor("output_hc_fn.weight"), a.head_norm.data(), a.head_logits.data(), SE, S, n);
    dequantise(*global_tensor("output_hc_scale.weight"), a.head_scale.data(), 1);
    dequantise(*global_tensor("output_hc_base.weight"), a.head_base.data(), S);
    for (int64_t j = 0; j < n; ++j)
        for (int64_t k = 0; k < S; ++k)
            a.head_w[size_t(j * S + k)] =
                1.0f / (1.0f + expf(-(a.head_scale[0] * a.head_logits[size_t(j * S + k)]) - a.head_base[size_t(k)])) +
                hc_eps;
    hc_weighted_sum(streams, a.head_w.data(), out, E, S, n);
}

void ZOV4Forward::grouped_out_batch_(int layer, const float* in, float* out, int n) {
    const GGUFTensor* wa = wl(layer, "attn_output_a.weight");
    const GGUFTensor* wb = wl(layer, "attn_output_b.weight");
    if (n < 1) return;
    const int64_t G = std::max(o_groups, 1), Ro = o_rank, Eg = int64_t(n_head) / G * v_dim, E = n_embd;
    const int64_t in_width = int64_t(n_head) * v_dim;
    auto per_row = [&] {
        for (int j = 0; j < n; ++j) grouped_out_gpu(layer, in + j * in_width, out + j * E, 1);
    };
    DecodeArena& a = arena;
    if (!arena_ready || int64_t(a.gout_mid.size()) < n * G * Ro || int64_t(a.gout_in.size()) < n * Eg) {
        per_row();
        return;
    }
    std::fill(a.gout_mid.begin(), a.gout_mid.begin() + n * G * Ro, 0.0f);
    auto copy_of = [&](const GGUFTensor* W) -> const float* {
        auto it = f32_dense.find(W->data);
        return it == f32_dense.end() ? nullptr : it->second.f32;
    };
    const GgmlBlock block = ggml_block(wa->type);
    const uint64_t slice_bytes = block.elements ? uint64_t(Ro * Eg) / block.elements * block.bytes : 0;
    const float* a_copy = copy_of(wa);
    // Each group's inputs side by side, so that all the group products and
    // then the second matrix are one pass each over their weights.
    thread_local std::vector<float> staged;
    staged.resize(size_t(G * n * Eg));
    std::vector<RowProduct> groups(static_cast<size_t>(G));
    for (int64_t g = 0; g < G; ++g) {
        float* dst = staged.data() + g * n * Eg;
        for (int j = 0; j < n; ++j)
            std::copy(in + j * in_width + g * Eg, in + j * in_width + (g + 1) * Eg, dst + j * Eg);
        groups[size_t(g)] = a_copy != nullptr
                                ? RowProduct{0, reinterpret_cast<const uint8_t*>(a_copy + g * Ro * Eg), int32_t(Ro),
                                             int32_t(Eg), dst, a.gout_mid.data() + g * Ro, G * Ro}
                                : RowProduct{wa->type, wa->data + g * slice_bytes, int32_t(Ro), int32_t(Eg), dst,
                                             a.gout_mid.data() + g * Ro, G * Ro};
    }
    if (!row_products(groups.data(), int(G), n)) {
        per_row();
        return;
    }
    const float* b_copy = copy_of(wb);
    const RowProduct second = b_copy != nullptr
                                  ? RowProduct{0, reinterpret_cast<const uint8_t*>(b_copy), int32_t(E), int32_t(G * Ro),
                                               a.gout_mid.data(), out, 0}
                                  : RowProduct{wb->type, wb->data, int32_t(E), int32_t(G * Ro), a.gout_mid.data(), out, 0};
    if (!row_product(second, n)) {
        per_row();
        return;
    }
    mm_count += uint64_t(G + 1);
}

} // namespace vm::zov4
