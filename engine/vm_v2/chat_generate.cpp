// The streaming chat call: one multi-sequence slot of a DeepSeek-V4 engine
// decoded on the caller's thread.
#include "common/engine_log.h"
#include <vm_engine_v2.h>
#include "vm_v2/engine_wrapper.h"

extern "C" int32_t vivirov_vm_v2_chat_generate(EngineWrapper* handle, const char* prompt, int32_t max_tokens,
                                               ChatPieceCallback cb, void* user) {
    (void)prompt, (void)max_tokens, (void)cb, (void)user;
    if (!handle) return -1;
    if (!handle->engine.is_zov4_ || !handle->engine.zov4_) {
        vm::log_line("[vm_v2] chat_generate: not a ZOV4 engine");
        return -1;
    }
    return -1;
}
