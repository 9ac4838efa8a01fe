// Flat entry points of the swarm step, draft verification, LoRA registry and
// KV pager on a second-generation engine handle.
#include <exception>

#include "common/engine_log.h"
#include "vm_swarm.h"
#include "vm_v2/engine_wrapper.h"
#include "vm_v2/swarm_kv_pager.h"

namespace {

constexpr int32_t kPagerRefused = 3;

} // namespace

extern "C" int32_t vmb_forward_swarm(EngineWrapper* handle, const uint32_t* agent_ids, int32_t n) {
    if (!handle || !agent_ids || n < 1) return 0;
    try {
        return handle->engine.forward_swarm(agent_ids, n);
    } catch (const std::exception& e) {
        vm::log_line("[vm_v2] swarm step failed: %s", e.what());
        return 0;
    }
}

extern "C" int32_t vmb_forward_verify_draft(EngineWrapper* handle, uint32_t agent, const uint32_t* draft, int32_t n,
                                            int32_t* accepted) {
    if (accepted) *accepted = 0;
    if (!handle || !draft || n < 1) return -1;
    try {
        return handle->engine.forward_verify_draft(agent, draft, n, accepted);
    } catch (const std::exception& e) {
        vm::log_line("[vm_v2] draft verification failed: %s", e.what());
        if (accepted) *accepted = 0;
        return -1;
    }
}

extern "C" int32_t vmb_register_lora_agent_mem(EngineWrapper* handle, int32_t agent, const float* A, const float* B,
                                               int32_t in_dim, int32_t out_dim, int32_t rank, float scale) {
    if (!handle) return -1;
    try {
        return handle->engine.register_lora(uint32_t(agent), A, B, in_dim, out_dim, rank, scale);
    } catch (const std::exception&) {
        return -1;
    }
}

extern "C" int32_t vmb_kv_page_in(EngineWrapper* handle, int32_t agent, void* dst, int32_t bytes) {
    if (!handle || !handle->engine.kv_pager_ || bytes < 0) return kPagerRefused;
    return handle->engine.kv_pager_->page_in(agent, dst, uint64_t(bytes));
}

extern "C" int32_t vmb_kv_page_out(EngineWrapper* handle, int32_t agent, const void* src, int32_t bytes) {
    if (!handle || !handle->engine.kv_pager_ || bytes < 0) return kPagerRefused;
    return handle->engine.kv_pager_->page_out(agent, src, uint64_t(bytes));
}
