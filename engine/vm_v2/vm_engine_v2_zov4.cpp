// The engine's DeepSeek-V4 branches: building the forward object, binding its
// om2 expert packs at create, and one asynchronous request's step.
#include <stdexcept>

#include "common/engine_env.h"
#include "common/engine_log.h"
#include "vm_cabi_v2/evs_settings.h"
#include "vm_cabi_v2/om2_binding.h"
#include "vm_v2/vm_engine_v2.h"
#include "vm_v2/zov4_binding.h"
#include "zov4/zov4_forward.h"

namespace vivirov {

using vm::zov4::ZOV4Forward;

void VMEngineV2::construct_zov4_(const char* path) {
    try {
        zov4_.reset(new ZOV4Forward(path));
    } catch (const std::exception& e) {
        vm::log_line("[vm_v2] DeepSeek-V4 model detected but the V4 engine failed to load: %s — degrading to "
                     "scaffold",
                     e.what());
        throw std::runtime_error("ZOV4Forward load failed");
    }
    n_layers_ = zov4_->n_layer;
    n_embd_ = zov4_->n_embd;
    n_head_ = n_head_kv_ = 1;
    n_ff_ = 0;
    head_dim_ = kv_dim_ = n_embd_;
    n_vocab_ = zov4_->n_vocab;
    rope_base_ = 0.0f;
    rms_eps_ = 1e-6f;
}

void VMEngineV2::Zov4Delete::operator()(ZOV4Forward* fwd) const { delete fwd; }

int32_t VMEngineV2::forward_one_zov4(ActiveSequence& seq) {
    // The forward object keeps one single-sequence history. Each request owns
    // its own and swaps it in for its step, so concurrent requests, a chat
    // call or the benchmark never decode against another's keys and values.
    std::lock_guard lock(zov4_->mu);
    auto theirs = std::make_shared<ZOV4Forward::SequenceState>(zov4_->take_sequence());
    struct PutBack {
        ZOV4Forward& f;
        std::shared_ptr<ZOV4Forward::SequenceState>& state;
        ~PutBack() { f.restore_sequence(std::move(*state)); }
    } put_back{*zov4_, theirs};

    auto* mine = static_cast<ZOV4Forward::SequenceState*>(seq.zov4_state.get());
    if (mine) zov4_->restore_sequence(std::move(*mine));
    else zov4_->reset_sequence();

    seq.tokens.push_back(seq.token);
    const int32_t next = seq.generated == 0 ? zov4_->forward(seq.tokens, nullptr, false)
                                            : zov4_->forward_one(seq.token, nullptr, false);
    if (!mine) {
        seq.zov4_state = std::make_shared<ZOV4Forward::SequenceState>();
        mine = static_cast<ZOV4Forward::SequenceState*>(seq.zov4_state.get());
    }
    *mine = zov4_->take_sequence();
    return next;
}

void bind_om2_at_create(VMEngineV2& engine) {
    ZOV4Forward& f = *engine.zov4_;
    std::lock_guard lock(f.mu);
    const std::string dir = vm::apex::resolve_om2_dir();
    vm::apex::Om2Switches sw{f.om2_bound, f.om2_prefer_only, f.om2_residual};
    if (!vm::apex::bind_om2_dir(f.om2, f.active_set, sw, dir, 4294967296UL)) {
        vm::log_line("[vm_v2] WARNING: om2 bind failed dir=%s — Core-Only MoE will garble", dir.c_str());
        return;
    }
    vm::env_set("VIVIROV_OM2_FORCE", "1", true);
    vm::apex::g_evs_mode() = 1;
    vm::apex::g_evs_lambda() = 1.0f;
    vm::apex::g_evs_rho() = 3.0f;
    vm::apex::g_evs_alpha_fixed() = 1.0f;
    sw.om2_prefer_only = false;
    sw.om2_residual = true;
    f.om2_bound = sw.om2_bound;
    f.om2_prefer_only = false;
    f.om2_residual = true;
    f.forced_expert = -1;
    f.use_gpu = true;
    f.n1_cpu_only = false;
    vm::env_set("VIVIROV_OM2_QUALITY", "1", true);
    vm::env_set("VIVIROV_RMS_AUDIT", "1", false);
    vm::env_set("VIVIROV_GPU_N1", "1", false);
    const int prewarmed = vm::apex::prewarm_om2_expert(f.om2, f.active_set, sw, f.n_layer, 0);
    vm::log_line("[vm_v2] PHASE4 chat-lock om2=%s prewarm_E000=%d residual=1 EVS=AREM+ρ3", dir.c_str(), prewarmed);
}

} // namespace vivirov
