// tkg_open at 10k, 100k and 1M nodes with 6 outgoing links each, against a
// sequential read of the same node and edge tables from the mapping. Opening
// builds the title and incoming-edge indexes, so the ratio shows what that
// costs over touching the bytes once.
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

#include "engine/tkg/tkg_store.h"
#include "tkg.h"

namespace fs = std::filesystem;

namespace {

struct Files {
    std::string root;
    std::map<int64_t, std::string> byNodes;
    Files() {
        std::string templ = (fs::temp_directory_path() / "tkg_bench_XXXXXX").string();
        root = mkdtemp(templ.data());
    }
    ~Files() { fs::remove_all(root); }

    const std::string& graph(int64_t n) {
        auto& path = byNodes[n];
        if (!path.empty()) return path;
        path = root + "/g" + std::to_string(n) + ".tkg";
        tkg::Store s;
        std::string err;
        s.create(path, {uint64_t(n), uint64_t(n) * 6, uint64_t(n) * 16, 0}, err);
        uint64_t seed = 0x9E3779B97F4A7C15ULL;
        {
            std::unique_lock guard(s.lock);
            for (int64_t i = 0; i < n; ++i) s.addNode_unlocked("Note " + std::to_string(i), "", tkg::NODE_NOTE, 0, err);
        }
        for (int64_t i = 0; i < n; ++i)
            for (int l = 0; l < 6; ++l) {
                seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
                s.addEdge(uint64_t(i), (seed >> 33) % uint64_t(n), 1.0f, 0, 0, err);
            }
        s.finalizeAdjacency(err);
        return path;
    }
};

Files& files() {
    static Files f;
    return f;
}

// The same bytes opening has to look at, read once in order.
uint64_t readTables(const std::string& path) {
    tkg::Store s;
    std::string err;
    s.open(path, err);
    const tkg::Header* h = s.header();
    const auto* words = reinterpret_cast<const uint64_t*>(s.base + h->node_offset);
    const uint64_t nodeWords = h->node_count * tkg::NODE_BYTES / 8;
    uint64_t sum = 0;
    for (uint64_t i = 0; i < nodeWords; i += 1) sum += words[i];
    const auto* edges = reinterpret_cast<const uint64_t*>(s.base + h->edge_offset);
    for (uint64_t i = 0; i < h->edge_count * tkg::EDGE_BYTES / 8; ++i) sum += edges[i];
    return sum;
}

void BM_ReadTables(benchmark::State& state) {
    const std::string& path = files().graph(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(readTables(path));
}

void BM_Open(benchmark::State& state) {
    const std::string& path = files().graph(state.range(0));
    double openTime = 0, readTime = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        tkg_graph* g = tkg_open(path.c_str(), nullptr, 0);
        openTime += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.PauseTiming();
        tkg_close(g);
        t0 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(readTables(path));
        readTime += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.ResumeTiming();
    }
    state.counters["read_ms"] = readTime * 1e3 / double(state.iterations());
    state.counters["open_over_read"] = openTime / readTime;
}

} // namespace

BENCHMARK(BM_ReadTables)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Open)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
