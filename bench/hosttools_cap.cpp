// cap() of 100 MB of ASCII text beside a memchr scan of the same bytes: the
// truncation note needs the full character count, so a whole scan is the
// least the work can cost.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"
#include "guards_ratio_reporter.h"

namespace {

const std::string& asciiText() {
    static const std::string text = [] {
        std::string line = "The quick brown fox jumps over the lazy dog, 0123456789.\n";
        std::string s;
        s.reserve(100'000'000 + line.size());
        while (s.size() < 100'000'000) s += line;
        return s;
    }();
    return text;
}

void BM_Cap_baseline(benchmark::State& state) {
    const std::string& text = asciiText();
    for (auto _ : state) benchmark::DoNotOptimize(std::memchr(text.data(), '\r', text.size()));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(asciiText().size()));
}
BENCHMARK(BM_Cap_baseline)->Name("Cap100MB/baseline")->Unit(benchmark::kMillisecond);

void BM_Cap_measured(benchmark::State& state) {
    const std::string& text = asciiText();
    for (auto _ : state) benchmark::DoNotOptimize(vivirov::ToolExecutionManager::cap(text, 4000));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(asciiText().size()));
}
BENCHMARK(BM_Cap_measured)->Name("Cap100MB/measured")->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) { return vivirov::bench::runWithRatios(argc, argv); }
