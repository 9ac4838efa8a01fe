// Tool-call parsing runs on every finished answer. Worst-case answers (a long
// run of unclosed "{" or of unclosed "name(") must stay linear: each figure is
// reported beside a baseline measured in the same run over the same text (the
// grapheme segmentation that any of these parsers needs), as "x_baseline".
#include <benchmark/benchmark.h>

#include <chrono>
#include <set>
#include <string>

#include "VivirovKit/Agentic/LooseToolCallParser.h"
#include "VivirovKit/Agentic/ToolCallTextForms.h"
#include "VivirovKit/Support/Text.h"

using namespace vivirov;

namespace {

const std::set<std::string> known = {"execute_bash", "read_file", "search", "web_fetch", "web_search",
                                     "write_file"};

std::string repeated(const std::string& piece, size_t bytes) {
    std::string out;
    out.reserve(bytes + piece.size());
    while (out.size() < bytes) out += piece;
    return out;
}

std::string withEnvelopes(size_t bytes) {
    std::string filler = repeated("Prose with {braces}, \"quotes\" and words é. ", bytes / 8);
    std::string out;
    for (int i = 0; i < 8; ++i)
        out += filler + "<tool_call>{\"tool\":\"read_file\",\"args\":{\"path\":\"/tmp/" + std::to_string(i) +
               "\"}}</tool_call>\n";
    return out;
}

double secondsPer(const std::function<void()>& work, int runs) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; ++i) work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / runs;
}

// Runs `parse` as the benchmark body and reports its time over the baseline's.
template <class Parse>
void runAgainstBaseline(benchmark::State& state, const std::string& text, Parse parse) {
    auto start = std::chrono::steady_clock::now();
    int64_t runs = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(parse(text));
        ++runs;
    }
    double parser = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / runs;
    double baseline = secondsPer([&] { benchmark::DoNotOptimize(text::graphemeCount(text)); }, 5);
    state.counters["x_baseline"] = parser / baseline;
    state.SetBytesProcessed(int64_t(text.size()) * state.iterations());
    state.SetComplexityN(int64_t(text.size()));
}

void BM_Baseline_GraphemeCount(benchmark::State& state) {
    std::string text = repeated("{", size_t(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(text::graphemeCount(text));
    state.SetBytesProcessed(int64_t(text.size()) * state.iterations());
}

void BM_LooseUnclosedBraces(benchmark::State& state) {
    runAgainstBaseline(state, repeated("{", size_t(state.range(0))),
                       [](const std::string& t) { return LooseToolCallParser::parseLooseToolCalls(t, known); });
}

void BM_LooseUnclosedBracesNonASCII(benchmark::State& state) {
    runAgainstBaseline(state, repeated("{é\"", size_t(state.range(0))),
                       [](const std::string& t) { return LooseToolCallParser::parseLooseToolCalls(t, known); });
}

void BM_ShorthandUnclosedCalls(benchmark::State& state) {
    runAgainstBaseline(state, repeated("read_file(a=,", size_t(state.range(0))),
                       [](const std::string& t) { return LooseToolCallParser::parseLooseToolCalls(t, known); });
}

void BM_TextEightEnvelopes(benchmark::State& state) {
    runAgainstBaseline(state, withEnvelopes(size_t(state.range(0))),
                       [](const std::string& t) { return ToolCallTextForms::parseTextToolCalls(t, known); });
}

} // namespace

BENCHMARK(BM_Baseline_GraphemeCount)->Arg(1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LooseUnclosedBraces)->Arg(1 << 18)->Arg(1 << 20)->Complexity(benchmark::oN)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LooseUnclosedBracesNonASCII)->Arg(1 << 18)->Arg(1 << 20)->Complexity(benchmark::oN)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShorthandUnclosedCalls)->Arg(1 << 18)->Arg(1 << 20)->Complexity(benchmark::oN)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TextEightEnvelopes)->Arg(1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
