// The streaming chat call: one multi-sequence slot of a DeepSeek-V4 engine
// decoded on the caller's thread.
#include <algorithm>
#include <exception>

#include <vm_engine_v2.h>
#include <vm_gpu.h>

#include "common/engine_env.h"
#include "common/engine_log.h"
#include "vm_cabi_v2/om2_binding.h"
#include "vm_v2/chat_turn.h"
#include "vm_v2/engine_wrapper.h"
#include "vm_v2/zov4_slot_model.h"
#include "zov4/zov4_forward.h"

namespace {

using vm::zov4::ZOV4Forward;


void configure(ZOV4Forward& f, bool quality, bool n1_cpu_only) {
    std::lock_guard lock(f.mu);
    f.use_gpu = true;
    f.n1_cpu_only = n1_cpu_only;
    const std::string dir = vm::apex::resolve_om2_dir();
    vm::apex::Om2Switches sw{f.om2_bound, f.om2_prefer_only, f.om2_residual};
    if (!vm::apex::bind_om2_dir(f.om2, f.active_set, sw, dir, 4294967296UL)) {
        vm::log_line("[vm_v2] WARNING: om2 bind failed — MoE may garble");
        vivirov::zov4_expert0_mode(f);
        vm::env_set("VIVIROV_GPU_N1", "1", false);
        return;
    }
    f.om2_bound = sw.om2_bound;
    sw.om2_prefer_only = !quality;
    sw.om2_residual = quality;
    vm::apex::prewarm_om2_expert(f.om2, f.active_set, sw, f.n_layer, 0);
    if (quality) vivirov::zov4_quality_mode(f);
    else vivirov::zov4_expert0_mode(f);
    vm::env_set("VIVIROV_GPU_N1", "1", false);
    vm::log_line("[vm_v2] PHASE8 chat om2=%s quality=%d residual=%d n1_cpu_only=%d gpu=%d", dir.c_str(),
                 quality ? 1 : 0, f.om2_residual ? 1 : 0, f.n1_cpu_only ? 1 : 0, 1);
}

} // namespace

extern "C" int32_t vivirov_vm_v2_chat_generate(EngineWrapper* handle, const char* prompt, int32_t max_tokens,
                                               ChatPieceCallback cb, void* user) {
    if (!handle) return -1;
    if (!handle->engine.is_zov4_ || !handle->engine.zov4_) {
        vm::log_line("[vm_v2] chat_generate: not a ZOV4 engine");
        return -1;
    }
    ZOV4Forward& f = *handle->engine.zov4_;
    vivirov_vm_v2_apply_working_recipe();
    const auto n1 = vm::env_value("VIVIROV_GPU_N1");
    const bool n1_cpu_only = n1 && !n1->empty() && (*n1)[0] == '0';
    const bool quality = vm::env_starts_with_1("VIVIROV_CHAT_QUALITY");

    handle->chat_stop.store(false, std::memory_order_release);
    handle->chat_running.store(true, std::memory_order_release);
    struct Running {
        EngineWrapper* w;
        ~Running() { w->chat_running.store(false, std::memory_order_release); }
    } running{handle};

    try {
        configure(f, quality, n1_cpu_only);
        const uint64_t t0 = vm::batch::now_us();
        vivirov::ChatTurnStats stats;
        const int32_t pieces = vivirov::run_chat_turn(vivirov::zov4_slot_model(f), handle->tokenizer.get(), prompt,
                                                      max_tokens, cb, user, &handle->chat_stop, stats);
        if (pieces < 0) return pieces;
        const double wall = double(vm::batch::now_us() - t0) / 1e6;
        uint64_t sg_hits = 0, sg_miss = 0;
        vmb_sg_stats(&sg_hits, &sg_miss);
        vm::log_line("[vm_v2] chat_generate(multi_seq): tokens=%d wall=%.3fs tps=%.2f prompt_ids=%zu "
                     "sched_tokens=%llu batches=%llu om2_hits=%llu sg_hits=%llu sg_miss=%llu n1_cpu_only=%d "
                     "residual=%d quality=%d",
                     pieces, wall, wall > 0 ? pieces / wall : 0.0, stats.prompt_ids,
                     (unsigned long long)stats.sched_tokens, (unsigned long long)stats.batches,
                     (unsigned long long)f.om2_hits, (unsigned long long)sg_hits, (unsigned long long)sg_miss,
                     f.n1_cpu_only ? 1 : 0, f.om2_residual ? 1 : 0, quality ? 1 : 0);
        return pieces;
    } catch (const std::exception& e) {
        vm::log_line("[vm_v2] chat_generate: failed (%s)", e.what());
        return -2;
    }
}
