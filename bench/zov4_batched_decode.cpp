// Aggregate decode throughput of B sequences in slots decoded together
// (B = 1, 2, 4, 8, 16) on a Q8_0 DeepSeek-V4-shaped model large enough to
// leave the caches, with every routed expert forced to expert 0. One weight
// pass per layer serves all B rows, so while the step is bound by weight
// bandwidth the rate should grow nearly with B: each run reports its rate
// beside the same process's B = 1 rate ("vs_B1"), and the batched phase
// timers per step.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <memory>
#include <vector>

#include "engine/zov4/zov4_forward.h"
#include "tests/support/DeepSeekV4Fixture.h"

namespace {

using vm::zov4::ZOV4Forward;

// The forward-pass benchmark's Q8_0 shape, here with its fused routed experts,
// all routed to expert 0.
struct Model {
    std::string dir;
    std::unique_ptr<ZOV4Forward> forward;

    Model() {
        setenv("VIVIROV_UVM_RING_MB", "64", 1);
        char tmpl[] = "/tmp/zov4_batch_bench_XXXXXX";
        dir = mkdtemp(tmpl);
        vivirov::test::DeepSeekV4Options o;
        o.shape = {.nEmbd = 2048, .nHc = 4, .nHead = 16, .qRank = 512, .oGroups = 4, .oRank = 256, .ixHeads = 4,
                   .nExpert = 16, .nFfExp = 512, .nLayer = 8, .nVocab = 8192};
        forward = std::make_unique<ZOV4Forward>(vivirov::test::writeDeepSeekV4Model(dir, "bench", o).path());
        forward->forced_expert = 0;
    }
    ~Model() {
        forward.reset();
        std::filesystem::remove_all(dir);
    }
};

ZOV4Forward& model() {
    static Model m;
    return *m.forward;
}

double g_rate_b1 = 0.0;

void BM_BatchedDecode(benchmark::State& state) {
    ZOV4Forward& f = model();
    const int B = int(state.range(0));
    f.multi_seq_init(B);
    for (int s = 0; s < B; ++s) {
        std::vector<int32_t> prompt;
        for (int i = 0; i < 16; ++i) prompt.push_back((s * 131 + i * 17 + 3) % f.n_vocab);
        f.multi_seq_prefill(s, prompt);
    }
    std::vector<int> ids(B), toks(B, 1), out(B);
    for (int s = 0; s < B; ++s) ids[size_t(s)] = s;
    double before[ZOV4Forward::kProfCount];
    std::copy(std::begin(f.prof), std::end(f.prof), before);
    int64_t steps = 0;
    double seconds = 0.0;
    for (auto _ : state) {
        // Slots stay below their 128-row slab: refill them when close.
        if (f.slots[0].pos >= 120) {
            state.PauseTiming();
            for (int s = 0; s < B; ++s) f.multi_seq_prefill(s, {1, 2, 3});
            state.ResumeTiming();
        }
        const auto t0 = std::chrono::steady_clock::now();
        f.multi_decode_step(ids.data(), toks.data(), B, out.data());
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        for (int s = 0; s < B; ++s) toks[size_t(s)] = out[size_t(s)];
        ++steps;
    }
    const double tokens = double(steps) * B;
    state.counters["tok_s"] = benchmark::Counter(tokens, benchmark::Counter::kIsRate);
    const double rate = tokens / std::max(seconds, 1e-9);
    if (B == 1) g_rate_b1 = rate;
    if (g_rate_b1 > 0.0) state.counters["vs_B1"] = rate / g_rate_b1;
    static const char* names[] = {"hc", "qkv", "rope", "kv", "mha", "gout", "res", "lm"};
    for (int i = 0; i < 8; ++i) {
        const int at = ZOV4Forward::kProfBHc + i;
        state.counters[std::string("ms_") + names[i]] = (f.prof[at] - before[at]) * 1e3 / double(std::max<int64_t>(steps, 1));
    }
    state.counters["ms_moe"] =
        (f.prof[ZOV4Forward::kProfMoe] - before[ZOV4Forward::kProfMoe]) * 1e3 / double(std::max<int64_t>(steps, 1));
}

} // namespace

BENCHMARK(BM_BatchedDecode)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Arg(16)->Unit(benchmark::kMillisecond)->MinTime(2.0);

BENCHMARK_MAIN();
