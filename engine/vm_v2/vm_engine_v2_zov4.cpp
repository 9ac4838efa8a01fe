// The engine's DeepSeek-V4 branches: building the forward object, binding its
// om2 expert packs at create, and one asynchronous request's step.
#include <algorithm>
#include <stdexcept>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/engine_env.h"
#include "common/engine_log.h"
#include "vm_cabi_v2/evs_settings.h"
#include "vm_cabi_v2/om2_binding.h"
#include "vm_v2/vm_engine_v2.h"
#include "vm_v2/zov4_binding.h"
#include "vm_v2/zov4_slot_model.h"
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

namespace {

using Mode = VMEngineV2::Zov4Mode;

Mode mode_of(const ZOV4Forward& f) {
    return {f.om2_prefer_only,       f.om2_residual,          f.forced_expert,       f.use_gpu,
            f.n1_cpu_only,           vm::apex::g_evs_mode(),  vm::apex::g_evs_lambda(), vm::apex::g_evs_rho(),
            vm::apex::g_evs_alpha_fixed()};
}

void set_mode(ZOV4Forward& f, const Mode& m) {
    f.om2_prefer_only = m.om2_prefer_only;
    f.om2_residual = m.om2_residual;
    f.forced_expert = m.forced_expert;
    f.use_gpu = m.use_gpu;
    f.n1_cpu_only = m.n1_cpu_only;
    vm::apex::g_evs_mode() = m.evs_mode;
    vm::apex::g_evs_lambda() = m.evs_lambda;
    vm::apex::g_evs_rho() = m.evs_rho;
    vm::apex::g_evs_alpha_fixed() = m.evs_alpha_fixed;
}

// What one request keeps of the forward object between its steps: its
// history (caches and position) and the routing history that steers its
// expert choice (sticky experts, each layer's last experts).
struct RequestState {
    std::vector<vm::zov4::LayerCache> caches;
    int64_t n_past = 0;
    std::unordered_set<int32_t> sticky;
    std::vector<std::vector<int32_t>> last_experts;
};

// Swaps a request's state and the engine's request mode into the forward
// object for one step, and whatever was there back afterwards, also when the
// step throws. Swapping moves no rows and allocates nothing.
class StepScope {
public:
    StepScope(ZOV4Forward& f, RequestState& mine, const Mode& mode) : f_(f), mine_(mine), theirs_mode_(mode_of(f)) {
        swap_state();
        set_mode(f_, mode);
    }
    ~StepScope() {
        set_mode(f_, theirs_mode_);
        swap_state();
    }
    StepScope(const StepScope&) = delete;
    StepScope& operator=(const StepScope&) = delete;

private:
    void swap_state() {
        std::swap(f_.caches, mine_.caches);
        std::swap(f_.n_past, mine_.n_past);
        std::swap(f_.sticky_experts, mine_.sticky);
        std::swap(f_.last_experts, mine_.last_experts);
    }

    ZOV4Forward& f_;
    RequestState& mine_;
    Mode theirs_mode_;
};

} // namespace

int32_t VMEngineV2::forward_one_zov4(ActiveSequence& seq) {
    // The forward object keeps one single-sequence history. Each request owns
    // its own and swaps it in for its step, so concurrent requests, a chat
    // call or the benchmark never decode against another's keys and values
    // or steer each other's routing.
    ZOV4Forward& f = *zov4_;
    std::lock_guard lock(f.mu);
    if (!seq.zov4_state) {
        auto fresh = std::make_shared<RequestState>();
        fresh->caches.resize(size_t(std::max(0, f.n_layer)));
        fresh->last_experts.resize(size_t(std::max(0, f.n_layer)));
        seq.zov4_state = std::move(fresh);
    }
    StepScope scope(f, *static_cast<RequestState*>(seq.zov4_state.get()), zov4_request_mode_);
    seq.tokens.push_back(seq.token);
    return seq.generated == 0 ? f.forward(seq.tokens, nullptr, false) : f.forward_one(seq.token, nullptr, false);
}

void bind_om2_at_create(VMEngineV2& engine) {
    ZOV4Forward& f = *engine.zov4_;
    std::lock_guard lock(f.mu);
    const std::string dir = vm::apex::resolve_om2_dir();
    vm::apex::Om2Switches sw{f.om2_bound, f.om2_prefer_only, f.om2_residual};
    if (!vm::apex::bind_om2_dir(f.om2, f.active_set, sw, dir, 4294967296UL)) {
        vm::log_line("[vm_v2] WARNING: om2 bind failed dir=%s — Core-Only MoE will garble", dir.c_str());
        engine.zov4_request_mode_ = mode_of(f);
        return;
    }
    f.om2_bound = sw.om2_bound;
    zov4_quality_mode(f);
    sw.om2_prefer_only = f.om2_prefer_only;
    sw.om2_residual = f.om2_residual;
    f.use_gpu = true;
    f.n1_cpu_only = false;
    vm::env_set("VIVIROV_GPU_N1", "1", false);
    const int prewarmed = vm::apex::prewarm_om2_expert(f.om2, f.active_set, sw, f.n_layer, 0);
    vm::log_line("[vm_v2] PHASE4 chat-lock om2=%s prewarm_E000=%d residual=1 EVS=AREM+ρ3", dir.c_str(), prewarmed);
    engine.zov4_request_mode_ = mode_of(f);
}

} // namespace vivirov
