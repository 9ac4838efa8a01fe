// Queuing a command on the engine's bounded command ring with 1 and 8
// producers, beside the same threads doing a
// compare-and-swap increment of one shared counter: the least any
// multi-producer queue must pay. The ratio should stay at most 3.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "bench/guards_ratio_reporter.h"
#include "engine/vm_v2/vm_engine_v2.h"

namespace {

// An engine whose pump is not started. A producer that finds the ring full
// empties it as the pump would (one at a time), with its timer paused, so
// only the enqueue itself is measured.
struct Ring {
    std::unique_ptr<vivirov::VMEngineV2> engine = std::make_unique<vivirov::VMEngineV2>("scaffold://no-model");
    std::mutex drain;
};

Ring& ring() {
    static Ring r;
    return r;
}

void enqueue(benchmark::State& state) {
    Ring& r = ring();
    const uint32_t agent = uint32_t(state.thread_index());
    for (auto _ : state) {
        while (!r.engine->enqueue(vivirov::kOpPause, agent, nullptr, 0, nullptr, nullptr)) {
            state.PauseTiming();
            {
                std::lock_guard lock(r.drain);
                vivirov::EngineCommand cmd;
                while (r.engine->dequeue(cmd)) {
                }
            }
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
}

alignas(64) std::atomic<uint64_t> g_counter{0};

void cas_increment(benchmark::State& state) {
    for (auto _ : state) {
        uint64_t v = g_counter.load(std::memory_order_relaxed);
        while (!g_counter.compare_exchange_weak(v, v + 1, std::memory_order_relaxed)) {
        }
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(enqueue)->Name("enginev2_enqueue/measured")->Threads(1)->Threads(8);
BENCHMARK(cas_increment)->Name("enginev2_enqueue/baseline")->Threads(1)->Threads(8);

int main(int argc, char** argv) { return vivirov::bench::runWithRatios(argc, argv); }
