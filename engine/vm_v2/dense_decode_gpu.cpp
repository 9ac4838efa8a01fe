// The dense model's fused GPU decode step: the whole token — every layer,
// the head and the argmax — in one command buffer, stages separated by
// barriers, weights read in place from the model mapping, keys and values
// written into the sequence's slot of the persistent caches by the kernels.
// One CPU–GPU synchronisation per token; 4 bytes come back.
#include <stdexcept>
#include <string>

#include "vm_cabi/gguf_file.h"
#include "vm_gpu.h"
#include "vm_v2/vm_engine_v2.h"

namespace vivirov {

namespace {

size_t offset_in(const VMEngineV2& e, const GGUFTensor* t) { return t ? size_t(t->data - e.gguf_->base) : 0; }

// Encodes the int8 quantisation of `in` (K values) and one 1.08-bit product
// of it into `out`.
void billm_product(VMEngineV2& e, const VMEngineV2::BillmMatrix& m, void* in, uint32_t K, void* out) {
    const uint32_t k_pad = (K + 7) / 8 * 8;
    vmb_f_quantize_int8(in, 0, e.g_xq_, 0, e.g_xscale_, 0, K, k_pad);
    vmb_barrier();
    vmb_f_billm(m.b1, m.b1_off, e.g_xq_, 0, e.g_xscale_, 0, m.alpha, m.alpha_off, m.beta, m.beta_off, m.sal_cols,
                m.sal_off, m.b2, m.b2_off, out, 0, e.g_acc1_, 0, e.g_acc2_, 0, m.rows, m.in_pad, m.n_sal);
    vmb_barrier();
}

} // namespace

std::string VMEngineV2::fused_refusal_() const {
    static const char* const kMatrices[] = {"attn_q.weight", "attn_k.weight",   "attn_v.weight", "attn_output.weight",
                                            "ffn_gate.weight", "ffn_up.weight", "ffn_down.weight"};
    auto refusal = [](const GGUFTensor* t, const std::string& name) -> std::string {
        if (!t || t->dims.size() < 2) return name + " (missing)";
        const bool product = t->type == gguf::kGgmlQ5_0 || t->type == gguf::kGgmlQ8_0 ||
                             t->type == gguf::kGgmlQ4_K || t->type == gguf::kGgmlQ6_K;
        return product ? std::string() : name + " (type " + std::to_string(t->type) + ")";
    };
    for (int32_t l = 0; l < n_layers_; ++l)
        for (const char* m : kMatrices) {
            const std::string name = blk(l, m);
            const std::string why = refusal(gguf_->find(name), name);
            if (!why.empty()) return why;
        }
    return refusal(output_, output_ ? output_->name : std::string("output.weight"));
}

void VMEngineV2::fmm(const GGUFTensor* w, void* in, size_t in_off, void* out, size_t out_off) {
    if (!w) throw std::runtime_error("VMEngineV2::fmm: null weight tensor");
    if (w->dims.size() < 2) throw std::runtime_error("VMEngineV2::fmm: weight tensor is not a matrix (dims < 2)");
    // An unencoded product would leave the previous product's data in `out`.
    if (!vmb_f_matmul(w->type, model_buf_, offset_in(*this, w), in, in_off, out, out_off, uint32_t(w->dims[1]),
                      uint32_t(w->dims[0]), 1))
        throw std::runtime_error("VMEngineV2::fmm: no GPU product for weight type " + std::to_string(w->type));
}

// `layers` null: the plain step; else the 1.08-bit step with its matrices.
static int32_t gpu_step(VMEngineV2& e, VMEngineV2::ActiveSequence& seq,
                        const std::vector<VMEngineV2::BillmLayer>* layers) {
    if (seq.gpu_slot < 0 || seq.gpu_slot >= kGpuSlots)
        throw std::invalid_argument("VMEngineV2: GPU step without a GPU slot");
    // A slot holds 128 positions; going on would overwrite the last row.
    if (seq.pos >= kGpuSlotPositions)
        throw std::length_error("VMEngineV2: GPU slot full at 128 positions");
    const uint32_t E = uint32_t(e.n_embd_), KV = uint32_t(e.kv_dim_), F = uint32_t(e.n_ff_);
    const uint32_t hd = uint32_t(e.head_dim_), pos = uint32_t(seq.pos);
    const uint32_t group = e.n_head_kv_ > 0 ? uint32_t(e.n_head_ / e.n_head_kv_) : 1u;
    e.embed(seq.token, e.x_host_);
    vmb_arena_reset();
    vmb_command_buffer_begin();
    // A step that throws while encoding still closes its batch, so the next
    // step does not inherit half a token's work.
    struct CloseBatch {
        bool open = true;
        ~CloseBatch() {
            if (open) (void)vmb_command_buffer_commit_and_wait();
        }
    } batch;
    for (int32_t l = 0; l < e.n_layers_; ++l) {
        auto t = [&](const char* name) { return e.gguf_->find(VMEngineV2::blk(l, name)); };
        const GGUFTensor* bq = t("attn_q.bias");
        const GGUFTensor* bk = t("attn_k.bias");
        const GGUFTensor* bv = t("attn_v.bias");
        const size_t block = (size_t(seq.gpu_slot) * size_t(e.n_layers_) + size_t(l)) * size_t(kGpuSlotPositions);
        const size_t row_off = (block + pos) * KV * sizeof(float);
        const size_t block_off = block * KV * sizeof(float);

        vmb_f_rmsnorm(e.g_x_, 0, e.model_buf_, offset_in(e, t("attn_norm.weight")), e.g_xn_, 0, E, e.rms_eps_);
        vmb_barrier();
        if (layers) {
            const VMEngineV2::BillmLayer& L = (*layers)[size_t(l)];
            billm_product(e, L.q, e.g_xn_, E, e.g_q_);
            billm_product(e, L.k, e.g_xn_, E, e.g_k_);
            billm_product(e, L.v, e.g_xn_, E, e.g_v_);
        } else {
            e.fmm(t("attn_q.weight"), e.g_xn_, 0, e.g_q_, 0);
            e.fmm(t("attn_k.weight"), e.g_xn_, 0, e.g_k_, 0);
            e.fmm(t("attn_v.weight"), e.g_xn_, 0, e.g_v_, 0);
            vmb_barrier();
        }
        vmb_f_rope(e.g_q_, 0, e.model_buf_, offset_in(e, bq), bq ? 1 : 0, e.g_q_, 0, uint32_t(e.n_head_), hd, pos,
                   e.rope_base_);
        vmb_f_rope(e.g_k_, 0, e.model_buf_, offset_in(e, bk), bk ? 1 : 0, e.g_kcache_, row_off,
                   uint32_t(e.n_head_kv_), hd, pos, e.rope_base_);
        vmb_f_addbias(e.g_v_, 0, e.model_buf_, offset_in(e, bv), bv ? 1 : 0, e.g_vcache_, row_off, KV);
        vmb_barrier();
        vmb_f_attention(e.g_q_, 0, e.g_kcache_, block_off, e.g_vcache_, block_off, e.g_attn_, 0, pos + 1, hd, KV, group,
                        uint32_t(e.n_head_));
        vmb_barrier();
        if (layers) {
            billm_product(e, (*layers)[size_t(l)].o, e.g_attn_, E, e.g_proj_);
        } else {
            e.fmm(t("attn_output.weight"), e.g_attn_, 0, e.g_proj_, 0);
            vmb_barrier();
        }
        vmb_f_residual(e.g_x_, 0, e.g_proj_, 0, E);
        vmb_barrier();
        vmb_f_rmsnorm(e.g_x_, 0, e.model_buf_, offset_in(e, t("ffn_norm.weight")), e.g_xn2_, 0, E, e.rms_eps_);
        vmb_barrier();
        if (layers) {
            const VMEngineV2::BillmLayer& L = (*layers)[size_t(l)];
            billm_product(e, L.gate, e.g_xn2_, E, e.g_gate_);
            billm_product(e, L.up, e.g_xn2_, E, e.g_up_);
        } else {
            e.fmm(t("ffn_gate.weight"), e.g_xn2_, 0, e.g_gate_, 0);
            e.fmm(t("ffn_up.weight"), e.g_xn2_, 0, e.g_up_, 0);
            vmb_barrier();
        }
        vmb_f_silu(e.g_gate_, 0, e.g_up_, 0, e.g_act_, 0, F);
        vmb_barrier();
        if (layers) {
            billm_product(e, (*layers)[size_t(l)].down, e.g_act_, F, e.g_down_);
        } else {
            e.fmm(t("ffn_down.weight"), e.g_act_, 0, e.g_down_, 0);
            vmb_barrier();
        }
        vmb_f_residual(e.g_x_, 0, e.g_down_, 0, E);
        vmb_barrier();
    }
    vmb_f_rmsnorm(e.g_x_, 0, e.model_buf_, offset_in(e, e.output_norm_), e.g_xn2_, 0, E, e.rms_eps_);
    vmb_barrier();
    if (layers)
        billm_product(e, e.billm_head_, e.g_xn2_, E, e.g_logits_);
    else {
        e.fmm(e.output_, e.g_xn2_, 0, e.g_logits_, 0);
        vmb_barrier();
    }
    vmb_f_argmax(e.g_logits_, 0, e.g_argmax_, 0, uint32_t(e.n_vocab_));
    batch.open = false;
    if (!vmb_command_buffer_commit_and_wait()) throw std::runtime_error("VMEngineV2: GPU decode step failed");
    return int32_t(*e.argmax_host_);
}

int32_t VMEngineV2::forward_one_gpu(ActiveSequence& seq) { return gpu_step(*this, seq, nullptr); }

int32_t VMEngineV2::forward_one_gpu_billm(ActiveSequence& seq) {
    if (billm_layers_.size() != size_t(n_layers_)) return forward_one_gpu(seq);
    return gpu_step(*this, seq, &billm_layers_);
}

} // namespace vivirov
