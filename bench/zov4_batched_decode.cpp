// Aggregate decode throughput of B sequences in slots decoded together
// (B = 1, 2, 4, 8, 16) on a Q8_0 DeepSeek-V4-shaped model large enough to
// leave the caches, with every routed expert forced to expert 0. One weight
// pass per layer serves all B rows, so while the step is bound by weight
// bandwidth the rate should grow nearly with B: each run reports its rate
// beside a B = 1 baseline ("vs_B1"): every B-row step is followed by a step
// of slot 0 alone, so that both see the same machine load. Also the batched
// phase timers per B-row step.
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

void BM_BatchedDecode(benchmark::State& state) {
    ZOV4Forward& f = model();
    const int B = int(state.range(0));
    f.multi_seq_init(B);
    auto refill = [&](int len) {
        for (int s = 0; s < B; ++s) {
            std::vector<int32_t> prompt;
            for (int i = 0; i < len; ++i) prompt.push_back((s * 131 + i * 17 + 3) % f.n_vocab);
            f.multi_seq_prefill(s, prompt);
        }
    };
    refill(16);
    std::vector<int> ids(B), toks(B, 1), out(B), one_out(1);
    for (int s = 0; s < B; ++s) ids[size_t(s)] = s;
    double spent[ZOV4Forward::kProfCount] = {};
    int64_t steps = 0, one_steps = 0;
    double seconds = 0.0, one_seconds = 0.0;
    using Clock = std::chrono::steady_clock;
    for (auto _ : state) {
        // Slots stay below their 128-row slab: refill them when close.
        if (f.slots[0].pos >= 120 || f.slots[size_t(B) - 1].pos >= 120) {
            state.PauseTiming();
            refill(3);
            state.ResumeTiming();
        }
        double before[ZOV4Forward::kProfCount];
        std::copy(std::begin(f.prof), std::end(f.prof), before);
        const auto t0 = Clock::now();
        f.multi_decode_step(ids.data(), toks.data(), B, out.data());
        seconds += std::chrono::duration<double>(Clock::now() - t0).count();
        for (int i = 0; i < ZOV4Forward::kProfCount; ++i) spent[i] += f.prof[i] - before[i];
        for (int s = 0; s < B; ++s) toks[size_t(s)] = out[size_t(s)];
        ++steps;
        if (B > 1) {
            // The baseline: slot 0 alone, right after, under the same load.
            const auto t1 = Clock::now();
            f.multi_decode_step(ids.data(), toks.data(), 1, one_out.data());
            one_seconds += std::chrono::duration<double>(Clock::now() - t1).count();
            toks[0] = one_out[0];
            ++one_steps;
        }
    }
    const double tokens = double(steps) * B;
    const double rate = tokens / std::max(seconds, 1e-9);
    state.counters["tok_s"] = rate;
    if (B > 1) {
        const double one_rate = double(one_steps) / std::max(one_seconds, 1e-9);
        state.counters["B1_tok_s"] = one_rate;
        state.counters["vs_B1"] = rate / one_rate;
    }
    static const char* names[] = {"hc", "qkv", "rope", "kv", "mha", "gout", "res", "lm"};
    const double per_step = 1e3 / double(std::max<int64_t>(steps, 1));
    for (int i = 0; i < 8; ++i) state.counters[std::string("ms_") + names[i]] = spent[ZOV4Forward::kProfBHc + i] * per_step;
    state.counters["ms_moe"] = spent[ZOV4Forward::kProfMoe] * per_step;
}

// The mixture-of-experts stage alone for B rows, every layer in turn, beside
// the same stage for one row right after it ("vs_B1": rows per second at B
// over rows per second at 1). The routed and shared expert weights are read
// once per layer for all rows, so the ratio should approach B.
void BM_MoeStage(benchmark::State& state) {
    ZOV4Forward& f = model();
    const int B = int(state.range(0));
    const int64_t E = f.n_embd;
    std::vector<float> x(size_t(B * E)), out(size_t(B * E));
    for (size_t i = 0; i < x.size(); ++i) x[i] = float((i * 2654435761u) % 2001) / 1000.0f - 1.0f;
    std::vector<int32_t> tokens(static_cast<size_t>(B)), one_token(1);
    for (int s = 0; s < B; ++s) tokens[size_t(s)] = (s * 131 + 7) % f.n_vocab;
    one_token[0] = tokens[0];
    using Clock = std::chrono::steady_clock;
    double seconds = 0.0, one_seconds = 0.0;
    int64_t steps = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (int il = 0; il < f.n_layer; ++il) f.moe(il, tokens, x.data(), out.data(), B);
        seconds += std::chrono::duration<double>(Clock::now() - t0).count();
        benchmark::DoNotOptimize(out.data());
        if (B > 1) {
            const auto t1 = Clock::now();
            for (int il = 0; il < f.n_layer; ++il) f.moe(il, one_token, x.data(), out.data(), 1);
            one_seconds += std::chrono::duration<double>(Clock::now() - t1).count();
        }
        ++steps;
    }
    state.counters["ms_moe"] = 1e3 * seconds / double(std::max<int64_t>(steps, 1));
    if (B > 1) {
        state.counters["ms_moe_B1"] = 1e3 * one_seconds / double(std::max<int64_t>(steps, 1));
        state.counters["vs_B1"] = double(B) * one_seconds / std::max(seconds, 1e-12);
    }
}

} // namespace

BENCHMARK(BM_MoeStage)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Arg(16)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_BatchedDecode)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Arg(16)->Unit(benchmark::kMillisecond)->MinTime(2.0);

BENCHMARK_MAIN();
