// Costs of the document tools beside a baseline measured in the same run:
// - reading a large text file through extract() against reading its bytes;
// - starting a child through ProcessRunner against a bare posix_spawn + waitpid.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "VivirovKit/Support/ProcessRunner.h"
#include "VivirovKit/Tools/Documents/DocumentTools.h"

extern char** environ;

namespace {

const std::string& textFile() {
    static const std::string path = [] {
        std::string p = "/tmp/vivirov_bench_extract_" + std::to_string(::getpid()) + ".txt";
        std::ofstream out(p, std::ios::binary);
        std::string line = "The quick brown fox jumps over the lazy dog — ünïcödé line of text.\n";
        for (size_t written = 0; written < (8u << 20); written += line.size()) out << line;
        std::atexit([] { std::remove(("/tmp/vivirov_bench_extract_" + std::to_string(::getpid()) + ".txt").c_str()); });
        return p;
    }();
    return path;
}

void BM_ReadFileBaseline(benchmark::State& state) {
    std::string buffer(1u << 20, '\0');
    for (auto _ : state) {
        FILE* f = std::fopen(textFile().c_str(), "rb");
        size_t total = 0, n;
        while ((n = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) total += n;
        std::fclose(f);
        benchmark::DoNotOptimize(total);
    }
}
BENCHMARK(BM_ReadFileBaseline)->Unit(benchmark::kMillisecond);

void BM_ExtractTextFile(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(vivirov::DocumentTools::extract(textFile(), 80000));
}
BENCHMARK(BM_ExtractTextFile)->Unit(benchmark::kMillisecond);

void BM_SpawnBaseline(benchmark::State& state) {
    char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
    for (auto _ : state) {
        pid_t pid;
        posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ);
        int status;
        waitpid(pid, &status, 0);
    }
}
BENCHMARK(BM_SpawnBaseline)->Unit(benchmark::kMicrosecond);

void BM_ProcessRunnerTrue(benchmark::State& state) {
    vivirov::ProcessRequest request;
    request.program = "/bin/true";
    for (auto _ : state) benchmark::DoNotOptimize(vivirov::ProcessRunner::run(request));
}
BENCHMARK(BM_ProcessRunnerTrue)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
