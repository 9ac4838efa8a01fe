#include "VivirovVizivurad/EngineHost/DerevududuvBrain.h"

#include <cstring>
#include <filesystem>

#include "VivirovKit/Providers/UTF8StreamAssembler.h"
#include "VivirovKit/Support/Env.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovKit/Support/WorkerPool.h"
#include "engine/include/vm_engine.h"

namespace vivirov {

namespace {

struct Sink {
    const DerevududuvBrain::PieceSink& cb;
    UTF8StreamAssembler assembler;

    void deliver(const std::string& text) {
        if (!text.empty() && cb) cb(text);
    }
    static void piece(const char* bytes, void* user) {
        if (bytes == nullptr || user == nullptr) return;
        auto* self = static_cast<Sink*>(user);
        self->deliver(self->assembler.consume(reinterpret_cast<const uint8_t*>(bytes), std::ptrdiff_t(std::strlen(bytes))));
    }
};

std::string engineLastError() {
    char reason[512];
    vm_engine_last_error(reason, sizeof reason);
    return reason;
}

} // namespace

std::shared_ptr<DerevududuvBrain> DerevududuvBrain::load(const std::string& modelPath) {
    vm_engine* handle = vm_engine_create(modelPath.c_str());
    if (handle == nullptr) return nullptr;
    return std::shared_ptr<DerevududuvBrain>(new DerevududuvBrain(handle));
}

std::string DerevududuvBrain::lastLoadError() { return engineLastError(); }

DerevududuvBrain::~DerevududuvBrain() { vm_engine_free(handle_); }

DerevududuvBrain::Outcome DerevududuvBrain::generate(const std::string& prompt, int32_t maxTokens,
                                                     const PieceSink& onPiece) {
    std::lock_guard lock(generateMutex_);
    Sink sink{onPiece, {}};
    Outcome out;
    out.result = vm_engine_infer(handle_, prompt.c_str(), maxTokens, &Sink::piece, &sink);
    out.stopped = out.result >= 0 && vm_engine_last_error(nullptr, 0) == VM_ENGINE_STOPPED;
    sink.deliver(sink.assembler.flush());
    return out;
}

void DerevududuvBrain::requestStop() { vm_engine_request_stop(handle_); }

void DerevududuvBrain::runDemoIfRequested(std::function<void(const std::string&)> log) {
    std::optional<std::string> path = env::string("VIVIROV_VM_QWEN_MODEL");
    if (!path) path = env::string("VIVIROV_VM_MODEL");
    if (!path || path->empty()) return;
    const std::string name = text::lowercased(std::filesystem::path(*path).filename().string());
    for (const char* marker : {"zov4", "deepseek", "core-only"}) {
        if (name.find(marker) != std::string::npos) {
            log("[vm-engine] skip Qwen demo for ZOV4 path " + name +
                " \xE2\x80\x94 use VizivuradEngine / vivirov_vm_v2_*");
            return;
        }
    }
    const std::string prompt = env::string("VIVIROV_VM_PROMPT").value_or("The capital of France is");
    WorkerPool::shared().submit([log = std::move(log), path = *path, prompt] {
        log("[vm-engine] loading native Derevududuv engine (zero llama.cpp) \xE2\x80\x94 " + path);
        auto brain = load(path);
        if (!brain) {
            log("[vm-engine] create FAILED");
            return;
        }
        std::string text;
        const Outcome outcome = brain->generate(prompt, 16, [&](const std::string& piece) { text += piece; });
        log("[vm-engine] IN-APP NATIVE: \"" + prompt + "\" ->" + text + "  (" + std::to_string(outcome.result) +
            " pieces, Derevududuv, no llama.cpp)");
    });
}

} // namespace vivirov
