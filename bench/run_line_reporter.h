#pragma once
// main() of a benchmark that states its target as a ratio of its own
// counters: the console table, then one line per run that `line` prints from
// that run's figures.
#include <benchmark/benchmark.h>

#include <functional>
#include <vector>

namespace vivirov::bench {

using RunLine = std::function<void(const benchmark::BenchmarkReporter::Run&)>;

inline int runWithLines(int argc, char** argv, RunLine line) {
    benchmark::Initialize(&argc, argv);
    struct Reporter : benchmark::ConsoleReporter {
        RunLine line;
        void ReportRuns(const std::vector<Run>& runs) override {
            ConsoleReporter::ReportRuns(runs);
            for (const Run& r : runs) line(r);
        }
    } reporter;
    reporter.line = std::move(line);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

} // namespace vivirov::bench
