// Lookups in the dense decode's key/value table at 50 % and 90 % bucket load,
// on 1 and 8 threads, beside a chain of dependent random reads over a buffer
// as large as the table's memory (one cache miss after another, the cost of
// an operation that must touch memory). Each lookup reads its filter word,
// its bucket and the first float of its row.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <algorithm>
#include <memory>
#include <mutex>
#include <numeric>
#include <random>
#include <vector>

#include "bench/guards_ratio_reporter.h"
#include "engine/vm_v2/dkv_hash_table.h"

namespace {

constexpr uint64_t kCapacity = 1ull << 22;
constexpr uint16_t kValueBytes = 64;

struct Filled {
    std::unique_ptr<vivirov::DKVHashTable> table;
    std::vector<uint32_t> keys; // first hashes of stored entries
};

// A table holding `percent` of its buckets (just under the sweep threshold at 90).
const Filled& filled(int percent) {
    static std::mutex mu;
    static std::unique_ptr<Filled> cache[2];
    std::lock_guard<std::mutex> lock(mu);
    auto& slot = cache[percent >= 90 ? 1 : 0];
    if (!slot) {
        slot = std::make_unique<Filled>();
        const uint64_t target = kCapacity * uint64_t(percent) / 100 - (percent >= 90 ? 1 : 0);
        slot->table = std::make_unique<vivirov::DKVHashTable>(kCapacity, target * kValueBytes + kValueBytes, kValueBytes);
        std::mt19937 rng(7);
        float row[kValueBytes / 4] = {1.0f};
        while (slot->table->live() < target) {
            const uint32_t a = rng();
            if (slot->table->insert(a, 3, 0, row, kValueBytes)) slot->keys.push_back(a);
        }
    }
    return *slot;
}

uint64_t table_bytes(const Filled& f) {
    return kCapacity * 24 + uint64_t(f.table->n_slots()) * kValueBytes + kCapacity / 8 + f.table->n_slots() * 4ull;
}

void lookups(benchmark::State& state, int percent) {
    const Filled& f = filled(percent);
    std::mt19937 rng(uint32_t(state.thread_index() + 1));
    const size_t n = f.keys.size();
    float sink = 0;
    for (auto _ : state) {
        for (int i = 0; i < 256; ++i) {
            const float* v = f.table->lookup(f.keys[rng() % n], 3, 0);
            sink += v ? v[0] : 0.0f;
        }
    }
    benchmark::DoNotOptimize(sink);
    state.SetItemsProcessed(state.iterations() * 256);
}

// A single random cycle through the buffer's cache lines: every read depends
// on the previous one.
const std::vector<uint64_t>& chain(int percent) {
    static std::mutex mu;
    static std::vector<uint64_t> chains[2];
    std::lock_guard<std::mutex> lock(mu);
    auto& c = chains[percent >= 90 ? 1 : 0];
    if (c.empty()) {
        const uint64_t lines = table_bytes(filled(percent)) / 64;
        std::vector<uint64_t> order(lines);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin() + 1, order.end(), std::mt19937_64(11));
        c.assign(lines * 8, 0);
        for (uint64_t i = 0; i < lines; ++i) c[order[i] * 8] = order[(i + 1) % lines] * 8;
    }
    return c;
}

void dependent_reads(benchmark::State& state, int percent) {
    const std::vector<uint64_t>& c = chain(percent);
    uint64_t at = uint64_t(state.thread_index()) * 8 * 977;
    for (auto _ : state) {
        at %= c.size();
        at -= at % 8;
        for (int i = 0; i < 256; ++i) at = c[at];
    }
    benchmark::DoNotOptimize(at);
    state.SetItemsProcessed(state.iterations() * 256);
}

} // namespace

BENCHMARK_CAPTURE(lookups, load50, 50)->Name("dkv_lookup/measured_load50")->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK_CAPTURE(dependent_reads, load50, 50)->Name("dkv_lookup/baseline_load50")->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK_CAPTURE(lookups, load90, 90)->Name("dkv_lookup/measured_load90")->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK_CAPTURE(dependent_reads, load90, 90)->Name("dkv_lookup/baseline_load90")->Threads(1)->Threads(8)->UseRealTime();

int main(int argc, char** argv) { return vivirov::bench::runWithRatios(argc, argv, true); }
