// The engine's flat functions: no exception crosses them, and each create or
// infer leaves its outcome for the calling thread to read back.
#include "vm_engine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "common/engine_log.h"
#include "common/thread_budget.h"
#include "vm_engine_core.h"

struct vm_engine {
    std::unique_ptr<VMEngine> impl;
};

VMEngine* vm_engine_impl(vm_engine* handle) { return handle ? handle->impl.get() : nullptr; }

namespace {

// Like errno: each thread sees the outcome of its own last call.
thread_local int32_t t_status = VM_ENGINE_OK;
thread_local std::string t_reason;

void succeed() {
    t_status = VM_ENGINE_OK;
    t_reason.clear();
}

void fail(std::string reason) {
    t_status = VM_ENGINE_FAILED;
    t_reason = std::move(reason);
}

} // namespace

extern "C" vm_engine* vm_engine_create(const char* path) {
    if (path == nullptr) {
        fail("null path");
        return nullptr;
    }
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        vm::log_line("[vm_engine_create] cannot open %s", path);
        fail(std::string("cannot open ") + path);
        return nullptr;
    }
    char magic[4];
    size_t got = std::fread(magic, 1, 4, f);
    std::fclose(f);
    if (got < 4 || std::string(magic, 4) != "GGUF") {
        vm::log_line("[vm_engine_create] rejected %s — not a GGUF file", path);
        fail(std::string("rejected ") + path + " — not a GGUF file");
        return nullptr;
    }
    try {
        auto handle = std::make_unique<vm_engine>();
        handle->impl = std::make_unique<VMEngine>(path);
        succeed();
        return handle.release();
    } catch (const std::exception& e) {
        vm::log_line("[vm_engine_create] %s", e.what());
        fail(e.what());
        return nullptr;
    } catch (...) {
        fail("unknown failure");
        return nullptr;
    }
}

extern "C" int32_t vm_engine_infer(vm_engine* engine, const char* prompt, int32_t max_new_tokens,
                                   vm_engine_piece_fn on_piece, void* user) {
    if (engine == nullptr || engine->impl == nullptr) {
        fail("null engine");
        return -1;
    }
    if (prompt == nullptr) {
        fail("null prompt");
        return -1;
    }
    try {
        std::string text(prompt);
        int32_t count = 0;
        bool stopped = false;
        engine->impl->generate(
            text, max_new_tokens,
            [&](const std::string& piece) {
                if (on_piece) on_piece(piece.c_str(), user);
                ++count;
            },
            &stopped);
        if (stopped) {
            t_status = VM_ENGINE_STOPPED;
            t_reason = "stopped";
        } else {
            succeed();
        }
        return count;
    } catch (const std::exception& e) {
        vm::log_line("[vm-engine] infer failed: %s", e.what());
        fail(e.what());
        return -1;
    } catch (...) {
        fail("unknown failure");
        return -1;
    }
}

extern "C" void vm_engine_free(vm_engine* engine) { delete engine; }

extern "C" int32_t vm_engine_request_stop(vm_engine* engine) {
    if (engine == nullptr || engine->impl == nullptr) return -1;
    return engine->impl->request_stop() ? 1 : 0;
}

extern "C" int32_t vm_engine_last_error(char* err, int32_t err_len) {
    if (err != nullptr && err_len >= 1) {
        const size_t n = std::min(t_reason.size(), size_t(err_len - 1));
        std::memcpy(err, t_reason.data(), n);
        err[n] = '\0';
    }
    return t_status;
}

extern "C" int32_t vm_engine_set_threads(int32_t threads) {
    return vm::set_thread_budget(threads);
}
