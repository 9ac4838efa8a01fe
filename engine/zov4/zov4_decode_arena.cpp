// The decode arena: every scratch buffer of the single-token decode and of
// the batched step, sized once from the hyperparameters for 16 rows, so that
// decoding allocates nothing per token.
#include <algorithm>

#include "common/engine_log.h"
#include "vm_cabi_v2/kernel_ops.h"
#include "zov4/zov4_forward.h"

namespace vm::zov4 {

namespace {

constexpr size_t kRows = 16;           // rows of a batched step
constexpr size_t kDecodeKeys = 8192;   // keys of the single-token decode
constexpr size_t kDecodeRaw = 4096;    // raw rows of the single-token decode
constexpr size_t kIndexerBlocks = 1032;
constexpr size_t kRowKeys = 256;       // keys per batched row: 128 raw + compressed

template <class T>
void sized(std::vector<T>& v, size_t n) {
    v.assign(std::max<size_t>(n, 1), T{});
}

} // namespace

void ZOV4Forward::ensure_decode_arena_() {
    if (arena_ready) return;
    const size_t E = size_t(n_embd), S = size_t(n_hc), H = size_t(n_head), D = size_t(head_dim);
    const size_t Dv = size_t(v_dim), Q = size_t(q_rank), Ro = size_t(o_rank), G = size_t(o_groups);
    const size_t Hi = size_t(ix_heads), Di = size_t(ix_dim), V = size_t(n_vocab), L = size_t(n_layer);
    const size_t F = size_t(std::max(n_ff_exp, n_ff_shexp)), Fs = size_t(n_ff_shexp), X = size_t(n_expert);
    const size_t m = std::max(Di, D), SS2 = S * (S + 2);
    DecodeArena& a = arena;

    sized(a.dec_keys, D * kDecodeKeys);
    sized(a.dec_mask, kDecodeKeys);
    sized(a.dec_pos, kDecodeRaw);
    sized(a.cmp_values, 512 * m);
    sized(a.cmp_gates, 512 * m);
    sized(a.cmp_out, 2 * m);
    sized(a.cmp_pos, 2);
    a.pool_scratch.assign(16, {});
    sized(a.pool_scratch[0], 512 * m);
    for (size_t i = 1; i <= 3; ++i) sized(a.pool_scratch[i], 2 * m);
    for (size_t i = 4; i <= 13; ++i) sized(a.pool_scratch[i], 256 * m);
    for (size_t i = 14; i <= 15; ++i) sized(a.pool_scratch[i], 512 * m);
    sized(a.ix_buf, kIndexerBlocks);
    sized(a.ix_order, kIndexerBlocks);
    sized(a.ix_keep, kIndexerBlocks);
    sized(a.ix_q, Hi * Di);
    sized(a.ix_q_rot, Hi * Di);
    sized(a.ix_w, Hi);
    sized(a.sh_up, F);
    sized(a.sh_gate, F);
    sized(a.sh_act, F);
    sized(a.sh_in, E);
    sized(a.sh_mid, std::max<size_t>(1, Fs));
    sized(a.shb_up, kRows * F);
    sized(a.shb_gate, kRows * F);
    sized(a.shb_act, kRows * F);
    sized(a.shb_in, kRows * E);
    sized(a.pair_scratch, 2048);
    sized(a.router_logits, std::max<size_t>(1, X));
    sized(a.router_probs, std::max<size_t>(1, X));
    sized(a.gout_row, Ro * G);
    sized(a.dec_sinks, H);

    sized(a.streams_a, kRows * E * S);
    sized(a.x, kRows * E);
    sized(a.xn, kRows * E);
    sized(a.qa, kRows * Q);
    sized(a.qn, kRows * Q);
    sized(a.q, kRows * H * D);
    sized(a.qh, kRows * H * D);
    sized(a.q_rot, kRows * H * D);
    sized(a.kv, kRows * D);
    sized(a.kvn, kRows * D);
    sized(a.kv_rot, kRows * D);
    sized(a.att, kRows * H * Dv);
    sized(a.att_rot, kRows * H * Dv);
    sized(a.f_attn, kRows * E);
    sized(a.xf, kRows * E);
    sized(a.f_ffn, kRows * E);
    sized(a.gout_in, kRows * (H / std::max<size_t>(G, 1)) * Dv);
    sized(a.gout_mid, kRows * G * Ro);
    sized(a.head, kRows * E);
    sized(a.head_n, kRows * E);
    sized(a.logits, kRows * V);
    sized(a.streams_b, kRows * E * S);
    sized(a.keys, D * kRows * kRowKeys * 32); // D·131072
    sized(a.masks, kRows * kRowKeys * 32);    // 131072
    sized(a.row_pos, 65536);
    sized(a.n_keys, kRows);
    sized(a.hc_norm, kRows * E * S);
    sized(a.hc_logits, kRows * SS2);
    sized(a.hc_mix, kRows * SS2);
    sized(a.hc_pre_w, kRows * S);
    sized(a.hc_post_w, kRows * S);
    sized(a.hc_comb, kRows * S * S);
    sized(a.hc_scale, 3);
    sized(a.hc_base, SS2);
    sized(a.head_norm, kRows * E * S);
    sized(a.head_logits, kRows * S);
    sized(a.head_w, kRows * S);
    sized(a.head_scale, 1);
    sized(a.head_base, S);
    sized(a.sinks, H * L);
    sized(a.sinks_ready, L);
    sized(a.row_active, kRows);
    sized(a.row_slot, kRows);

    batch_n = 0;
    arena_ready = true;
    const bool vector_build = &vm::kernel_ops() != &vm::portable_kernel_ops();
    vm::log_line("[PHASE-C-STEP10] DecodeArena Bmax=%d %s hc_expand + residual ping-pong + sinks cache + "
                 "QKV/MHA slabs (phantom kill)",
                 int(kRows), vector_build ? "AVX2" : "portable");
}

void ZOV4Forward::batch_begin_(int n) {
    ensure_decode_arena_();
    batch_n = std::clamp(n, 0, int(kRows));
    for (int i = 0; i < int(kRows); ++i) arena.row_active[size_t(i)] = i < batch_n ? 1 : 0;
}

} // namespace vm::zov4
