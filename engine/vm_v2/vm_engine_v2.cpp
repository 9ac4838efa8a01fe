// Construction of the engine for each model kind, the dense path's GPU
// buffers, and teardown.
#include "vm_v2/vm_engine_v2.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "common/engine_env.h"
#include "common/engine_log.h"
#include "vm_cabi/gguf_file.h"
#include "vm_gpu.h"

namespace vivirov {
namespace {

// A numeric metadata value, or the default when the file lacks the key.
double kv_or(const GGUFFile& f, const char* key, double fallback) {
    auto it = f.kv.find(key);
    return it == f.kv.end() ? fallback : it->second;
}

struct DenseShape {
    int32_t n_embd, n_head, n_head_kv;
};

DenseShape dense_shape(const GGUFFile& f) {
    return {int32_t(kv_or(f, "qwen2.embedding_length", 896)), int32_t(kv_or(f, "qwen2.attention.head_count", 14)),
            int32_t(kv_or(f, "qwen2.attention.head_count_kv", 2))};
}

} // namespace

VMEngineV2::VMEngineV2(const char* path) {
    for (uint64_t i = 0; i < kRingSlots; ++i) cmd_ring_[i].seq.store(i, std::memory_order_relaxed);

    const bool scaffold = std::strcmp(path, kScaffoldPath) == 0;
    if (!scaffold) gguf_ = std::make_unique<GGUFFile>(path);

    // Widths of 8192 and above would overflow the table's 16-bit value size.
    const int32_t kv_dim = get_kv_dim();
    if (kv_dim <= 0 || kv_dim >= 8192)
        throw std::runtime_error("VMEngineV2: key/value width " + std::to_string(kv_dim) + " unsupported");
    kv_open_(uint32_t(kv_dim) * 8u);

    if (scaffold) {
        n_layers_ = 2, n_embd_ = 64, n_head_ = 1, n_head_kv_ = 1, n_ff_ = 128;
        head_dim_ = 64, kv_dim_ = 64, n_vocab_ = 128;
        rope_base_ = 10000.0f, rms_eps_ = 1e-5f;
        return;
    }

    const bool gpu = vm_gpu_bridge_init() != 0;
    auto bc = gguf_->kv.find("deepseek4.block_count");
    is_zov4_ = bc != gguf_->kv.end() && bc->second != 0.0;
    if (is_zov4_) {
        construct_zov4_(path);
        return;
    }

    const DenseShape s = dense_shape(*gguf_);
    n_layers_ = int32_t(kv_or(*gguf_, "qwen2.block_count", 24));
    n_embd_ = s.n_embd, n_head_ = s.n_head, n_head_kv_ = s.n_head_kv;
    n_ff_ = int32_t(kv_or(*gguf_, "qwen2.feed_forward_length", 4864));
    rope_base_ = float(kv_or(*gguf_, "qwen2.rope.freq_base", 1'000'000.0));
    rms_eps_ = float(kv_or(*gguf_, "qwen2.attention.layer_norm_rms_epsilon", 1e-6));
    head_dim_ = n_head_ ? n_embd_ / n_head_ : 0;
    kv_dim_ = n_head_kv_ * head_dim_;
    n_vocab_ = int32_t(gguf_->tokens.size());

    tok_embd_ = gguf_->find("token_embd.weight");
    output_ = gguf_->find("output.weight");
    if (!output_ && tok_embd_) {
        output_ = tok_embd_;
        vm::log_line("[vm_v2] output.weight absent — tied embeddings: logits reuse token_embd");
    }
    output_norm_ = gguf_->find("output_norm.weight");
    output_norm_w_ = output_norm_ ? reinterpret_cast<const float*>(output_norm_->data) : nullptr;

    if (!gpu) {
        // No Vulkan device at all: the CPU path is the only one there is.
        vm::log_line("[vm_v2] no Vulkan device — dense model runs on the CPU path");
        return;
    }
    const long page = sysconf(_SC_PAGESIZE);
    const size_t mapped = (size_t(gguf_->size) + size_t(page) - 1) / size_t(page) * size_t(page);
    model_buf_ = vm_gpu_buffer_nocopy(const_cast<uint8_t*>(gguf_->base), mapped);
    const bool fusion = vmb_fusion_available();
    // A product the GPU cannot encode would leave its output buffer stale.
    const std::string refusal = fusion && model_buf_ ? fused_refusal_() : std::string();
    if (!refusal.empty()) vm::log_line("[vm_v2] fused path has no GPU product for %s", refusal.c_str());
    if (fusion && model_buf_ && head_dim_ <= 64 && refusal.empty()) {
        fused_ = !vm::env_value("VM_NO_FUSE");
        if (fused_) alloc_gpu_buffers();
        if (fused_) return;
    }
    fused_ = false;
    if (vm::env_value("VM_NO_FUSE")) return;
    vm::log_line("[vm_v2] fused path unavailable — TPS would collapse (fusion_pipelines=%d mmap_bound=%d "
                 "head_dim=%d) — degrading to scaffold",
                 fusion ? 1 : 0, model_buf_ ? 1 : 0, head_dim_);
    // The destructor does not run for a constructor that throws.
    if (model_buf_) vm_gpu_buffer_release(model_buf_), model_buf_ = nullptr;
    throw std::runtime_error("VMEngineV2: fused path unavailable");
}

VMEngineV2::~VMEngineV2() {
    stop_pump();
    free_gpu_buffers();
    if (model_buf_) vm_gpu_buffer_release(model_buf_);
    model_buf_ = nullptr;
}

void VMEngineV2::stop_pump() {
    if (!running_.exchange(false)) return;
    cmd_bell_.ring();
    if (pump_.joinable()) pump_.join();
}

int32_t VMEngineV2::get_kv_dim() const {
    if (!gguf_) return 64;
    const DenseShape s = dense_shape(*gguf_);
    return s.n_head ? s.n_head_kv * (s.n_embd / s.n_head) : 0;
}

void VMEngineV2::alloc_gpu_buffers() {
    const size_t f = sizeof(float);
    const size_t E = size_t(n_embd_), KV = size_t(kv_dim_), FF = size_t(n_ff_), V = size_t(n_vocab_);
    const size_t cache = (size_t(kGpuSlots) * size_t(n_layers_) * kGpuSlotPositions * KV + KV) * f;
    g_x_ = vmb_persistent_alloc(E * f);
    g_xn_ = vmb_persistent_alloc(E * f);
    g_q_ = vmb_persistent_alloc(E * f);
    g_k_ = vmb_persistent_alloc(KV * f);
    g_v_ = vmb_persistent_alloc(KV * f);
    g_attn_ = vmb_persistent_alloc(E * f);
    g_proj_ = vmb_persistent_alloc(E * f);
    g_xn2_ = vmb_persistent_alloc(E * f);
    g_gate_ = vmb_persistent_alloc(FF * f);
    g_up_ = vmb_persistent_alloc(FF * f);
    g_act_ = vmb_persistent_alloc(FF * f);
    g_down_ = vmb_persistent_alloc(E * f);
    g_logits_ = vmb_persistent_alloc(V * f);
    g_argmax_ = vmb_persistent_alloc(sizeof(uint32_t));
    g_kcache_ = vmb_persistent_alloc(cache);
    g_vcache_ = vmb_persistent_alloc(cache);
    g_xq_ = vmb_persistent_alloc((std::max(E, FF) + 7) / 8 * 8);
    g_xscale_ = vmb_persistent_alloc(4);
    g_acc1_ = vmb_persistent_alloc(V * f);
    g_acc2_ = vmb_persistent_alloc(V * f);
    x_host_ = static_cast<float*>(vmb_persistent_contents(g_x_));
    argmax_host_ = static_cast<uint32_t*>(vmb_persistent_contents(g_argmax_));

    free_slots_.clear();
    for (int s = kGpuSlots - 1; s >= 0; --s) free_slots_.push_back(s);

    void* const needed[] = {g_x_,   g_xn_, g_q_,   g_k_,   g_v_,    g_attn_,   g_proj_,  g_xn2_,
                            g_gate_, g_up_, g_act_, g_down_, g_logits_, g_argmax_, g_kcache_, g_vcache_};
    bool ok = x_host_ && argmax_host_;
    for (void* b : needed) ok = ok && b;
    if (!ok) {
        fused_ = false;
        free_gpu_buffers();
    }
}

void VMEngineV2::free_gpu_buffers() {
    for (void** b : {&g_x_, &g_xn_, &g_q_, &g_k_, &g_v_, &g_attn_, &g_proj_, &g_xn2_, &g_gate_, &g_up_, &g_act_,
                     &g_down_, &g_logits_, &g_argmax_, &g_kcache_, &g_vcache_, &g_xq_, &g_xscale_, &g_acc1_,
                     &g_acc2_}) {
        if (*b) vmb_persistent_free(*b);
        *b = nullptr;
    }
    x_host_ = nullptr;
    argmax_host_ = nullptr;
    free_slots_.clear();
}

void VMEngineV2::free_slot(int slot) {
    if (slot < 0) return;
    for (int32_t s : free_slots_)
        if (s == slot) return;
    free_slots_.push_back(slot);
}

} // namespace vivirov
