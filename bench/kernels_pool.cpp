// Hand-off cost of the deterministic pool: an empty job on every participant
// beside a bare spin barrier across the same number of threads, same run.
// Target: at most 3× the barrier's round trip.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>
#include <vector>

#include <immintrin.h>

#include "engine/vm_cabi_v2/det_pool.h"

namespace {

void BM_PoolEmptyJob(benchmark::State& state) {
    vm::apex::DetPool* pool = vm::apex::det_pool_global();
    for (auto _ : state) pool->parallel([](int, int) {});
    state.counters["participants"] = pool->participants();
}

// The caller bumps a generation; helpers spinning on it count themselves done;
// the caller spins until all have.
void BM_SpinBarrierBaseline(benchmark::State& state) {
    const int helpers = vm::apex::det_pool_global()->participants() - 1;
    std::atomic<uint64_t> generation{0};
    std::atomic<int> done{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < helpers; ++i)
        threads.emplace_back([&] {
            uint64_t seen = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                const uint64_t g = generation.load(std::memory_order_acquire);
                if (g == seen) {
                    _mm_pause();
                    continue;
                }
                seen = g;
                done.fetch_add(1, std::memory_order_release);
            }
        });
    for (auto _ : state) {
        done.store(0, std::memory_order_relaxed);
        generation.fetch_add(1, std::memory_order_release);
        while (done.load(std::memory_order_acquire) < helpers) _mm_pause();
    }
    stop.store(true);
    for (auto& t : threads) t.join();
    state.counters["participants"] = helpers + 1;
}

} // namespace

BENCHMARK(BM_PoolEmptyJob)->UseRealTime();
BENCHMARK(BM_SpinBarrierBaseline)->UseRealTime();

BENCHMARK_MAIN();
