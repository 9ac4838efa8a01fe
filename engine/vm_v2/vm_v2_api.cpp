// The engine's flat functions over the handle: no exception crosses them.
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "common/engine_log.h"
#include <vm_engine_v2.h>
#include "vm_gpu.h"
#include "vm_v2/engine_wrapper.h"
#include "vm_v2/zov4_binding.h"

namespace {

// Like errno: each thread reads back the outcome of its own last create.
thread_local std::string t_create_error;

int32_t copy_text(const std::string& text, char* err, int32_t err_len) {
    if (!err || err_len < 1) return 0;
    const size_t n = std::min(text.size(), size_t(err_len - 1));
    std::memcpy(err, text.data(), n);
    err[n] = '\0';
    return 1;
}

// Opens the model a second time for the tokenizer; without one, pieces carry
// decimal ids and encode answers -1.
void attach_tokenizer(EngineWrapper& w, const char* path) {
    try {
        auto file = std::make_unique<GGUFFile>(path);
        if (file->tokens.empty()) {
            vm::log_line("[vm_v2] GGUF '%s' has no tokenizer.ggml.tokens — decimal fallback", path);
            return;
        }
        w.tokenizer = std::make_unique<BPETokenizer>(*file);
        w.tok_file = std::move(file);
    } catch (const std::exception& e) {
        vm::log_line("[vm_v2] GGUF load failed (%s) — decimal fallback", e.what());
    }
}

bool ids_in_vocabulary(const vivirov::VMEngineV2& e, uint32_t agent_id, const uint32_t* ids, uint32_t n) {
    const int32_t limit = e.id_limit();
    for (uint32_t i = 0; i < n; ++i) {
        if (int64_t(ids[i]) >= int64_t(limit)) {
            vm::log_line("[vm_v2] infer_async: agent %u id %u outside the vocabulary (%d) — refused", agent_id,
                         ids[i], limit);
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" EngineWrapper* vivirov_vm_v2_create(const char* path) {
    t_create_error.clear();
    vivirov_vm_v2_apply_working_recipe();
    if (!path) {
        t_create_error = "no model path";
        vm::log_line("[vm_v2] engine construction failed (%s) — caller falls back to scaffold", "no model path");
        return nullptr;
    }
    EngineWrapper* w = nullptr;
    try {
        w = new EngineWrapper(path);
    } catch (const std::exception& e) {
        t_create_error = e.what();
        vm::log_line("[vm_v2] engine construction failed (%s) — caller falls back to scaffold", e.what());
        return nullptr;
    } catch (...) {
        t_create_error = "unknown exception";
        vm::log_line("[vm_v2] engine construction failed (unknown exception) — caller falls back to scaffold");
        return nullptr;
    }
    if (std::strcmp(path, vivirov::kScaffoldPath) != 0) attach_tokenizer(*w, path);
    if (w->engine.is_zov4_) vivirov::bind_om2_at_create(w->engine);
    w->start();
    return w;
}

extern "C" void vivirov_vm_v2_destroy(EngineWrapper* handle) {
    delete handle;
}

extern "C" int32_t vivirov_vm_v2_infer_async(EngineWrapper* handle, uint32_t agent_id, const uint32_t* ids,
                                             uint32_t count, TokenHook hook, void* ctx) {
    if (!handle || (count > 0 && !ids)) return 0;
    if (count > vivirov::kMaxPromptIds) {
        // The continuation follows the prompt's end, so the end is what stays.
        vm::log_line("[vm_v2] infer_async: agent %u prompt of %u ids keeps its last 64", agent_id, count);
        ids += count - vivirov::kMaxPromptIds;
        count = vivirov::kMaxPromptIds;
    }
    if (!ids_in_vocabulary(handle->engine, agent_id, ids, count)) return 0;
    return handle->engine.enqueue(vivirov::kOpInfer, agent_id, ids, count, hook, ctx) ? 1 : 0;
}

extern "C" int32_t vivirov_vm_v2_pause(EngineWrapper* handle, uint32_t agent_id) {
    if (!handle) return 0;
    return handle->engine.enqueue(vivirov::kOpPause, agent_id, nullptr, 0, nullptr, nullptr) ? 1 : 0;
}

extern "C" int32_t vivirov_vm_v2_resume(EngineWrapper* handle, uint32_t agent_id) {
    if (!handle) return 0;
    return handle->engine.enqueue(vivirov::kOpResume, agent_id, nullptr, 0, nullptr, nullptr) ? 1 : 0;
}

extern "C" int32_t vivirov_vm_v2_register_token_cb(EngineWrapper* handle, TokenPieceCallback cb, void* user) {
    if (!handle) return 0;
    handle->piece_user.store(user, std::memory_order_release);
    handle->piece_cb.store(cb, std::memory_order_release);
    return 1;
}

extern "C" int32_t vivirov_vm_v2_encode(EngineWrapper* handle, const char* text, uint32_t* out, int32_t capacity) {
    if (!handle || !text || !out || capacity <= 0 || !handle->tokenizer) return -1;
    try {
        const std::vector<int32_t> ids = handle->tokenizer->encode(text);
        const int32_t limit = handle->engine.id_limit();
        for (int32_t id : ids)
            if (id < 0 || id >= limit) return -1; // a symbol the model cannot embed
        const size_t n = std::min(size_t(capacity), ids.size());
        for (size_t i = 0; i < n; ++i) out[i] = uint32_t(ids[i]);
        return int32_t(n);
    } catch (const std::exception&) {
        return -1;
    }
}

extern "C" void vivirov_vm_v2_set_ui_breath_us(uint32_t us) {
    vmb_set_ui_breath_us(us);
}

extern "C" int32_t vivirov_vm_v2_pump_status(EngineWrapper* handle, char* err, int32_t err_len) {
    if (!handle) return -1;
    if (!handle->engine.pump_halted()) {
        copy_text("", err, err_len);
        return VIVIROV_VM_V2_PUMP_RUNNING;
    }
    copy_text(handle->engine.pump_fault(), err, err_len);
    return VIVIROV_VM_V2_PUMP_HALTED;
}

extern "C" int32_t vivirov_vm_v2_last_create_error(char* err, int32_t err_len) {
    copy_text(t_create_error, err, err_len);
    return t_create_error.empty() ? 0 : 1;
}

extern "C" int32_t vivirov_vm_v2_request_stop(EngineWrapper* handle) {
    if (!handle) return -1;
    if (!handle->chat_running.load(std::memory_order_acquire)) return 0;
    handle->chat_stop.store(true, std::memory_order_release);
    return 1;
}
