// The single-sequence pass: prefill of a prompt through every layer, decode
// of one token against the per-layer caches, the token embedding, the output
// head and the RMS audit of the decode streams.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "common/engine_env.h"
#include "vm_cabi_v2/dequant.h"
#include "vm_cabi_v2/det_pool.h"
#include "vm_gpu.h"
#include "zov4/zov4_attention.h"
#include "zov4/zov4_forward.h"
#include "zov4/zov4_tensor_util.h"
#include "zov4/zov4_hyper_connections.h"
#include "zov4/zov4_row_kernels.h"

namespace vm::zov4 {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int64_t kWindow = 4096;      // raw positions a decode keeps per layer
constexpr int64_t kSlabPositions = 128; // a multi-sequence slot's row slab

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

double rms(const float* v, int64_t n) {
    double s = 0;
    for (int64_t i = 0; i < n; ++i) s += double(v[i]) * double(v[i]);
    return n > 0 ? std::sqrt(s / double(n)) : 0.0;
}

bool gpu_projection_type(uint32_t t) { return t == 8 || t == 12 || t == 14; }

// Each head's D values scaled to unit RMS, without a weight.
void normalise_heads(float* q, int64_t rows, int64_t D, float eps) {
    for (int64_t h = 0; h < rows; ++h) {
        float* v = q + h * D;
        const float scale = 1.0f / sqrtf(eps + mean_square_in_order(v, D));
        for (int64_t i = 0; i < D; ++i) v[i] *= scale;
    }
}

// The reserved window is fresh memory that the appends touch a little at a
// time. Under a hypervisor each first touch of a small page can cost
// microseconds, so the window asks for huge pages where the system grants
// them on request: one fault per 2 MiB instead of one per 4 KiB.
void prefer_huge_pages(const std::vector<float>& rows) {
    constexpr uintptr_t kHuge = uintptr_t(2) << 20;
    const auto begin = reinterpret_cast<uintptr_t>(rows.data());
    const uintptr_t lo = (begin + kHuge - 1) / kHuge * kHuge;
    const uintptr_t hi = (begin + rows.capacity() * sizeof(float)) / kHuge * kHuge;
    // Only a hint: where it is refused, the pages come as before.
    if (lo < hi) madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);
}

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

constexpr uintptr_t kPopulateBytes = uintptr_t(1) << 20;

// Maps the reserved pages of the next stretch ahead of the appends in one
// call: a fault per page costs microseconds each under a hypervisor, which
// made the appends a visible share of a decoded token. Runs when the end of
// the rows crosses into a new stretch; kernels without the call (or a
// refusal) leave the pages to be faulted one by one as before.
void populate_ahead(const std::vector<float>& rows, size_t bytes_before) {
    const auto base = reinterpret_cast<uintptr_t>(rows.data());
    const uintptr_t end = base + rows.size() * sizeof(float);
    if (bytes_before != 0 && (base + bytes_before) / kPopulateBytes == end / kPopulateBytes) return;
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t lo = (end + page - 1) / page * page;
    const uintptr_t hi = std::min((end / kPopulateBytes + 2) * kPopulateBytes,
                                  (base + rows.capacity() * sizeof(float)) / page * page);
    if (lo < hi) madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_POPULATE_WRITE);
}

// Appends one row, reserving a window's worth (and the rows left in front of
// it until they are trimmed) at once so that appends never reallocate.
void append_row(std::vector<float>& rows, const float* row, int64_t width) {
    bool fresh = false;
    const size_t capacity = size_t(width * (kWindow + kWindow / 4));
    if (rows.capacity() < capacity) {
        rows.reserve(capacity);
        prefer_huge_pages(rows);
        fresh = true;
    }
    const size_t before = fresh ? 0 : rows.size() * sizeof(float);
    rows.insert(rows.end(), row, row + width);
    populate_ahead(rows, before);
}

// Copies rows into a layer-cache vector: exactly the rows, or over the front
// of a slot's slab (grown when the rows do not fit it).
void fill_rows(std::vector<float>& dst, const float* src, int64_t count, bool slab) {
    if (!slab) {
        dst.assign(src, src + count);
        return;
    }
    if (dst.size() < size_t(count)) dst.resize(size_t(count));
    std::copy(src, src + count, dst.begin());
}

} // namespace

void ZOV4Forward::check_tokens_(const int32_t* tokens, size_t n) const {
    if (n == 0) throw std::out_of_range("ZOV4: empty prompt");
    const int64_t rows = int64_t(global_tensor("token_embd.weight")->dims.at(1));
    for (size_t i = 0; i < n; ++i)
        if (tokens[i] < 0 || tokens[i] >= n_vocab || tokens[i] >= rows)
            throw std::out_of_range("ZOV4: token id " + std::to_string(tokens[i]) + " outside the vocabulary of " +
                                    std::to_string(n_vocab));
}

void ZOV4Forward::embed(const std::vector<int32_t>& tokens, float* hidden) const {
    const GGUFTensor* emb = global_tensor("token_embd.weight");
    check_tokens_(tokens.data(), tokens.size());
    const int64_t E = n_embd, S = n_hc;
    uint64_t per = 0, bytes = 0;
    const uint64_t row_bytes = gguf::block_geometry(emb->type, per, bytes) ? uint64_t(E) / per * bytes : 0;
    std::vector<float> row(static_cast<size_t>(E));
    for (size_t t = 0; t < tokens.size(); ++t) {
        vm::dequant_tensor(emb->type, emb->data + uint64_t(tokens[t]) * row_bytes, row.data(), uint64_t(E));
        for (int64_t s = 0; s < S; ++s) std::copy(row.begin(), row.end(), hidden + (int64_t(t) * S + s) * E);
    }
}

int32_t ZOV4Forward::head_(const float* streams, std::vector<float>* logits) {
    const int64_t E = n_embd, V = n_vocab;
    std::vector<float> x(static_cast<size_t>(E)), xn(static_cast<size_t>(E)), out(static_cast<size_t>(V));
    hc_head(streams, x.data(), 1);
    rmsnorm(x.data(), global_tensor("output_norm.weight"), xn.data(), E);
    mm(global_tensor("output.weight"), xn.data(), out.data(), E, V);
    if (V > 0) vmb_sanitize_f32(out.data(), size_t(V));
    int32_t best = 0;
    for (int64_t i = 1; i < V; ++i)
        if (out[size_t(i)] > out[size_t(best)]) best = int32_t(i);
    if (logits) *logits = std::move(out);
    return best;
}

int32_t ZOV4Forward::forward(const std::vector<int32_t>& tokens, std::vector<float>* logits, bool verbose) {
    std::lock_guard lock(mu);
    // Many short pool jobs between serial stretches: keep the workers awake.
    vm::apex::DetPool::Hold hot(vm::apex::det_pool_global());
    check_tokens_(tokens.data(), tokens.size());
    ensure_dense_q8_wall_pinned_();
    const int64_t n = int64_t(tokens.size()), E = n_embd, S = n_hc;
    std::vector<float> hidden(size_t(n * S * E), 0.0f);
    embed(tokens, hidden.data());
    if (verbose)
        std::printf("  [embed] %lld tok -> [%d,%d,%lld]  rms0=%.4f\n", (long long)n, n_embd, n_hc, (long long)n,
                    rms(hidden.data(), E));
    for (int il = 0; il < n_layer; ++il) layer(il, tokens, hidden, n, verbose);
    const int32_t token = head_(hidden.data() + (n - 1) * S * E, logits);
    // Only the first prefill (of an empty sequence) sets the position; a
    // later prompt leaves the sequence's history as it was.
    if (n_past == 0) n_past = n;
    if (uvm) {
        uvm->flush_all();
        std::fprintf(stderr, "[PHASE10] prefill dump: UVM ring cleared (lru=%zu)\n", uvm->cache_size());
    }
    return token;
}

int32_t ZOV4Forward::forward_one(int32_t token, std::vector<float>* logits, bool verbose) {
    std::lock_guard lock(mu);
    vm::apex::DetPool::Hold hot(vm::apex::det_pool_global());
    check_tokens_(&token, 1);
    ensure_dense_q8_wall_pinned_();
    std::vector<float> hidden(size_t(n_hc) * size_t(n_embd), 0.0f);
    embed({token}, hidden.data());
    for (int il = 0; il < n_layer; ++il) layer_one(il, token, hidden, verbose);
    const int32_t next = head_(hidden.data(), logits);
    ++n_past;
    return next;
}

void ZOV4Forward::layer(int il, const std::vector<int32_t>& tokens, std::vector<float>& hidden, int64_t n,
                        bool verbose) {
    advise_layer_dense_willneed_(il);
    if (il + 1 < n_layer) advise_layer_dense_willneed_(il + 1);
    const int ratio = compress_ratio[size_t(il)];
    const auto t0 = Clock::now();
    const int64_t E = n_embd, S = n_hc, H = n_head, D = head_dim, Dv = v_dim, Q = q_rank;

    std::vector<int> positions(static_cast<size_t>(n));
    for (int64_t t = 0; t < n; ++t) positions[size_t(t)] = int(t);
    std::vector<float> residual = hidden;

    std::vector<float> x(static_cast<size_t>(n * E)), xn(static_cast<size_t>(n * E));
    HCMix mix = hc_pre(hidden.data(), wl(il, "hc_attn_fn.weight"), wl(il, "hc_attn_scale.weight"),
                       wl(il, "hc_attn_base.weight"), x.data(), n);
    rmsnorm_rows(x.data(), wl(il, "attn_norm.weight"), xn.data(), E, n);

    // The two low-rank projections of the normalised input, in one GPU batch
    // when the prompt is long enough and this call can own the batch.
    const GGUFTensor* wqa = wl(il, "attn_q_a.weight");
    const GGUFTensor* wkv = wl(il, "attn_kv.weight");
    std::vector<float> qa(static_cast<size_t>(n * Q)), kv(static_cast<size_t>(n * D));
    bool projected = false;
    if (n >= 8 && use_gpu && gpu_projection_type(wqa->type) && gpu_projection_type(wkv->type) &&
        gpu.command_buffer_handle && !gpu.command_buffer_handle()) {
        thread_local std::vector<float> Bt, Ct_qa, Ct_kv;
        Bt.resize(size_t(E * n));
        Ct_qa.resize(size_t(Q * n));
        Ct_kv.resize(size_t(D * n));
        transpose(xn.data(), Bt.data(), n, E);
        gpu.arena_reset();
        gpu.command_buffer_begin();
        bool ok = gmm(wqa->data, wqa->type, wqa->nbytes, Bt.data(), Ct_qa.data(), E, Q, n) != 0;
        ok = ok && gmm(wkv->data, wkv->type, wkv->nbytes, Bt.data(), Ct_kv.data(), E, D, n) != 0;
        ok = gpu.command_buffer_commit_and_wait() && ok;
        if (ok) {
            transpose(Ct_qa.data(), qa.data(), Q, n);
            transpose(Ct_kv.data(), kv.data(), D, n);
            projected = true;
        }
    }
    if (!projected) {
        mm_together({{wqa, xn.data(), qa.data(), E, Q}, {wkv, xn.data(), kv.data(), E, D}}, n);
    }

    std::vector<float> qn(static_cast<size_t>(n * Q)), q(static_cast<size_t>(n * H * D)), q_rot(static_cast<size_t>(n * H * D));
    rmsnorm_rows(qa.data(), wl(il, "attn_q_a_norm.weight"), qn.data(), Q, n);
    mm_multi(wl(il, "attn_q_b.weight"), qn.data(), q.data(), Q, H * D, n);
    normalise_heads(q.data(), n * H, D, rms_eps);
    rope_tail(q_rot.data(), q.data(), positions.data(), D, H, n, n_rot, 2, n_ctx_orig, rope_base, freq_scale, 1.0f,
              1.0f, yarn_beta_fast, yarn_beta_slow);

    std::vector<float> kvn(static_cast<size_t>(n * D)), kv_rot(static_cast<size_t>(n * D));
    rmsnorm_rows(kv.data(), wl(il, "attn_kv_a_norm.weight"), kvn.data(), D, n);
    rope_tail(kv_rot.data(), kvn.data(), positions.data(), D, 1, n, n_rot, 2, n_ctx_orig, rope_base, freq_scale, 1.0f,
              1.0f, yarn_beta_fast, yarn_beta_slow);
    fp8_kv_quantize(kv_rot.data(), D, n_rot, n);

    LayerCache& c = caches[size_t(il)];
    if (n_past == 0) {
        const bool slab = c.x_rows.size() >= size_t(E * kSlabPositions);
        fill_rows(c.x_rows, xn.data(), n * E, slab);
        fill_rows(c.qa_rows, qn.data(), n * Q, slab);
        fill_rows(c.kv_rows, kv_rot.data(), n * D, slab);
        c.row_offset = 0;
        if (slab) c.n_rows = n;
    }

    std::vector<float> kv_all, mask;
    int64_t N = 0;
    build_kv_and_mask(il, ratio, xn.data(), qn.data(), kv_rot.data(), positions.data(), n, kv_all, mask, N);

    if (n_past == 0 && ratio >= 1) {
        const int64_t m = std::min<int64_t>(n / ratio, std::max<int64_t>(N - n, 0));
        if (m >= 1) {
            c.comp_kv.assign(kv_all.begin() + n * D, kv_all.begin() + (n + m) * D);
            c.n_comp = m;
            c.comp_tokens = m * ratio;
        } else {
            c.comp_kv.clear();
            c.n_comp = 0;
            c.comp_tokens = 0;
        }
    }

    const std::vector<float> sinks = dequantised(wl(il, "attn_sinks.weight"), H);
    std::vector<float> att(static_cast<size_t>(n * H * Dv)), att_rot(static_cast<size_t>(n * H * Dv)), f(static_cast<size_t>(n * E));
    mha_with_sinks(q_rot.data(), kv_all.data(), kv_all.data(), mask.data(), sinks.data(), att.data(), Dv, H, n, N,
                   1.0f / sqrtf(float(D)));
    rope_tail(att_rot.data(), att.data(), positions.data(), Dv, H, n, n_rot, 2, n_ctx_orig, rope_base, freq_scale,
              1.0f, 1.0f, yarn_beta_fast, yarn_beta_slow);
    grouped_out_gpu(il, att_rot.data(), f.data(), n);
    hc_expand(f.data(), residual.data(), mix.post.data(), mix.comb.data(), hidden.data(), E, S, n);
    t_attn += seconds_since(t0);

    residual = hidden;
    HCMix mix2 = hc_pre(hidden.data(), wl(il, "hc_ffn_fn.weight"), wl(il, "hc_ffn_scale.weight"),
                        wl(il, "hc_ffn_base.weight"), x.data(), n);
    std::vector<float> xf(static_cast<size_t>(n * E)), y(size_t(n * E), 0.0f);
    rmsnorm_rows(x.data(), wl(il, "ffn_norm.weight"), xf.data(), E, n);
    const auto tm = Clock::now();
    moe(il, tokens, xf.data(), y.data(), n);
    t_moe += seconds_since(tm);
    hc_expand(y.data(), residual.data(), mix2.post.data(), mix2.comb.data(), hidden.data(), E, S, n);

    if (verbose)
        std::printf("  [layer %2d] ratio=%3d keys=%lld  stream rms=%.4f\n", il, ratio, (long long)N,
                    rms(hidden.data(), n * S * E));
}

void ZOV4Forward::layer_one(int il, int32_t token, std::vector<float>& hidden, bool) {
    advise_layer_dense_willneed_(il);
    if (il + 1 < n_layer) advise_layer_dense_willneed_(il + 1);
    const int ratio = compress_ratio[size_t(il)];
    const auto t0 = Clock::now();
    const int64_t E = n_embd, S = n_hc, H = n_head, D = head_dim, Dv = v_dim, Q = q_rank;
    const int64_t p = n_past;
    const int pos = int(p);
    LayerCache& c = caches[size_t(il)];
    std::vector<float> residual = hidden;

    std::vector<float> x(static_cast<size_t>(E)), xn(static_cast<size_t>(E));
    HCMix mix = hc_pre(hidden.data(), wl(il, "hc_attn_fn.weight"), wl(il, "hc_attn_scale.weight"),
                       wl(il, "hc_attn_base.weight"), x.data(), 1);
    rmsnorm_rows(x.data(), wl(il, "attn_norm.weight"), xn.data(), E, 1);

    std::vector<float> qa(static_cast<size_t>(Q)), qn(static_cast<size_t>(Q)), q(static_cast<size_t>(H * D)), q_rot(static_cast<size_t>(H * D));
    std::vector<float> kv(static_cast<size_t>(D)), kvn(static_cast<size_t>(D)), kv_rot(static_cast<size_t>(D));
    // Both projections of the normalised input in one pass, with the
    // compressors' projections of the block this position completes.
    append_row(c.x_rows, xn.data(), E);
    RowProduct block[8];
    const int n_block = block_projections_(il, ratio, c, p, block);
    if (!mm_together_with({{wl(il, "attn_q_a.weight"), xn.data(), qa.data(), E, Q},
                           {wl(il, "attn_kv.weight"), xn.data(), kv.data(), E, D}},
                          block, n_block))
        comp_projected_layer[0] = comp_projected_layer[1] = -1;
    rmsnorm_rows(qa.data(), wl(il, "attn_q_a_norm.weight"), qn.data(), Q, 1);
    // The indexer's two projections read the same inputs as the query's
    // second one: all three in one pass, the indexer's kept for this step's
    // key build.
    const GGUFTensor* ix_q = ratio == 4 ? wl_opt(il, "indexer.attn_q_b.weight") : nullptr;
    const GGUFTensor* ix_proj = ratio == 4 ? wl_opt(il, "indexer.proj.weight") : nullptr;
    if (ix_q != nullptr && ix_proj != nullptr && ix_heads >= 1 && ix_dim >= 1) {
        const int64_t width = int64_t(ix_heads) * ix_dim;
        ensure_decode_arena_(); // built before the projections land in it
        if (arena.ix_q.size() < size_t(width)) arena.ix_q.resize(size_t(width));
        if (arena.ix_w.size() < size_t(ix_heads)) arena.ix_w.resize(size_t(ix_heads));
        mm_together({{wl(il, "attn_q_b.weight"), qn.data(), q.data(), Q, H * D},
                     {ix_q, qn.data(), arena.ix_q.data(), Q, width},
                     {ix_proj, xn.data(), arena.ix_w.data(), E, ix_heads}},
                    1);
        ix_projected_layer = il;
        ix_projected_pos = p;
    } else {
        mm(wl(il, "attn_q_b.weight"), qn.data(), q.data(), Q, H * D);
    }
    prof[kProfQ] += seconds_since(t0);

    normalise_heads(q.data(), H, D, rms_eps);
    rope_tail(q_rot.data(), q.data(), &pos, D, H, 1, n_rot, 2, n_ctx_orig, rope_base, freq_scale, 1.0f, 1.0f,
              yarn_beta_fast, yarn_beta_slow);
    const auto t_kv = Clock::now();
    rmsnorm_rows(kv.data(), wl(il, "attn_kv_a_norm.weight"), kvn.data(), D, 1);
    rope_tail(kv_rot.data(), kvn.data(), &pos, D, 1, 1, n_rot, 2, n_ctx_orig, rope_base, freq_scale, 1.0f, 1.0f,
              yarn_beta_fast, yarn_beta_slow);
    fp8_kv_quantize(kv_rot.data(), D, n_rot, 1);
    const auto t_build = Clock::now();
    prof[kProfKvProj] += std::chrono::duration<double>(t_build - t_kv).count();

    append_row(c.qa_rows, qn.data(), Q);
    append_row(c.kv_rows, kv_rot.data(), D);
    ensure_decode_arena_();

    keep_window_(c, ratio, p, kWindow);
    const int64_t g = std::min<int64_t>(p + 1, kWindow);
    int32_t* positions = arena.dec_pos.data();
    for (int64_t k = 0; k < g; ++k) positions[k] = int32_t(p - g + 1 + k);
    float* kv_all = nullptr;
    float* mask = nullptr;
    int64_t N = 0;
    decode_keys_(il, ratio, c, positions, g, &kv_all, &mask, N);
    comp_projected_layer[0] = comp_projected_layer[1] = -1;
    const auto t_mha = Clock::now();
    prof[kProfKvBuild] += std::chrono::duration<double>(t_mha - t_build).count();

    float* sinks = arena.dec_sinks.data();
    vm::dequant_tensor(wl(il, "attn_sinks.weight")->type, wl(il, "attn_sinks.weight")->data, sinks, uint64_t(H));
    std::vector<float> att(static_cast<size_t>(H * Dv)), att_rot(static_cast<size_t>(H * Dv)), f(static_cast<size_t>(E));
    mha_with_sinks(q_rot.data(), kv_all, kv_all, mask, sinks, att.data(), Dv, H, 1, N, 1.0f / sqrtf(float(D)));
    auto t = Clock::now();
    prof[kProfMha] += std::chrono::duration<double>(t - t_mha).count();
    rope_tail(att_rot.data(), att.data(), &pos, Dv, H, 1, n_rot, 2, n_ctx_orig, rope_base, freq_scale, 1.0f, 1.0f,
              yarn_beta_fast, yarn_beta_slow);
    prof[kProfRopeOut] += seconds_since(t);
    t = Clock::now();
    grouped_out_gpu(il, att_rot.data(), f.data(), 1);
    prof[kProfGout] += seconds_since(t);
    t = Clock::now();
    hc_expand(f.data(), residual.data(), mix.post.data(), mix.comb.data(), hidden.data(), E, S, 1);
    prof[kProfRes] += seconds_since(t);
    rms_audit_after_hc_(il, 0, hidden.data(), S * E);

    // The experts the previous token routed in this and the next layer.
    if (om2_bound) {
        for (int l : {il, il + 1}) {
            if (l >= n_layer || l >= int(last_experts.size())) continue;
            for (int32_t e : last_experts[size_t(l)])
                if (e >= 0) om2.prefetch_async(l, e, 0);
        }
    }
    t_attn += seconds_since(t0);

    residual = hidden;
    HCMix mix2 = hc_pre(hidden.data(), wl(il, "hc_ffn_fn.weight"), wl(il, "hc_ffn_scale.weight"),
                        wl(il, "hc_ffn_base.weight"), x.data(), 1);
    std::vector<float> xf(static_cast<size_t>(E)), y(size_t(E), 0.0f);
    rmsnorm_rows(x.data(), wl(il, "ffn_norm.weight"), xf.data(), E, 1);
    t = Clock::now();
    moe(il, {token}, xf.data(), y.data(), 1);
    const double moe_s = seconds_since(t);
    t_moe += moe_s;
    prof[kProfMoe] += moe_s;
    hc_expand(y.data(), residual.data(), mix2.post.data(), mix2.comb.data(), hidden.data(), E, S, 1);
    rms_audit_after_hc_(il, 1, hidden.data(), S * E);
}

void ZOV4Forward::keep_window_(LayerCache& c, int r, int64_t p, int64_t window) {
    const int64_t D = head_dim, E = n_embd, Q = q_rank;
    const int64_t held = int64_t(c.kv_rows.size()) / D - c.row_offset; // the history, p's row included
    if (window < 1 || held <= window) return;
    c.row_offset += held - window;
    slide_compressed_rows_(c, r, p - (held - 1), held - 1, p - window + 1, window);
    // Rows in front of the history are erased a quarter window at a time,
    // not one per step: each erase moves the whole window.
    if (c.row_offset < std::max<int64_t>(window / 4, 1)) return;
    const auto drop = [&](std::vector<float>& rows, int64_t width) {
        rows.erase(rows.begin(), rows.begin() + std::ptrdiff_t(c.row_offset * width));
    };
    drop(c.x_rows, E);
    drop(c.qa_rows, Q);
    drop(c.kv_rows, D);
    c.row_offset = 0;
}

void ZOV4Forward::rms_audit_after_hc_(int il, int phase, float* streams, int64_t count) {
    // 0 off, 1 print, 2 print and clamp; the environment is read once per process.
    static const int mode = [] {
        int m = vm::env_starts_with_1("VIVIROV_RMS_AUDIT") ? 1 : 0;
        if (vm::env_starts_with_1("VIVIROV_HC_RMS_CLAMP")) m = 2;
        return m;
    }();
    if (count <= 0 || !streams || mode == 0) return;
    const double r = rms(streams, count);
    if (il == 0 && phase == 0) {
        audit_l0 = r;
        audit_clamps = 0;
    }
    const char* phase_text = phase == 0 ? "attn" : "ffn";
    const bool runaway = audit_l0 > 1e-12 && r > 3.0 * audit_l0;
    if (il == 0 || il == 10 || il == 20 || il == 30 || il == 42 || il == n_layer - 1 || runaway)
        std::fprintf(stderr,
                     "[RMS_AUDIT] L=%02d phase=%s rms=%.6f L0=%.6f ratio=%.3f residual=%d prefer_only=%d om2=%d\n", il,
                     phase_text, r, audit_l0, audit_l0 > 1e-12 ? r / audit_l0 : 0.0, int(om2_residual),
                     int(om2_prefer_only), int(om2_bound));
    if (mode == 2 && runaway) {
        const float g = float(3.0 * audit_l0 / (r + 1e-12));
        for (int64_t i = 0; i < count; ++i) streams[i] *= g;
        std::fprintf(stderr, "[RMS_CLAMP] L=%02d phase=%s scaled by %.6f (DIAGNOSTIC, not ZOV4-ref)\n", il, phase_text,
                     g);
        ++audit_clamps;
    }
}

} // namespace vm::zov4
