// What construction checks before the model can run: every size the passes
// divide by or allocate with, and every tensor they look up, with its shape,
// so that a bad file fails here with a clear error instead of inside a step.
#include <cstdio>
#include <string>

#include "zov4/zov4_forward.h"
#include "zov4/zov4_hyper_connections.h"

namespace vm::zov4 {

namespace {

[[noreturn]] void refuse(const std::string& what) { throw ModelError("ZOV4: " + what); }

void require(bool ok, const std::string& what) {
    if (!ok) refuse(what);
}

// A matrix of `rows` rows of `cols` elements (dims {cols, rows, ...}), whose
// rows are whole blocks and whose bytes are all in the file.
void check_shape(const GGUFTensor& t, uint64_t cols, uint64_t rows) {
    uint64_t stored_rows = 1;
    for (size_t i = 1; i < t.dims.size(); ++i) stored_rows *= t.dims[i];
    if (t.dims.empty() || t.dims[0] != cols || stored_rows != rows)
        refuse("tensor " + t.name + " has the wrong shape (expected " + std::to_string(rows) + " rows of " +
               std::to_string(cols) + ")");
    uint64_t per_block = 0, block_bytes = 0;
    if (!gguf::block_geometry(t.type, per_block, block_bytes) || cols % per_block != 0)
        refuse("tensor " + t.name + " has an unsupported type or rows of partial blocks");
    if (cols / per_block * block_bytes * rows > t.nbytes) refuse("tensor " + t.name + " is cut short");
}

} // namespace

void ZOV4Forward::check_model_() {
    require(n_layer >= 1, "block_count must be at least 1");
    require(n_embd >= 1 && n_head >= 1 && head_dim >= 1 && q_rank >= 1 && n_vocab >= 1,
            "embedding_length, attention.head_count, attention.key_length, attention.q_lora_rank and vocab_size "
            "must be positive");
    require(v_dim == head_dim, "attention.value_length must equal attention.key_length");
    require(n_hc >= 1 && n_hc <= kMaxStreams, "hyper_connection.count must be 1-16");
    require(n_rot >= 0 && n_rot % 2 == 0 && n_rot <= 512 && n_rot <= head_dim,
            "rope.dimension_count must be even, at most 512 and at most attention.key_length");
    require(o_groups >= 1 && o_rank >= 1 && n_head % o_groups == 0,
            "attention.output_group_count must divide attention.head_count and output_lora_rank be positive");
    require(n_expert >= 1 && n_expert_used >= 1 && n_expert_used <= n_expert && n_ff_exp >= 1,
            "expert_count, expert_used_count and expert_feed_forward_length must be positive and "
            "expert_used_count at most expert_count");
    require(n_hash_layers >= 0 && n_hash_layers <= n_layer, "hash_layer_count must be 0 to block_count");
    bool indexed = false;
    for (int r : compress_ratio) indexed = indexed || r == 4;
    if (indexed)
        require(ix_heads >= 1 && ix_dim >= n_rot && ix_dim >= 1 && ix_top_k >= 1,
                "the indexer's head_count, key_length (at least the rotary width) and top_k must be positive");

    const uint64_t E = uint64_t(n_embd), S = uint64_t(n_hc), H = uint64_t(n_head), D = uint64_t(head_dim);
    const uint64_t Q = uint64_t(q_rank), G = uint64_t(o_groups), Ro = uint64_t(o_rank), V = uint64_t(n_vocab);
    const uint64_t mix = S * (S + 2);

    check_shape(*global_tensor("token_embd.weight"), E, V);
    check_shape(*global_tensor("output_norm.weight"), E, 1);
    check_shape(*global_tensor("output.weight"), E, V);
    check_shape(*global_tensor("output_hc_fn.weight"), S * E, S);
    check_shape(*global_tensor("output_hc_scale.weight"), 1, 1);
    check_shape(*global_tensor("output_hc_base.weight"), S, 1);

    for (int il = 0; il < n_layer; ++il) {
        for (const char* half : {"hc_attn_", "hc_ffn_"}) {
            const std::string h(half);
            check_shape(*wl(il, h + "fn.weight"), S * E, mix);
            check_shape(*wl(il, h + "scale.weight"), 3, 1);
            check_shape(*wl(il, h + "base.weight"), mix, 1);
        }
        check_shape(*wl(il, "attn_norm.weight"), E, 1);
        check_shape(*wl(il, "attn_q_a.weight"), E, Q);
        check_shape(*wl(il, "attn_q_a_norm.weight"), Q, 1);
        check_shape(*wl(il, "attn_q_b.weight"), Q, H * D);
        check_shape(*wl(il, "attn_kv.weight"), E, D);
        check_shape(*wl(il, "attn_kv_a_norm.weight"), D, 1);
        check_shape(*wl(il, "attn_sinks.weight"), H, 1);
        check_shape(*wl(il, "attn_output_a.weight"), (H / G) * D, G * Ro);
        check_shape(*wl(il, "attn_output_b.weight"), G * Ro, E);
        check_shape(*wl(il, "ffn_norm.weight"), E, 1);
        const int r = compress_ratio[size_t(il)];
        if (r != 0)
            for (const char* t : {"attn_compressor_kv.weight", "attn_compressor_gate.weight",
                                  "attn_compressor_ape.weight", "attn_compressor_norm.weight"})
                wl(il, t);
        if (r == 4)
            for (const char* t : {"indexer.attn_q_b.weight", "indexer.proj.weight", "indexer_compressor_kv.weight",
                                  "indexer_compressor_gate.weight", "indexer_compressor_ape.weight",
                                  "indexer_compressor_norm.weight"})
                wl(il, t);
        wl(il, "ffn_gate_inp.weight");
        for (const char* t : {"ffn_up_shexp.weight", "ffn_gate_shexp.weight", "ffn_down_shexp.weight"}) wl(il, t);
        if (il < n_hash_layers) wl(il, "ffn_gate_tid2eid.weight");
    }
}

} // namespace vm::zov4
