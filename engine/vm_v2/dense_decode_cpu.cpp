// The dense model's CPU decode step: weight products through the GPU bridge
// when it has a device (on the CPU kernels otherwise, or when a batch fails),
// keys and values in the engine's DKV table, everything else in f32 on the CPU.
// Without a device each layer stage's products are one job of the engine's
// pool (dense_decode_stages.h).
#include <algorithm>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <vector>

#include "common/engine_log.h"
#include "vm_cabi/gguf_file.h"
#include "vm_cabi_v2/dequant.h"
#include "vm_cabi_v2/det_pool.h"
#include "vm_cabi_v2/fused_q_kernels.h"
#include "vm_gpu.h"
#include "vm_v2/dense_decode.h"
#include "vm_v2/dense_decode_stages.h"
#include "vm_v2/dense_math.h"
#include "vm_v2/dkv_hash_table.h"
#include "vm_v2/vm_engine_v2.h"

namespace vivirov {

namespace {

constexpr uint64_t kTableCapacity = 1ull << 24;
constexpr uint64_t kTablePoolBytes = 16ull << 20;
constexpr int32_t kRowsPerClaim = 16;

uint32_t rows_of(const GGUFTensor* w) { return w->dims.size() > 1 ? uint32_t(w->dims[1]) : 1u; }

bool cpu_matmul(const GGUFTensor* w, const float* x, float* y) {
    return dense::cpu_multiplies(w) &&
           vm::apex::fused_q_gemv_det(w->type, w->data, int32_t(rows_of(w)), int32_t(w->dims[0]), x, y,
                                      kRowsPerClaim);
}

using dense::Product;

// Products that share one bridge batch. A batch that fails to run delivers
// nothing, so its products are computed again on the CPU.
void batched(VMEngineV2& e, std::initializer_list<Product> products) {
    const bool own = e.model_buf_ && !vmb_command_buffer_handle();
    if (own) vmb_command_buffer_begin();
    for (const Product& p : products) e.matmul(p.w, p.x, p.y);
    if (own && !vmb_command_buffer_commit_and_wait()) {
        for (const Product& p : products)
            if (p.w && !cpu_matmul(p.w, p.x, p.y)) std::memset(p.y, 0, sizeof(float) * rows_of(p.w));
    }
}

// Without a device, products the CPU kernels all serve share one pool job;
// anything else goes product by product through matmul, which logs a type
// it cannot multiply.
bool pooled(const VMEngineV2& e, std::initializer_list<Product> products) {
    bool all = !e.model_buf_;
    for (const Product& p : products) all = all && (!p.w || dense::cpu_multiplies(p.w));
    return all;
}

void stage(VMEngineV2& e, std::initializer_list<Product> products) {
    if (pooled(e, products)) dense::cpu_products(products);
    else batched(e, products);
}

uint32_t first_hash(uint32_t agent, int32_t pos) { return fmix32(agent * 1000003u + uint32_t(pos)); }
uint32_t second_hash(int32_t layer) { return fmix32(uint32_t(layer) ^ 0x9999u) | 1u; }

// Copies the rows of positions [from, to) of one layer out of the table into
// k_rows_ and v_rows_; rows never stored, or evicted, read as zeros.
struct RowGather {
    VMEngineV2& e;
    uint32_t agent;
    uint32_t layer_hash;
    int32_t from, to;

    void run() const {
        const size_t KV = size_t(e.kv_dim_);
        if (e.kv_)
            for (int32_t p = from; p < to; ++p) e.kv_->prefetch(first_hash(agent, p), layer_hash);
        for (int32_t p = from; p < to; ++p) {
            float* kr = e.k_rows_.data() + size_t(p) * KV;
            float* vr = e.v_rows_.data() + size_t(p) * KV;
            const float* row = e.kv_ ? e.kv_->lookup(first_hash(agent, p), layer_hash, uint64_t(p)) : nullptr;
            if (row) {
                std::memcpy(kr, row, sizeof(float) * KV);
                std::memcpy(vr, row + KV, sizeof(float) * KV);
            } else {
                std::memset(kr, 0, sizeof(float) * KV);
                std::memset(vr, 0, sizeof(float) * KV);
            }
        }
    }

    // As pieces of a pool job, kPositionsPerPiece positions each.
    static constexpr int32_t kPositionsPerPiece = 16;
    dense::Pieces pieces() {
        return {(to - from + kPositionsPerPiece - 1) / kPositionsPerPiece, &RowGather::piece, this};
    }
    static void piece(void* self, int32_t i) {
        const RowGather& all = *static_cast<const RowGather*>(self);
        const int32_t a = all.from + i * kPositionsPerPiece;
        RowGather{all.e, all.agent, all.layer_hash, a, std::min(all.to, a + kPositionsPerPiece)}.run();
    }
};

// The Q, K and V products; the earlier positions' rows are gathered by the
// same job, since they do not depend on this step.
void qkv_stage(VMEngineV2& e, std::initializer_list<Product> products, RowGather& earlier) {
    if (pooled(e, products)) {
        dense::cpu_products(products, earlier.pieces());
        return;
    }
    batched(e, products);
    earlier.run();
}

// Attention over the gathered rows; over many positions its query heads are
// shared out to the pool (each head's arithmetic is unchanged).
struct AttentionJob {
    const VMEngineV2& e;
    const float* q;
    int32_t T;
    float* out;

    static constexpr int32_t kPooledFrom = 64; // positions

    void run(int32_t h0, int32_t h1) const {
        dense::attention_heads(q, e.k_rows_.data(), e.v_rows_.data(), T, e.n_head_, e.n_head_kv_, e.head_dim_, out,
                               h0, h1);
    }
    static void head(void* self, int32_t h) { static_cast<const AttentionJob*>(self)->run(h, h + 1); }
    void operator()() {
        if (!e.model_buf_ && T >= kPooledFrom && e.n_head_ > 1) dense::cpu_pieces({e.n_head_, &AttentionJob::head, this});
        else run(0, e.n_head_);
    }
};

void gated_ffn(VMEngineV2& e, const GGUFTensor* gate_w, const GGUFTensor* up_w, const float* x, float* gate,
               float* up, float* act) {
    const int32_t F = e.n_ff_;
    if (!e.model_buf_ && dense::cpu_multiplies(gate_w) && dense::cpu_multiplies(up_w) &&
        int32_t(rows_of(gate_w)) == F && int32_t(rows_of(up_w)) == F) {
        dense::cpu_gated_ffn(gate_w, up_w, x, gate, up, act, F);
        return;
    }
    batched(e, {{gate_w, x, gate}, {up_w, x, up}});
    dense::swiglu(gate, up, F, act);
}

void add_bias(const GGUFTensor* bias, float* v, int32_t n) {
    if (!bias) return;
    const float* b = reinterpret_cast<const float*>(bias->data);
    for (int32_t i = 0; i < n; ++i) v[i] += b[i];
}

const float* weights_of(const GGUFTensor* t) { return t ? reinterpret_cast<const float*>(t->data) : nullptr; }


} // namespace

std::string VMEngineV2::blk(int layer, const char* name) { return "blk." + std::to_string(layer) + "." + name; }

void VMEngineV2::deq_q8_0(const uint8_t* block, float* out) { vm::deq_q8_0(block, out); }

void VMEngineV2::embed(int token, float* out) {
    const size_t n = size_t(n_embd_ > 0 ? n_embd_ : 0);
    std::memset(out, 0, sizeof(float) * n);
    const GGUFTensor* t = tok_embd_;
    if (!t) return;
    uint64_t per_block = 0, block_bytes = 0;
    const bool known = t->type == gguf::kGgmlF32 || t->type == gguf::kGgmlF16 || t->type == gguf::kGgmlQ5_0 ||
                       t->type == gguf::kGgmlQ8_0;
    if (!known || !gguf::block_geometry(t->type, per_block, block_bytes)) {
        vm::log_line("[embed] UNHANDLED tensor type %d", int(t->type));
        return;
    }
    // Ids outside the embedding's rows read nothing: they embed as zeros.
    const uint64_t rows = t->dims.size() > 1 ? t->dims[1] : 1;
    const uint64_t whole = n / per_block * per_block; // a partial last block is left zero
    const uint64_t row_bytes = whole / per_block * block_bytes;
    if (token < 0 || uint64_t(token) >= rows || whole == 0) return;
    const uint64_t stride = (t->dims[0] + per_block - 1) / per_block * block_bytes;
    if (uint64_t(token) * stride + row_bytes > t->nbytes) return;
    vm::dequant_tensor(t->type, t->data + uint64_t(token) * stride, out, whole);
}

void VMEngineV2::matmul(const GGUFTensor* w, const float* x, float* y) {
    if (!w) return;
    const uint32_t K = uint32_t(w->dims[0]), M = rows_of(w);
    bool ok = false;
    if (model_buf_) {
        const size_t off = size_t(w->data - gguf_->base);
        switch (w->type) {
        case gguf::kGgmlQ5_0: ok = vm_gpu_matmul_q5_0(model_buf_, off, nullptr, w->nbytes, nullptr, 0, x, y, M, K, 1); break;
        case gguf::kGgmlQ8_0: ok = vm_gpu_matmul_q8_0(model_buf_, off, nullptr, w->nbytes, nullptr, 0, x, y, M, K, 1); break;
        case gguf::kGgmlQ4_K: ok = vm_gpu_matmul_q4_k(model_buf_, off, nullptr, w->nbytes, nullptr, 0, x, y, M, K, 1); break;
        case gguf::kGgmlQ6_K: ok = vm_gpu_matmul_q6_k(model_buf_, off, nullptr, w->nbytes, nullptr, 0, x, y, M, K, 1); break;
        default: break;
        }
    }
    if (!ok) ok = cpu_matmul(w, x, y);
    if (!ok) {
        vm::log_line("[qwen] matmul FAILED type=%u M=%u K=%u", w->type, M, K);
        std::memset(y, 0, sizeof(float) * M);
    }
}

int32_t VMEngineV2::forward_one_cpu_dense(ActiveSequence& seq) { return dense_cpu_step(*this, seq, nullptr); }

namespace {

const std::vector<VMEngineV2::DenseLayer>& dense_layers(VMEngineV2& e) {
    if (e.dense_layers_.size() == size_t(std::max(e.n_layers_, 0))) return e.dense_layers_;
    e.dense_layers_.clear();
    for (int32_t l = 0; l < e.n_layers_; ++l) {
        auto t = [&](const char* name) { return e.gguf_->find(VMEngineV2::blk(l, name)); };
        e.dense_layers_.push_back({t("attn_norm.weight"), t("ffn_norm.weight"), t("attn_q.weight"),
                                   t("attn_k.weight"), t("attn_v.weight"), t("attn_q.bias"), t("attn_k.bias"),
                                   t("attn_v.bias"), t("attn_output.weight"), t("ffn_gate.weight"),
                                   t("ffn_up.weight"), t("ffn_down.weight")});
    }
    return e.dense_layers_;
}

// A working row of n zeros, in place of the last step's (no allocation once
// it has grown to n).
std::vector<float>& zeros(std::vector<float>& v, size_t n) {
    v.assign(n, 0.0f);
    return v;
}

} // namespace

int32_t dense_cpu_step(VMEngineV2& e, VMEngineV2::ActiveSequence& seq, std::vector<float>* logits_out) {
    const int32_t E = e.n_embd_, KV = e.kv_dim_, F = e.n_ff_, hd = e.head_dim_;
    if (e.model_buf_ && !vmb_command_buffer_handle()) vmb_arena_reset();
    // The step hands the pool a job every few microseconds: its workers keep
    // spinning between them rather than fall asleep in a serial stretch.
    std::optional<vm::apex::DetPool::Hold> hold;
    if (!e.model_buf_) hold.emplace(vm::apex::det_pool_global());
    const size_t nE = size_t(E), nF = size_t(F);
    VMEngineV2::DenseRows& r = e.dense_rows_;
    auto& x = zeros(r.x, nE);
    auto& xn = zeros(r.xn, nE);
    auto& q = zeros(r.q, nE);
    auto& att = zeros(r.att, nE);
    auto& proj = zeros(r.proj, nE);
    auto& kv = zeros(r.kv, 2 * size_t(KV));
    auto& gate = zeros(r.gate, nF);
    auto& up = zeros(r.up, nF);
    auto& act = zeros(r.act, nF);
    const std::vector<VMEngineV2::DenseLayer>& layers = dense_layers(e);
    float* k = kv.data();
    float* v = kv.data() + KV;
    e.embed(seq.token, x.data());
    const int32_t pos = seq.pos;
    const uint16_t kv_bytes = uint16_t((uint32_t(KV) & 0x1FFFu) * 8u);
    const size_t T = size_t(pos) + 1;
    dense::RopeAngles angles;
    dense::rope_angles(hd, pos, e.rope_base_, angles);

    for (int32_t l = 0; l < e.n_layers_; ++l) {
        const VMEngineV2::DenseLayer& w = layers[size_t(l)];
        dense::rms_norm(x.data(), weights_of(w.attn_norm), E, e.rms_eps_, xn.data());
        std::fill(q.begin(), q.end(), 0.0f);
        std::fill(kv.begin(), kv.end(), 0.0f);
        const uint32_t b = second_hash(l);
        if (e.k_rows_.size() < T * size_t(KV)) {
            e.k_rows_.resize(T * size_t(KV));
            e.v_rows_.resize(T * size_t(KV));
        }
        RowGather earlier{e, seq.agent_id, b, 0, pos};
        qkv_stage(e,
                  {{w.q, xn.data(), q.data()}, {w.k, xn.data(), k}, {w.v, xn.data(), v}},
                  earlier);
        add_bias(w.q_bias, q.data(), E);
        add_bias(w.k_bias, k, KV);
        add_bias(w.v_bias, v, KV);
        dense::rope(q.data(), e.n_head_, hd, angles);
        dense::rope(k, e.n_head_kv_, hd, angles);

        // This position's rows go through the table too: a refused insert
        // reads back as zeros, like any row the table does not hold.
        if (e.kv_) e.kv_->insert(first_hash(seq.agent_id, pos), b, uint64_t(pos), kv.data(), kv_bytes);
        RowGather{e, seq.agent_id, b, pos, pos + 1}.run();
        AttentionJob{e, q.data(), int32_t(T), att.data()}();

        std::fill(proj.begin(), proj.end(), 0.0f);
        stage(e, {{w.out, att.data(), proj.data()}});
        for (int32_t i = 0; i < E; ++i) x[size_t(i)] += proj[size_t(i)];

        dense::rms_norm(x.data(), weights_of(w.ffn_norm), E, e.rms_eps_, xn.data());
        std::fill(gate.begin(), gate.end(), 0.0f);
        std::fill(up.begin(), up.end(), 0.0f);
        gated_ffn(e, w.gate, w.up, xn.data(), gate.data(), up.data(), act.data());
        std::fill(proj.begin(), proj.end(), 0.0f);
        stage(e, {{w.down, act.data(), proj.data()}});
        for (int32_t i = 0; i < E; ++i) x[size_t(i)] += proj[size_t(i)];
    }

    dense::rms_norm(x.data(), e.output_norm_w_, E, e.rms_eps_, xn.data());
    // The product writes one logit per output row; ids past them stay 0.
    const size_t vocab = size_t(e.n_vocab_ > 0 ? e.n_vocab_ : 0);
    std::vector<float>& logits = zeros(r.logits, e.output_ ? std::max<size_t>(rows_of(e.output_), vocab) : vocab);
    stage(e, {{e.output_, xn.data(), logits.data()}});
    if (logits_out) logits_out->assign(logits.begin(), logits.begin() + long(vocab));
    return dense::argmax(logits.data(), int32_t(vocab));
}

void VMEngineV2::kv_open_(uint32_t value_bytes) {
    kv_.reset(new DKVHashTable(kTableCapacity, kTablePoolBytes, uint16_t(value_bytes)));
}

void VMEngineV2::kv_forget_(uint32_t agent_id, int32_t n_positions) {
    if (!kv_) return;
    for (int32_t p = 0; p < n_positions; ++p)
        for (int32_t l = 0; l < n_layers_; ++l)
            kv_->remove(first_hash(agent_id, p), second_hash(l), uint64_t(p));
}

void VMEngineV2::DKVDelete::operator()(DKVHashTable* table) const { delete table; }

} // namespace vivirov
