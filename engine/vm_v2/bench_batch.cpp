// Batched decode throughput of a DeepSeek-V4 engine, with a detailed trace.
#include "common/engine_log.h"
#include <vm_engine_v2.h>
#include "vm_v2/engine_wrapper.h"

extern "C" int32_t vivirov_vm_v2_bench_batch_tps(EngineWrapper* handle, int32_t B, int32_t n_decode, double* out_tps,
                                                 double* out_wall_s, int32_t* out_tokens) {
    (void)B, (void)n_decode, (void)out_tps, (void)out_wall_s, (void)out_tokens;
    if (!handle) return -1;
    if (!handle->engine.is_zov4_ || !handle->engine.zov4_) {
        vm::log_line("[vm_v2] bench_batch_tps: not a ZOV4 engine");
        return -1;
    }
    return -1;
}
