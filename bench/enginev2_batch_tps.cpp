// Batched DeepSeek-V4 decode through vivirov_vm_v2_bench_batch_tps at B 1 to
// 16 on a generated model larger than the last-level cache (E 2048, 8 layers,
// Q8_0), beside the same run's bound: the time to read one step's weight bytes
// at the machine's read bandwidth. B 1's step should stay within 3x of that
// bound, B 4 should reach at least twice B 1's tokens/s (the "tok/s" counters),
// and a lone chat slot's time per piece should stay within 1.2x the B 1 step.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "bench/guards_ratio_reporter.h"
#include "bench/read_bandwidth.h"
#include "engine/include/vm_engine_v2.h"
#include "tests/support/DeepSeekV4Fixture.h"

namespace {

constexpr int kSteps = 16;

struct Model {
    std::string dir;
    vivirov::test::DeepSeekV4Model files;
    EngineWrapper* engine = nullptr;
    double stepBytes = 0; // weight bytes one decode step reads
};

Model& model() {
    static Model* m = [] {
        auto* m = new Model;
        char tmpl[] = "/tmp/enginev2_bench_XXXXXX";
        m->dir = mkdtemp(tmpl);
        vivirov::test::DeepSeekV4Options o;
        o.shape.nEmbd = 2048;
        o.shape.nLayer = 8;
        o.shape.qRank = 256;
        o.shape.nFfExp = 512;
        o.shape.nVocab = 4096;
        o.matrixType = 8;
        o.expertType = 8;
        m->files = vivirov::test::writeDeepSeekV4Model(m->dir, "big", o);
        for (const auto& [name, t] : m->files.tensors) {
            if (name == "token_embd.weight") continue; // one row per token
            const bool expert = name.find("_exps.") != std::string::npos;
            m->stepBytes += double(t.bytes.size()) * (expert ? double(o.shape.nExpertUsed) / o.shape.nExpert : 1.0);
        }
        setenv("VEZEV_OM2_DIR", (m->dir + "/om2").c_str(), 1);
        m->engine = vivirov_vm_v2_create(m->files.path().c_str());
        return m;
    }();
    return *m;
}

void batch(benchmark::State& state) {
    Model& m = model();
    const int B = int(state.range(0));
    double tokens = 0, wall = 0;
    for (auto _ : state) {
        double tps = 0, w = 0;
        int32_t n = 0;
        if (vivirov_vm_v2_bench_batch_tps(m.engine, B, kSteps, &tps, &w, &n) != 0) {
            state.SkipWithError("bench_batch_tps failed");
            return;
        }
        tokens += n;
        wall += w;
        state.SetIterationTime(w / (double(n) / B)); // seconds per decode step
    }
    state.counters["tok/s"] = wall > 0 ? tokens / wall : 0;
}

// Reading one step's weight bytes at the read bandwidth measured in this run.
void bound(benchmark::State& state) {
    static const double gbps = vivirov::bench::measureReadBandwidth();
    const double seconds = model().stepBytes / (gbps * 1e9);
    for (auto _ : state) state.SetIterationTime(seconds);
    state.counters["GB/s"] = gbps;
    state.counters["MB/step"] = model().stepBytes / 1e6;
}

struct Pieces {
    int n = 0;
    static void cb(const char*, int32_t, void* u) { ++static_cast<Pieces*>(u)->n; }
};

void chat(benchmark::State& state) {
    Model& m = model();
    for (auto _ : state) {
        Pieces p;
        const auto t0 = std::chrono::steady_clock::now();
        vivirov_vm_v2_chat_generate(m.engine, "hello", 32, &Pieces::cb, &p);
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.SetIterationTime(s / std::max(p.n, 1));
    }
}

} // namespace

BENCHMARK(batch)->Name("enginev2_step/measured_B")->Arg(1)->UseManualTime()->Iterations(3);
BENCHMARK(bound)->Name("enginev2_step/baseline_B")->Arg(1)->UseManualTime()->Iterations(1);
BENCHMARK(batch)->Name("enginev2_batch")->Arg(2)->Arg(4)->Arg(8)->Arg(16)->UseManualTime()->Iterations(3);
BENCHMARK(chat)->Name("enginev2_piece/measured")->Arg(1)->UseManualTime()->Iterations(3);
BENCHMARK(batch)->Name("enginev2_piece/baseline")->Arg(1)->UseManualTime()->Iterations(3);

int main(int argc, char** argv) { return vivirov::bench::runWithRatios(argc, argv, true); }
