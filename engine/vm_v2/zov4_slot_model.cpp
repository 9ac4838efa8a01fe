#include "vm_v2/zov4_slot_model.h"

#include <algorithm>

#include "common/engine_env.h"
#include "vm_cabi_v2/evs_settings.h"
#include "zov4/zov4_forward.h"

namespace vivirov {

using vm::zov4::ZOV4Forward;

SlotModel zov4_slot_model(ZOV4Forward& fwd) {
    SlotModel m;
    m.ctx = &fwd;
    m.n_vocab = fwd.n_vocab;
    m.init = [](void* c, int n) { static_cast<ZOV4Forward*>(c)->multi_seq_init(n); };
    m.prefill = [](void* c, int slot, const std::vector<int32_t>& ids) {
        return static_cast<ZOV4Forward*>(c)->multi_seq_prefill(slot, ids);
    };
    m.decode = [](void* c, const int* seqs, const int* tokens, int n, int* out) {
        auto* f = static_cast<ZOV4Forward*>(c);
        std::lock_guard lock(f->mu);
        f->batch_begin_(n);
        f->multi_decode_step(seqs, tokens, n, out);
    };
    m.reset_profile = [](void* c) {
        auto* f = static_cast<ZOV4Forward*>(c);
        std::fill(std::begin(f->prof), std::end(f->prof), 0.0);
    };
    return m;
}

namespace {

// The residual mix of om2 products (lambda and fixed alpha 1 in both modes),
// whether the residual is added at all, and the forced expert.
void set_routing(ZOV4Forward& f, int32_t evs_mode, float evs_rho, bool residual, int32_t forced_expert) {
    vm::apex::g_evs_mode() = evs_mode;
    vm::apex::g_evs_lambda() = 1.0f;
    vm::apex::g_evs_rho() = evs_rho;
    vm::apex::g_evs_alpha_fixed() = 1.0f;
    f.om2_prefer_only = !residual;
    f.om2_residual = residual;
    f.forced_expert = forced_expert;
}

} // namespace

void zov4_expert0_mode(vm::zov4::ZOV4Forward& f) {
    set_routing(f, 0, 0.0f, false, 0);
    vm::env_set("VIVIROV_OM2_FORCE", "1", false);
}

void zov4_quality_mode(vm::zov4::ZOV4Forward& f) {
    set_routing(f, 1, 3.0f, true, -1);
    vm::env_set("VIVIROV_OM2_FORCE", "1", true);
    vm::env_set("VIVIROV_OM2_QUALITY", "1", true);
    vm::env_set("VIVIROV_RMS_AUDIT", "1", false);
}

} // namespace vivirov
