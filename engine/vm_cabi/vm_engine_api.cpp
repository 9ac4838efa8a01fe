// The engine's flat functions: no exception crosses them.
#include "vm_engine.h"

#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "common/engine_log.h"
#include "vm_engine_core.h"

struct vm_engine {
    std::unique_ptr<VMEngine> impl;
};

VMEngine* vm_engine_impl(vm_engine* handle) { return handle ? handle->impl.get() : nullptr; }

extern "C" vm_engine* vm_engine_create(const char* path) {
    if (path == nullptr) return nullptr;
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        vm::log_line("[vm_engine_create] cannot open %s", path);
        return nullptr;
    }
    char magic[4];
    size_t got = std::fread(magic, 1, 4, f);
    std::fclose(f);
    if (got < 4 || std::string(magic, 4) != "GGUF") {
        vm::log_line("[vm_engine_create] rejected %s — not a GGUF file", path);
        return nullptr;
    }
    try {
        auto handle = std::make_unique<vm_engine>();
        handle->impl = std::make_unique<VMEngine>(path);
        return handle.release();
    } catch (const std::exception& e) {
        vm::log_line("[vm_engine_create] %s", e.what());
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

extern "C" int32_t vm_engine_infer(vm_engine* engine, const char* prompt, int32_t max_new_tokens,
                                   vm_engine_piece_fn on_piece, void* user) {
    if (engine == nullptr || engine->impl == nullptr || prompt == nullptr) return -1;
    try {
        std::string text(prompt);
        int32_t count = 0;
        engine->impl->generate(text, max_new_tokens, [&](const std::string& piece) {
            if (on_piece) on_piece(piece.c_str(), user);
            ++count;
        });
        return count;
    } catch (const std::exception& e) {
        vm::log_line("[vm-engine] infer failed: %s", e.what());
        return -1;
    } catch (...) {
        return -1;
    }
}

extern "C" void vm_engine_free(vm_engine* engine) { delete engine; }
