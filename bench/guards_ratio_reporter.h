#pragma once
// Console output plus, at the end, the ratio of each measured benchmark to its
// same-run baseline, since machines are shared and only the ratio is stable.
// CPU time is compared: the work is single-threaded, and wall time on a busy
// machine mostly measures the other tenants. Pairs are named
// "<name>/measured..." and "<name>/baseline...".
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vivirov::bench {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Wall time instead, for work done by child processes or other threads.
    explicit RatioReporter(bool realTime = false) : realTime_(realTime) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
            const std::string name = run.benchmark_name();
            for (const char* role : {"/measured", "/baseline"}) {
                const size_t at = name.find(role);
                if (at == std::string::npos) continue;
                const std::string key = name.substr(0, at) + name.substr(at + std::string(role).size());
                auto& pair = times_[key];
                (std::string(role) == "/measured" ? pair.first : pair.second) =
                    realTime_ ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const auto& [key, pair] : times_) {
            if (pair.first > 0 && pair.second > 0)
                std::printf("ratio %-40s %.3f (%s time, measured / baseline)\n", key.c_str(),
                            pair.first / pair.second, realTime_ ? "wall" : "CPU");
        }
    }

private:
    bool realTime_;
    std::map<std::string, std::pair<double, double>> times_;
};

inline int runWithRatios(int argc, char** argv, bool realTime = false) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(realTime);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

} // namespace vivirov::bench
