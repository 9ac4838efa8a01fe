// Tokens per second of a chat turn through the local provider, against the
// engine's own vm_engine_infer on the same model, prompt and token count, in
// the same run. The two alternate within each iteration so that a shared
// machine's drift hits both alike; the ratio (target 0.95 or better) is what
// counts. The model is F32 and Qwen2-shaped.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "VivirovKit/Support/Text.h"
#include "VivirovVizivurad/EngineHost/DerevududuvProvider.h"
#include "engine/include/vm_engine.h"
#include "tests/VMEngine/QwenModel.h"

namespace {

constexpr int kTokens = 48;

const std::string& modelPath() {
    static const std::string path = [] {
        vivirov::test::QwenShape shape;
        shape.hidden = 256;
        shape.heads = 4;
        shape.kvHeads = 2;
        shape.ff = 704;
        shape.layers = 4;
        shape.vocab = 1000;
        shape.scale = 0.5f;
        std::string p = "/tmp/vivirov-bench-provider-" + std::to_string(::getpid()) + ".gguf";
        vivirov::test::QwenModel(shape).writer().write(p);
        std::atexit([] { std::remove(modelPath().c_str()); });
        return p;
    }();
    return path;
}

void BM_ProviderAgainstEngine(benchmark::State& state) {
    setenv("VIVIROV_VM_MLOCK", "0", 1);
    setenv("VIVIROV_VM_NPREDICT", std::to_string(kTokens).c_str(), 1);
    // Each side reruns the prompt from scratch, so both do identical work.
    setenv("VIVIROV_VM_PREFIX_CACHE", "0", 1);
    const std::vector<vivirov::ProviderChatMessage> messages = {
        vivirov::ProviderChatMessage::make(vivirov::ProviderRole::user, "hello world, the user said")};
    const std::string prompt = vivirov::DerevududuvProvider::buildQwenChatPrompt(messages);

    vm_engine* engine = vm_engine_create(modelPath().c_str());
    vivirov::DerevududuvProvider provider(modelPath());
    provider.stream(messages, {}, 0.2, nullptr); // loads its engine outside the timing

    using Clock = std::chrono::steady_clock;
    double engineSeconds = 0, providerSeconds = 0;
    int64_t engineTokens = 0, providerTokens = 0;
    for (auto _ : state) {
        std::string text;
        auto t0 = Clock::now();
        engineTokens += vm_engine_infer(
            engine, prompt.c_str(), kTokens, [](const char* p, void* u) { *static_cast<std::string*>(u) += p; }, &text);
        auto t1 = Clock::now();
        int deltas = 0;
        auto response = provider.stream(messages, {}, 0.2, [&](const vivirov::StreamDelta&) { ++deltas; });
        auto t2 = Clock::now();
        providerTokens += kTokens;
        benchmark::DoNotOptimize(response.content.data());
        engineSeconds += std::chrono::duration<double>(t1 - t0).count();
        providerSeconds += std::chrono::duration<double>(t2 - t1).count();
        state.SetIterationTime(std::chrono::duration<double>(t2 - t0).count());
    }
    vm_engine_free(engine);
    const double engineTPS = double(engineTokens) / engineSeconds;
    const double providerTPS = double(providerTokens) / providerSeconds;
    state.counters["engine_tok_s"] = engineTPS;
    state.counters["provider_tok_s"] = providerTPS;
    state.counters["ratio"] = providerTPS / engineTPS;
}
BENCHMARK(BM_ProviderAgainstEngine)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0)->Repetitions(3);

} // namespace

BENCHMARK_MAIN();
