// Dequantiser output GB/s beside memcpy of the same output bytes, one
// thread each, same run. Target: F16 and Q8_0 at least half of memcpy.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "engine/vm_cabi_v2/dequant.h"
#include "tests/support/RandomBlocks.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kCount = uint64_t(1) << 24; // 64 MiB of floats out

double memcpyGBps(std::vector<float>& dst) {
    static double best = 0;
    if (best == 0) {
        const std::vector<float> src(kCount, 1.0f);
        for (int round = 0; round < 5; ++round) {
            const auto t0 = Clock::now();
            std::memcpy(dst.data(), src.data(), kCount * 4);
            benchmark::DoNotOptimize(dst.data());
            best = std::max(best, double(kCount * 4) / std::chrono::duration<double>(Clock::now() - t0).count() / 1e9);
        }
    }
    return best;
}

void BM_Dequant(benchmark::State& state) {
    const auto type = uint32_t(state.range(0));
    const std::string src = vivirov::test::randomBlocks(type, kCount, 1);
    std::vector<float> dst(kCount);
    const double baseline = memcpyGBps(dst);
    const auto t0 = Clock::now();
    for (auto _ : state) {
        vm::dequant_tensor(type, reinterpret_cast<const uint8_t*>(src.data()), dst.data(), kCount);
        benchmark::DoNotOptimize(dst.data());
    }
    const double sec = std::chrono::duration<double>(Clock::now() - t0).count();
    const double gbps = double(kCount * 4) * double(state.iterations()) / sec / 1e9;
    state.counters["out_GB_per_s"] = gbps;
    state.counters["memcpy_GB_per_s"] = baseline;
    state.counters["share_of_memcpy"] = gbps / baseline;
}

} // namespace

BENCHMARK(BM_Dequant)->ArgName("type")->Arg(1)->Arg(8)->Arg(6)->Arg(12)->Arg(13)->Arg(14)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
