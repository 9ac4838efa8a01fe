// The process registry beside bare system calls doing the same work, in the
// same run (wall time: the work happens in child processes):
// - runBash("true") against posix_spawn of `/bin/zsh -lc true` and waitpid;
// - a command writing 1 GiB to standard output against a plain pipe read of
//   the same command; the registry's peak memory growth is reported too.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "VivirovVizivurad/HostTools/ProcessRegistry.h"
#include "guards_ratio_reporter.h"

extern char** environ;

namespace {

const char* const gibCommand = "head -c 1073741824 /dev/zero";

// Spawns `/bin/zsh -lc command`, reads its standard output to the end (when
// `readOutput`), reaps it.
void bareShell(const char* command, bool readOutput) {
    int fds[2];
    if (readOutput && ::pipe(fds) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (readOutput) {
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
    }
    char* argv[] = {const_cast<char*>("/bin/zsh"), const_cast<char*>("-lc"), const_cast<char*>(command), nullptr};
    pid_t pid;
    posix_spawn(&pid, "/bin/zsh", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (readOutput) {
        ::close(fds[1]);
        static thread_local std::string buffer(64 * 1024, '\0');
        size_t total = 0;
        for (ssize_t n; (n = ::read(fds[0], buffer.data(), buffer.size())) > 0;) total += size_t(n);
        benchmark::DoNotOptimize(total);
        ::close(fds[0]);
    }
    int status;
    ::waitpid(pid, &status, 0);
}

long peakRSSKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void BM_SpawnTrue_baseline(benchmark::State& state) {
    for (auto _ : state) bareShell("true", false);
}
BENCHMARK(BM_SpawnTrue_baseline)->Name("SpawnTrue/baseline")->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_SpawnTrue_measured(benchmark::State& state) {
    vivirov::ProcessRegistry registry;
    for (auto _ : state) benchmark::DoNotOptimize(registry.runBash("true", 0));
}
BENCHMARK(BM_SpawnTrue_measured)->Name("SpawnTrue/measured")->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Stdout1GiB_baseline(benchmark::State& state) {
    for (auto _ : state) bareShell(gibCommand, true);
    state.SetBytesProcessed(int64_t(state.iterations()) * (int64_t(1) << 30));
}
BENCHMARK(BM_Stdout1GiB_baseline)->Name("Stdout1GiB/baseline")->UseRealTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_Stdout1GiB_measured(benchmark::State& state) {
    vivirov::ProcessRegistry registry;
    const long before = peakRSSKiB();
    for (auto _ : state) benchmark::DoNotOptimize(registry.runBash(gibCommand, 0));
    state.SetBytesProcessed(int64_t(state.iterations()) * (int64_t(1) << 30));
    state.counters["peakRSSGrowthMiB"] = double(peakRSSKiB() - before) / 1024.0;
}
BENCHMARK(BM_Stdout1GiB_measured)->Name("Stdout1GiB/measured")->UseRealTime()->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    // Neither side reads a user's login profile.
    char home[] = "/tmp/vivirov-bench-home-XXXXXX";
    if (::mkdtemp(home)) ::setenv("HOME", home, 1);
    int rc = vivirov::bench::runWithRatios(argc, argv, /*realTime=*/true);
    ::rmdir(home);
    return rc;
}
