// Expert reads from disk beside a same-run direct read of the same bytes
// (dd bs=8M iflag=direct), page cache dropped before every pass:
//   - staging every expert slice of a fused-expert layer through the wired
//     ring (target: at least 70 % of the direct read);
//   - loading om2 packs, reading and widening (target: at least half of the
//     direct read, in file bytes).
// Each benchmark reports its bytes per second and "vs_dd", its rate over the
// direct read's rate measured in the same run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/vm_cabi/gguf_model.h"
#include "engine/vm_cabi_v2/om2_pack.h"
#include "engine/vm_cabi_v2/uvm_pipeline.h"
#include "tests/support/GGUFWriter.h"
#include "tests/support/Om2Writer.h"

namespace {

constexpr int kExperts = 16;
constexpr uint64_t kEmbd = 4096, kFf = 1024;
constexpr int kPacks = 24;

std::string workDir() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/vivirov-bench-XXXXXX";
        static std::string made = mkdtemp(tmpl);
        std::atexit([] { std::filesystem::remove_all(made); });
        return made;
    }();
    return dir;
}

void dropCache(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

// dd bs=8M iflag=direct over whole files; returns the bytes read.
uint64_t directRead(const std::vector<std::string>& paths) {
    constexpr size_t kBlock = 8388608;
    void* buf = nullptr;
    if (posix_memalign(&buf, 4096, kBlock) != 0) return 0;
    uint64_t total = 0;
    for (const auto& p : paths) {
        const int fd = ::open(p.c_str(), O_RDONLY | O_DIRECT);
        if (fd < 0) continue;
        for (ssize_t n; (n = ::read(fd, buf, kBlock)) > 0;) total += uint64_t(n);
        ::close(fd);
    }
    std::free(buf);
    return total;
}

// Best of three direct passes, bytes per second.
double directRate(const std::vector<std::string>& paths) {
    double best = 0;
    for (int i = 0; i < 3; ++i) {
        for (const auto& p : paths) dropCache(p);
        const auto t0 = std::chrono::steady_clock::now();
        const uint64_t bytes = directRead(paths);
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        best = std::max(best, double(bytes) / s);
    }
    return best;
}

const std::string& expertModel() {
    static std::string path = [] {
        const std::string p = workDir() + "/experts.gguf";
        const std::string slice(kEmbd * kFf / 32 * 34, '\x11');
        std::string fused;
        for (int e = 0; e < kExperts; ++e) fused += slice;
        vivirov::test::GGUFWriter w;
        w.u32("deepseek4.block_count", 1);
        w.tensor("blk.0.ffn_up_exps.weight", {kEmbd, kFf, kExperts}, 8, fused);
        w.tensor("blk.0.ffn_gate_exps.weight", {kEmbd, kFf, kExperts}, 8, fused);
        w.tensor("blk.0.ffn_down_exps.weight", {kFf, kEmbd, kExperts}, 8, fused);
        w.write(p);
        return p;
    }();
    return path;
}

void BM_DirectRead(benchmark::State& state) {
    const std::vector<std::string> paths{expertModel()};
    uint64_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        dropCache(paths[0]);
        state.ResumeTiming();
        bytes += directRead(paths);
    }
    state.SetBytesProcessed(int64_t(bytes));
}
BENCHMARK(BM_DirectRead)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_StageAllSlices(benchmark::State& state) {
    const std::string& path = expertModel();
    setenv("VIVIROV_UVM_RING_MB", "256", 1);
    GGUFModel model;
    model.open(path);
    vm::UvmPipeline uvm(model, path, 1);
    uvm.register_layer_tensors(0, model, kEmbd, kFf);
    const double dd = directRate({path});
    uint64_t bytes = 0;
    double seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        dropCache(path);
        state.ResumeTiming();
        const auto t0 = std::chrono::steady_clock::now();
        // As the mixture-of-experts layer does: stage a group, then wait.
        std::vector<vm::StagedSlice> staged;
        for (int p = 0; p < 3; ++p)
            for (int e = 0; e < kExperts; ++e) {
                staged.push_back(uvm.stage_expert(0, vm::ExpertProj(p), e));
                if (!staged.back().ok) {
                    state.SkipWithError("staging failed");
                    return;
                }
            }
        for (auto& s : staged) {
            s.ready.get();
            bytes += s.bytes;
            uvm.signal_done(s.signal_value);
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.PauseTiming();
        uvm.flush_all();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(bytes));
    state.counters["vs_dd"] = double(bytes) / seconds / dd;
}
BENCHMARK(BM_StageAllSlices)->Unit(benchmark::kMillisecond)->UseRealTime();

const std::vector<std::string>& packFiles() {
    static std::vector<std::string> paths = [] {
        std::vector<std::string> out;
        const vivirov::test::Om2Writer w = vivirov::test::Om2Writer::random(1024, 4096, 64, 4096 * 1024 / 32, 1);
        for (int i = 0; i < kPacks; ++i) out.push_back(w.write(workDir() + "/up_L00_E" + std::to_string(i) + ".om2"));
        return out;
    }();
    return paths;
}

void BM_Om2Load(benchmark::State& state) {
    const auto& paths = packFiles();
    const double dd = directRate(paths);
    uint64_t bytes = 0;
    double seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (const auto& p : paths) dropCache(p);
        state.ResumeTiming();
        const auto t0 = std::chrono::steady_clock::now();
        for (const auto& p : paths) {
            vm::apex::Om2Pack pack;
            if (!vm::apex::load_om2_file_uncached(p, pack)) {
                state.SkipWithError("pack load failed");
                return;
            }
            bytes += pack.bytes() - 2 * (pack.U.size() + pack.V.size()) + 48; // file bytes
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    state.SetBytesProcessed(int64_t(bytes));
    state.counters["vs_dd"] = double(bytes) / seconds / dd;
}
BENCHMARK(BM_Om2Load)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
