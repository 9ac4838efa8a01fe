// Batched decode throughput of a DeepSeek-V4 engine, with a detailed trace.
#include <algorithm>
#include <cstdlib>
#include <exception>

#include <vm_engine_v2.h>

#include "common/engine_env.h"
#include "common/engine_log.h"
#include "vm_cabi_v2/evs_settings.h"
#include "vm_cabi_v2/om2_binding.h"
#include "vm_v2/batch_bench.h"
#include "vm_v2/engine_wrapper.h"
#include "vm_v2/zov4_slot_model.h"
#include "zov4/zov4_forward.h"

namespace {

using vm::zov4::ZOV4Forward;

unsigned long om2_budget() {
    if (const auto v = vm::env_value("VIVIROV_OM2_PIN_MB"); v && !v->empty()) {
        const long mb = std::atol(v->c_str());
        if (mb >= 1 && mb <= 4096) return (unsigned long)mb * 1048576UL;
    }
    return vm::env_switch_on("VIVIROV_FAST_BENCH") ? 268435456UL : 4294967296UL;
}

// The bench lock: expert 0 only, no residual, GPU products.
void bench_lock(ZOV4Forward& f) {
    std::lock_guard lock(f.mu);
    f.use_gpu = true;
    f.n1_cpu_only = false;
    const std::string dir = vm::apex::resolve_om2_dir();
    vm::apex::Om2Switches sw{f.om2_bound, f.om2_prefer_only, f.om2_residual};
    if (vm::apex::bind_om2_dir(f.om2, f.active_set, sw, dir, om2_budget())) f.om2_bound = true;
    if (vm::env_switch_on("VIVIROV_FAST_BENCH"))
        vm::log_line("[FAST_BENCH] skip full prewarm_om2_expert (L0 async only at multi_seq_init)");
    else
        vm::apex::prewarm_om2_expert(f.om2, f.active_set, sw, f.n_layer, 0);
    vivirov::zov4_expert0_mode(f);
    vm::env_set("VIVIROV_GPU_N1", "1", false);
    vm::log_line("[vm_v2] PHASE8 bench-lock residual=0 EVS=off gpu=1 n1_cpu_only=0");
}

} // namespace

extern "C" int32_t vivirov_vm_v2_bench_batch_tps(EngineWrapper* handle, int32_t B, int32_t n_decode, double* out_tps,
                                                 double* out_wall_s, int32_t* out_tokens) {
    if (!handle) return -1;
    if (!handle->engine.is_zov4_ || !handle->engine.zov4_) {
        vm::log_line("[vm_v2] bench_batch_tps: not a ZOV4 engine");
        return -1;
    }
    ZOV4Forward& f = *handle->engine.zov4_;
    n_decode = std::clamp(n_decode, 1, 64);
    B = vivirov::bench_batch_size(B);
    vivirov_vm_v2_apply_working_recipe();
    try {
        bench_lock(f);
        vivirov::BatchBenchResult r;
        const int32_t rc = vivirov::run_batch_bench(vivirov::zov4_slot_model(f), handle->tokenizer.get(), B,
                                                    n_decode, r);
        if (rc != 0) return rc;
        if (out_tps) *out_tps = r.tps;
        if (out_wall_s) *out_wall_s = r.wall_s;
        if (out_tokens) *out_tokens = r.tokens;
        using P = ZOV4Forward;
        vm::log_line("[vm_v2] bench_batch_tps B=%d n_decode=%d tokens=%d wall=%.3fs tps=%.4f gout=%.3fs moe=%.3fs "
                     "q=%.3fs force_expert=%d",
                     B, n_decode, r.tokens, r.wall_s, r.tps, f.prof[P::kProfGout], f.prof[P::kProfMoe],
                     f.prof[P::kProfQ], f.forced_expert);
        vm::log_line("[vm_v2] prof_batch hc=%.3fs qkv=%.3fs rope=%.3fs kv=%.3fs mha=%.3fs gout=%.3fs res=%.3fs "
                     "lm=%.3fs",
                     f.prof[P::kProfBHc], f.prof[P::kProfBQkv], f.prof[P::kProfBRope], f.prof[P::kProfBKv],
                     f.prof[P::kProfBMha], f.prof[P::kProfBGout], f.prof[P::kProfBRes], f.prof[P::kProfBLm]);
        vm::log_line("[om2] %s", f.om2.prefetch_stats_string().c_str());
        return 0;
    } catch (const std::exception& e) {
        vm::log_line("[vm_v2] bench_batch_tps: failed (%s)", e.what());
        return -2;
    }
}
