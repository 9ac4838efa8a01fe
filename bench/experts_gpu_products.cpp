// One routed expert's up projection (Q4_K, 1024 × 2048) multiplied by the
// GPU in place from its ring slot, beside the CPU product of the same bytes
// (fused_q_gemv_det on the process-wide pool) measured in the same run; the
// "gpu_over_cpu" counter is the time ratio. On lavapipe (run with
// VIVIROV_GPU_ALLOW_CPU=1) the figure only proves the harness; without a
// device the GPU benchmark is skipped.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/include/vm_gpu.h"
#include "engine/vm_cabi/gguf_model.h"
#include "engine/vm_cabi_v2/fused_q_kernels.h"
#include "engine/vm_cabi_v2/uvm_pipeline.h"
#include "tests/support/GGUFWriter.h"
#include "tests/support/RandomBlocks.h"

namespace {

constexpr uint64_t kEmbd = 2048, kFf = 1024;
constexpr int kExperts = 2;
using Clock = std::chrono::steady_clock;

struct Setup {
    std::string dir, path;
    GGUFModel model;
    std::unique_ptr<vm::UvmPipeline> uvm;
    vm::StagedSlice slice;
    std::vector<float> x = std::vector<float>(kEmbd), y = std::vector<float>(kFf);

    Setup() {
        char tmpl[] = "/tmp/vivirov-bench-XXXXXX";
        dir = mkdtemp(tmpl);
        path = dir + "/experts.gguf";
        const std::string fused = vivirov::test::randomBlocks(12, kEmbd * kFf * kExperts, 7);
        vivirov::test::GGUFWriter w;
        w.u32("deepseek4.block_count", 1);
        for (const char* n : {"up", "gate"})
            w.tensor(std::string("blk.0.ffn_") + n + "_exps.weight", {kEmbd, kFf, kExperts}, 12, fused);
        w.tensor("blk.0.ffn_down_exps.weight", {kFf, kEmbd, kExperts}, 12, fused);
        w.write(path);
        setenv("VIVIROV_UVM_RING_MB", "64", 1);
        model.open(path);
        uvm = std::make_unique<vm::UvmPipeline>(model, path, 1);
        uvm->register_layer_tensors(0, model, kEmbd, kFf);
        slice = uvm->stage_expert(0, vm::kProjUp, 1);
        slice.ready.get();
        for (size_t i = 0; i < x.size(); ++i) x[i] = float(int(i * 2654435761u % 2001) - 1000) * 1e-3f;
    }
    ~Setup() {
        uvm.reset();
        std::filesystem::remove_all(dir);
    }

    bool gpu() {
        vmb_arena_reset();
        vmb_command_buffer_begin();
        const bool ok = vm_gpu_matmul_q_sg_batched_zc(12, uvm->ring_buffer(), slice.ring_offset, slice.bytes, x.data(),
                                                      y.data(), kFf, kEmbd, 1);
        return vmb_command_buffer_commit_and_wait() && ok;
    }
    bool cpu() {
        return vm::apex::fused_q_gemv_det(12, static_cast<const uint8_t*>(slice.host), kFf, kEmbd, x.data(), y.data(),
                                          64);
    }
};

Setup& setup() {
    static Setup s;
    return s;
}

template <class Fn>
double secondsPerCall(Fn&& fn, int reps) {
    const auto t0 = Clock::now();
    for (int i = 0; i < reps; ++i) fn();
    return std::chrono::duration<double>(Clock::now() - t0).count() / reps;
}

void BM_CpuExpertProduct(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) benchmark::DoNotOptimize(s.cpu());
}

void BM_GpuExpertProductInPlace(benchmark::State& state) {
    Setup& s = setup();
    if (!s.uvm->ring_buffer() || !s.gpu()) {
        state.SkipWithError("no GPU device (lavapipe needs VIVIROV_GPU_ALLOW_CPU=1)");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(s.gpu());
    double g = 0, c = 0;
    for (int round = 0; round < 3; ++round) {
        g += secondsPerCall([&] { s.gpu(); }, 10);
        c += secondsPerCall([&] { s.cpu(); }, 10);
    }
    state.counters["gpu_over_cpu"] = g / c;
}

} // namespace

BENCHMARK(BM_CpuExpertProduct)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GpuExpertProductInPlace)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
