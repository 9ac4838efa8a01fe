// Rescanning a 100,000-entry workspace folder against listing its names
// alone: the filter, the code-point sort and the 80 directory checks should
// cost at most a few times the bare listing.
#include <benchmark/benchmark.h>

#include <QString>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "VivirovVizivurad/Workspace/WorkspaceListing.h"
#include "bench/guards_ratio_reporter.h"

namespace {

namespace fs = std::filesystem;

const QString& folder() {
    static const QString path = [] {
        const fs::path root = fs::temp_directory_path() / ("vivirov-rescan-" + std::to_string(::getpid()));
        fs::create_directories(root);
        for (int i = 0; i < 100000; ++i) {
            const std::string name = (i % 7 == 0 ? "Dir" : "file-") + std::to_string(i * 7919 % 100000);
            if (i % 7 == 0) fs::create_directory(root / name);
            else std::ofstream(root / (name + ".txt"));
        }
        return QString::fromStdString(root.string());
    }();
    return path;
}

void RescanMeasured(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(vivirov::WorkspaceListing::scan(folder()));
}
void RescanBaseline(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(vivirov::WorkspaceListing::listNames(folder()));
}

BENCHMARK(RescanMeasured)->Name("rescan/measured")->Unit(benchmark::kMillisecond);
BENCHMARK(RescanBaseline)->Name("rescan/baseline")->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    folder(); // made before timing starts
    vivirov::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    fs::remove_all(folder().toStdString());
    return 0;
}
