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

void zov4_expert0_mode(vm::zov4::ZOV4Forward& f) {
    vm::apex::g_evs_mode() = 0;
    vm::apex::g_evs_lambda() = 1.0f;
    vm::apex::g_evs_rho() = 0.0f;
    vm::apex::g_evs_alpha_fixed() = 1.0f;
    f.om2_prefer_only = true;
    f.om2_residual = false;
    f.forced_expert = 0;
    vm::env_set("VIVIROV_OM2_FORCE", "1", false);
}

} // namespace vivirov
