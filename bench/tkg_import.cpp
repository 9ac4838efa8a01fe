// Vault import of 10,000 notes (about 40 MB, 5 links each) against reading
// the same files: with `find ... -exec cat` and with the bare in-process
// read loop that `cat` amounts to. The ratio import / bare read is what
// counts.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tkg.h"

namespace fs = std::filesystem;

namespace {

constexpr int kNotes = 10000;

struct Vault {
    std::string root;
    std::vector<std::string> files;

    Vault() {
        std::string templ = (fs::temp_directory_path() / "tkg_bench_XXXXXX").string();
        root = mkdtemp(templ.data());
        uint64_t seed = 88172645463325252ULL;
        auto next = [&] {
            seed ^= seed << 13;
            seed ^= seed >> 7;
            seed ^= seed << 17;
            return seed;
        };
        static const char* words[] = {"graph", "note", "memory", "agent", "vault", "link", "idea", "plan"};
        for (int i = 0; i < kNotes; ++i) {
            const fs::path dir = fs::path(root) / "vault" / ("folder" + std::to_string(i % 10));
            fs::create_directories(dir);
            std::string body = "# Note " + std::to_string(i) + "\n\n";
            for (int l = 0; l < 5; ++l) {
                while (body.size() < size_t(800 * (l + 1))) body += std::string(words[next() % 8]) + ' ';
                body += "[[Note " + std::to_string(next() % kNotes) + "]]\n";
            }
            while (body.size() < 4000) body += std::string(words[next() % 8]) + ' ';
            const std::string path = (dir / ("Note " + std::to_string(i) + ".md")).string();
            std::ofstream(path) << body;
            files.push_back(path);
        }
    }
    ~Vault() { fs::remove_all(root); }

    // What `cat` does: open, read whole, close.
    uint64_t readAll() const {
        static char buf[1 << 16];
        uint64_t total = 0;
        for (const std::string& f : files) {
            const int fd = open(f.c_str(), O_RDONLY);
            for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) total += uint64_t(n);
            close(fd);
        }
        return total;
    }
};

Vault& vault() {
    static Vault v;
    return v;
}

double seconds(auto&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_ReadVaultFiles(benchmark::State& state) {
    Vault& v = vault();
    uint64_t bytes = 0;
    for (auto _ : state) bytes = v.readAll();
    state.SetBytesProcessed(int64_t(bytes) * state.iterations());
}

// The literal command, processes and all.
void BM_CatCommand(benchmark::State& state) {
    Vault& v = vault();
    const std::string command = "find '" + v.root + "/vault' -name '*.md' -exec cat {} + >/dev/null";
    for (auto _ : state)
        if (std::system(command.c_str()) != 0) state.SkipWithError("cat failed");
}

void BM_ImportVault(benchmark::State& state) {
    Vault& v = vault();
    const std::string out = v.root + "/knowledge.tkg";
    double importTime = 0, readTime = 0;
    for (auto _ : state) {
        importTime += seconds([&] {
            char err[256];
            if (tkg_import_vault((v.root + "/vault").c_str(), out.c_str(), nullptr, err, sizeof err) != 0)
                state.SkipWithError(err);
        });
        state.PauseTiming();
        readTime += seconds([&] { benchmark::DoNotOptimize(v.readAll()); });
        state.ResumeTiming();
    }
    state.counters["read_ms"] = readTime * 1e3 / double(state.iterations());
    state.counters["import_over_read"] = importTime / readTime;
}

} // namespace

BENCHMARK(BM_ReadVaultFiles)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CatCommand)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ImportVault)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
