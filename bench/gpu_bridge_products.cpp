// GPU bridge products and a batched decode step beside the engine's CPU
// kernels on the same inputs, in one run: the ratio of each GPU line to its CPU
// line is the figure (a batched step on a real GPU should reach twice the CPU
// speed). On the software Vulkan device (VIVIROV_GPU_ALLOW_CPU=1) the GPU lines
// only prove the harness. Without a device the GPU lines are skipped.
//
//   gpu_bridge_products --benchmark_filter=Product   4096×4096 Q4_K, Q6_K, Q8_0; N 1, 8, 16
//   gpu_bridge_products --benchmark_filter=Step      Q8_0 stack, hidden 896, 24 layers
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/include/vm_gpu.h"
#include "engine/vm_cabi_v2/fused_q_kernels.h"
#include "engine/vm_cabi_v2/ggml_blocks.h"
#include "tests/support/RandomBlocks.h"

namespace {

constexpr uint32_t kRows = 4096, kCols = 4096;

// Weights held both in host memory (for the CPU kernels) and in a bridge buffer.
struct Weights {
    std::string host;
    void* gpu = nullptr;
    Weights(uint32_t type, uint64_t elements, uint32_t seed) : host(vivirov::test::randomBlocks(type, elements, seed)) {
        if (vm_gpu_bridge_init()) {
            gpu = vmb_persistent_alloc(host.size());
            if (gpu) std::memcpy(vmb_persistent_contents(gpu), host.data(), host.size());
        }
    }
    ~Weights() { vmb_persistent_free(gpu); }
    const uint8_t* bytes() const { return reinterpret_cast<const uint8_t*>(host.data()); }
};

Weights& weights_of(uint32_t type) {
    static std::unique_ptr<Weights> q4, q6, q8;
    auto& slot = type == vm::kGgmlQ4_K ? q4 : type == vm::kGgmlQ6_K ? q6 : q8;
    if (!slot) slot = std::make_unique<Weights>(type, uint64_t(kRows) * kCols, type);
    return *slot;
}

std::vector<float> random_activations(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-1, 1);
    std::vector<float> v(n);
    for (auto& x : v) x = d(rng);
    return v;
}

using GpuProduct = bool (*)(void*, size_t, const void*, size_t, void*, size_t, const float*, float*, uint32_t,
                            uint32_t, uint32_t);

GpuProduct gpu_product(uint32_t type) {
    return type == vm::kGgmlQ4_K ? vm_gpu_matmul_q4_k : type == vm::kGgmlQ6_K ? vm_gpu_matmul_q6_k : vm_gpu_matmul_q8_0;
}

void set_bytes(benchmark::State& state, uint32_t type) {
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(vm::ggml_row_bytes(type, kCols)) * kRows);
}

// args: GGML type, N (activation columns)
void BM_ProductGpu(benchmark::State& state) {
    const uint32_t type = uint32_t(state.range(0)), N = uint32_t(state.range(1));
    Weights& w = weights_of(type);
    if (!w.gpu) {
        state.SkipWithError("no Vulkan device");
        return;
    }
    // The bridge's B is K×N (activations as columns).
    std::vector<float> b = random_activations(size_t(kCols) * N, 1), c(size_t(kRows) * N);
    for (auto _ : state)
        if (!gpu_product(type)(w.gpu, 0, nullptr, 0, nullptr, 0, b.data(), c.data(), kRows, kCols, N))
            state.SkipWithError("GPU product failed");
    set_bytes(state, type);
}

void BM_ProductCpu(benchmark::State& state) {
    const uint32_t type = uint32_t(state.range(0)), N = uint32_t(state.range(1));
    Weights& w = weights_of(type);
    // The CPU kernels take N activation rows of K.
    std::vector<float> x = random_activations(size_t(kCols) * N, 1), y(size_t(kRows) * N);
    for (auto _ : state) {
        bool ok = N == 1 ? vm::apex::fused_q_gemv_det(type, w.bytes(), kRows, kCols, x.data(), y.data(), 64)
                         : vm::apex::fused_q_gemm_det(type, w.bytes(), kRows, kCols, x.data(), int32_t(N), y.data(),
                                                      64, -1, 0);
        if (!ok) state.SkipWithError("CPU product failed");
    }
    set_bytes(state, type);
}

void product_args(benchmark::internal::Benchmark* b) {
    for (int type : {int(vm::kGgmlQ4_K), int(vm::kGgmlQ6_K), int(vm::kGgmlQ8_0)})
        for (int n : {1, 8, 16}) b->Args({type, n});
    b->ArgNames({"type", "N"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

// ---- a decode step of a Q8_0 stack: hidden 896, 14 query and 2 key/value
// heads of 64, feed-forward 4864, 24 layers, a 32768-row output, 32 cached
// positions ----

constexpr uint32_t H = 896, HEADS = 14, KVH = 2, HD = 64, KV = KVH * HD, F = 4864, LAYERS = 24, VOCAB = 32768;
constexpr uint32_t POS = 31, CTX = 32;

struct Mat {
    uint32_t rows, cols;
    uint64_t off;
};

struct Stack {
    std::string weights;
    std::vector<Mat> layer_mats; // q, k, v, o, gate, up, down per layer
    Mat out;
    void* gpu_weights = nullptr;
    void* act = nullptr;    // activations and norms, float
    void* caches = nullptr; // K and V caches of every layer

    Stack() {
        std::mt19937 rng(7);
        auto add = [&](uint32_t rows, uint32_t cols) {
            Mat m{rows, cols, weights.size()};
            weights += vivirov::test::randomBlocks(vm::kGgmlQ8_0, uint64_t(rows) * cols, rng);
            return m;
        };
        for (uint32_t l = 0; l < LAYERS; ++l)
            for (auto [r, c] : {std::pair{H, H}, {KV, H}, {KV, H}, {H, H}, {F, H}, {F, H}, {H, F}})
                layer_mats.push_back(add(r, c));
        out = add(VOCAB, H);
        if (!vm_gpu_bridge_init()) return;
        gpu_weights = vm_gpu_register_dense("bench.q8_stack", weights.data(), weights.size(), vm::kGgmlQ8_0);
        act = vmb_persistent_alloc(64 * 1024 * 4 + VOCAB * 4);
        caches = vmb_persistent_alloc(size_t(LAYERS) * 2 * CTX * KV * 4);
        if (act) {
            std::vector<float> init = random_activations(64 * 1024, 3);
            std::memcpy(vmb_persistent_contents(act), init.data(), init.size() * 4);
        }
        if (caches) {
            std::vector<float> kv = random_activations(size_t(LAYERS) * 2 * CTX * KV, 4);
            std::memcpy(vmb_persistent_contents(caches), kv.data(), kv.size() * 4);
        }
    }
};

Stack& stack() {
    static Stack s;
    return s;
}

// Float offsets of the step's vectors inside `act`.
enum : size_t { X = 0, HN = 1024, Q = 2048, KT = 3072, VT = 3328, ATT = 4096, O = 5120, G = 8192, U = 16384,
                A = 24576, D = 32768, NORM = 36864, BIAS = 40960, LOGITS = 65536, BEST = 65536 + VOCAB };

void BM_StepGpu(benchmark::State& state) {
    Stack& s = stack();
    if (!s.gpu_weights || !s.act || !s.caches) {
        state.SkipWithError("no Vulkan device");
        return;
    }
    void* a = s.act;
    auto at = [](size_t f) { return f * 4; };
    auto mm = [&](const Mat& m, size_t in, size_t out) {
        vmb_f_matmul(vm::kGgmlQ8_0, s.gpu_weights, m.off, a, at(in), a, at(out), m.rows, m.cols, 1);
    };
    for (auto _ : state) {
        vmb_arena_reset();
        vmb_command_buffer_begin();
        for (uint32_t l = 0; l < LAYERS; ++l) {
            const Mat* m = &s.layer_mats[size_t(l) * 7];
            const size_t kc = size_t(l) * 2 * CTX * KV * 4, vc = kc + size_t(CTX) * KV * 4;
            vmb_f_rmsnorm(a, at(X), a, at(NORM), a, at(HN), H, 1e-6f);
            vmb_barrier();
            mm(m[0], HN, Q);
            mm(m[1], HN, KT);
            mm(m[2], HN, VT);
            vmb_barrier();
            vmb_f_rope(a, at(Q), a, at(BIAS), 1, a, at(Q), HEADS, HD, POS, 1000000.0f);
            vmb_f_rope(a, at(KT), a, at(BIAS), 1, s.caches, kc + size_t(POS) * KV * 4, KVH, HD, POS, 1000000.0f);
            vmb_f_addbias(a, at(VT), a, at(BIAS), 1, s.caches, vc + size_t(POS) * KV * 4, KV);
            vmb_barrier();
            vmb_f_attention(a, at(Q), s.caches, kc, s.caches, vc, a, at(ATT), CTX, HD, KV, HEADS / KVH, HEADS);
            vmb_barrier();
            mm(m[3], ATT, O);
            vmb_barrier();
            vmb_f_residual(a, at(X), a, at(O), H);
            vmb_barrier();
            vmb_f_rmsnorm(a, at(X), a, at(NORM), a, at(HN), H, 1e-6f);
            vmb_barrier();
            mm(m[4], HN, G);
            mm(m[5], HN, U);
            vmb_barrier();
            vmb_f_silu(a, at(G), a, at(U), a, at(A), F);
            vmb_barrier();
            mm(m[6], A, D);
            vmb_barrier();
            vmb_f_residual(a, at(X), a, at(D), H);
            vmb_barrier();
        }
        vmb_f_rmsnorm(a, at(X), a, at(NORM), a, at(HN), H, 1e-6f);
        vmb_barrier();
        mm(s.out, HN, LOGITS);
        vmb_barrier();
        vmb_f_argmax(a, at(LOGITS), a, at(BEST), VOCAB);
        if (!vmb_command_buffer_commit_and_wait()) state.SkipWithError("batch failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.weights.size()));
}

// The same step's products on the CPU kernels; the step's other operations
// are a few hundred thousand flops beside them and are left out.
void BM_StepCpu(benchmark::State& state) {
    Stack& s = stack();
    std::vector<float> x = random_activations(F, 5), y(VOCAB);
    const auto* w = reinterpret_cast<const uint8_t*>(s.weights.data());
    for (auto _ : state) {
        for (const Mat& m : s.layer_mats)
            vm::apex::fused_q_gemv_det(vm::kGgmlQ8_0, w + m.off, int32_t(m.rows), int32_t(m.cols), x.data(), y.data(),
                                       64);
        vm::apex::fused_q_gemv_det(vm::kGgmlQ8_0, w + s.out.off, int32_t(s.out.rows), int32_t(s.out.cols), x.data(),
                                   y.data(), 64);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.weights.size()));
}

} // namespace

BENCHMARK(BM_ProductCpu)->Apply(product_args);
BENCHMARK(BM_ProductGpu)->Apply(product_args);
BENCHMARK(BM_StepCpu)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StepGpu)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
