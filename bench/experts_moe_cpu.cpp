// One mixture-of-experts call of a DeepSeek-V4 layer on the CPU path (no GPU
// device), for a single row: the router, one routed expert (top-1, forced in
// turn to each expert of each layer so that its weights come from memory,
// not a cache) and the shared expert. The call streams those weights once,
// so its time is set against their bytes over the machine's read bandwidth
// measured in the same run (target: within 2×).
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include "bench/read_bandwidth.h"
#include "bench/run_line_reporter.h"
#include "engine/vm_cabi_v2/det_pool.h"
#include "engine/zov4/zov4_forward.h"
#include "tests/support/DeepSeekV4Fixture.h"

namespace {

using vm::zov4::ZOV4Forward;

constexpr int kLayers = 4, kExperts = 8;

struct Model {
    std::string dir;
    vivirov::test::DeepSeekV4Model files;
    std::unique_ptr<ZOV4Forward> forward;
    double bytes_per_call = 0; // router, one routed expert and the shared expert of one layer

    Model() {
        setenv("VIVIROV_UVM_RING_MB", "64", 1);
        char tmpl[] = "/tmp/experts_moe_bench_XXXXXX";
        dir = mkdtemp(tmpl);
        vivirov::test::DeepSeekV4Options o;
        o.shape = {.nEmbd = 2048, .nHc = 2, .nHead = 2, .qRank = 64, .oGroups = 2, .oRank = 32, .ixHeads = 2,
                   .nExpert = kExperts, .nExpertUsed = 1, .nFfExp = 1024, .nHashLayers = 0, .nLayer = kLayers,
                   .nVocab = 512};
        files = vivirov::test::writeDeepSeekV4Model(dir, "bench", o);
        forward = std::make_unique<ZOV4Forward>(files.path());
        auto bytes = [&](const std::string& name) { return double(files.tensors.at("blk.0." + name).bytes.size()); };
        bytes_per_call = bytes("ffn_gate_inp.weight") + bytes("ffn_up_shexp.weight") + bytes("ffn_gate_shexp.weight") +
                         bytes("ffn_down_shexp.weight") +
                         (bytes("ffn_up_exps.weight") + bytes("ffn_gate_exps.weight") + bytes("ffn_down_exps.weight")) /
                             kExperts;
    }
    ~Model() {
        forward.reset();
        std::filesystem::remove_all(dir);
    }
};

Model& model() {
    static Model m;
    return m;
}

void BM_MoeCpuCall(benchmark::State& state) {
    Model& m = model();
    ZOV4Forward& f = *m.forward;
    std::vector<float> x(size_t(f.n_embd)), out(size_t(f.n_embd));
    for (size_t i = 0; i < x.size(); ++i) x[i] = 0.01f * float(int(i % 97) - 48);
    int call = 0;
    const uint64_t handoffs = vm::apex::det_pool_global()->handoffs();
    for (auto _ : state) {
        // Layer and expert change every call: 32 distinct weight sets, far
        // more than the caches hold.
        const int il = call % kLayers;
        f.forced_expert = (call / kLayers) % kExperts;
        f.moe(il, {1}, x.data(), out.data(), 1);
        benchmark::DoNotOptimize(out.data());
        ++call;
    }
    // Each hand-off to the pool's workers costs a wake-up when they sleep.
    state.counters["pool_handoffs_per_call"] =
        double(vm::apex::det_pool_global()->handoffs() - handoffs) / std::max(call, 1);
    static const double bandwidth = vivirov::bench::measureReadBandwidth() * 1e9; // bytes/s
    state.counters["weight_MB_per_call"] = m.bytes_per_call / 1e6;
    state.counters["ideal_ms_per_call"] = m.bytes_per_call / bandwidth * 1e3;
    state.counters["read_GBps"] = bandwidth / 1e9;
}
BENCHMARK(BM_MoeCpuCall)->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace

// Prints the ratio the target is stated in, from the run's own figures.
int main(int argc, char** argv) {
    return vivirov::bench::runWithLines(argc, argv, [](const benchmark::BenchmarkReporter::Run& r) {
        const double ms = r.GetAdjustedRealTime();
        std::printf("moe call %.3f ms = %.2f x its weight bytes over read bandwidth (target <= 2)\n", ms,
                    ms / double(r.counters.at("ideal_ms_per_call")));
    });
}
