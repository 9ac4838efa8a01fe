// History trimming of long agent transcripts, against copying the same
// history (the least any trim must do): the ratio is what counts.
#include <benchmark/benchmark.h>

#include "VivirovKit/Agentic/ContextImportanceTracker.h"

using namespace vivirov;

static std::vector<ProviderChatMessage> history(size_t count) {
    std::vector<ProviderChatMessage> h{ProviderChatMessage::make(ProviderRole::system, "You are an agent.")};
    const ProviderRole roles[] = {ProviderRole::user, ProviderRole::assistant, ProviderRole::tool};
    for (size_t i = 0; i < count; ++i) {
        std::string body(2048, char('a' + i % 26));
        if (i % 5 == 0) body.replace(0, 13, "<tool_result>");
        h.push_back(ProviderChatMessage::make(roles[i % 3], body));
    }
    return h;
}

static void BM_TrimHistory(benchmark::State& state) {
    auto h = history(size_t(state.range(0)));
    ContextImportanceTracker tracker(45875, 3);
    for (auto _ : state) benchmark::DoNotOptimize(tracker.trim(h));
}

static void BM_CopyHistoryBaseline(benchmark::State& state) {
    auto h = history(size_t(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(std::vector<ProviderChatMessage>(h));
}

BENCHMARK(BM_TrimHistory)->Arg(100)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyHistoryBaseline)->Arg(100)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
