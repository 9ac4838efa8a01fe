// Every product route against the dequantise-then-double-dot reference on the
// same inputs, path counters, and the products' edge cases.
#include "GpuTestSupport.h"
#include "engine/vm_gpu_bridge/gpu_bridge.h"
#include "tests/support/StderrCapture.h"
#include "vm_gpu.h"

#include <cmath>
#include <cstring>
#include <functional>
#include <string>

using namespace gputest;
using vivirov::test::StderrCapture;

namespace {

using TypedProduct = bool (*)(void*, size_t, const void*, size_t, void*, size_t, const float*, float*, uint32_t,
                              uint32_t, uint32_t);

TypedProduct typed(uint32_t type) {
    switch (type) {
    case kQ4_K: return vm_gpu_matmul_q4_k;
    case kQ6_K: return vm_gpu_matmul_q6_k;
    case kQ8_0: return vm_gpu_matmul_q8_0;
    default: return vm_gpu_matmul_q5_0;
    }
}

struct Stats {
    uint64_t hits = 0, misses = 0;
    static Stats now() {
        Stats s;
        vmb_sg_stats(&s.hits, &s.misses);
        return s;
    }
    Stats since(const Stats& before) const { return {hits - before.hits, misses - before.misses}; }
};

// A persistent buffer holding `bytes` at byte offset `off`.
void* buffer_with(const void* bytes, size_t n, size_t off) {
    void* b = vmb_persistent_alloc(off + n + 16);
    std::memcpy(static_cast<uint8_t*>(vmb_persistent_contents(b)) + off, bytes, n);
    return b;
}

// One product case: random weights and activations and their reference.
struct Case {
    uint32_t type, M, K, N;
    std::vector<uint8_t> a;
    std::vector<float> b;
    Reference ref;
    Case(uint32_t type_, uint32_t M_, uint32_t K_, uint32_t N_, uint32_t seed) : type(type_), M(M_), K(K_), N(N_) {
        std::mt19937 rng(seed);
        a = random_rows(type, M, K, rng);
        b = random_floats(size_t(K) * N, rng);
        ref = reference_product(dequantise(type, a.data(), M, K), b.data(), M, K, N);
    }
    std::string name() const {
        return "type " + std::to_string(type) + " M " + std::to_string(M) + " N " + std::to_string(N);
    }
};

const uint32_t kTypes[] = {kQ4_K, kQ6_K, kQ8_0, kQ5_0};
const uint32_t kNs[] = {1, 7, 8, 9, 16, 17};
const uint32_t kMs[] = {1, 13};

uint32_t k_for(uint32_t type) { return type == kQ4_K || type == kQ6_K ? 512 : 96; }

} // namespace

// Host operands, synchronous and inside a batch: the routes the typed entry
// points choose (fused lane, two-pass, row-tiled, per-element).
TEST(GpuQuantProducts, TypedProductsMatchTheReference) {
    REQUIRE_BRIDGE();
    for (uint32_t type : kTypes)
        for (uint32_t M : kMs)
            for (uint32_t N : kNs) {
                Case cs(type, M, k_for(type), N, type * 100 + M * 10 + N);
                SCOPED_TRACE(cs.name());
                std::vector<float> c(size_t(M) * N, -1.0f);
                ASSERT_TRUE(typed(type)(nullptr, 0, cs.a.data(), cs.a.size(), nullptr, 0, cs.b.data(), c.data(), M,
                                        cs.K, N));
                expect_matches(cs.ref, c.data(), M, N, "synchronous");

                std::vector<float> cb(size_t(M) * N, -1.0f);
                vmb_arena_reset();
                vmb_command_buffer_begin();
                ASSERT_TRUE(typed(type)(nullptr, 0, cs.a.data(), cs.a.size(), nullptr, 0, cs.b.data(), cb.data(), M,
                                        cs.K, N));
                EXPECT_EQ(cb[0], -1.0f) << "nothing is read back before the commit";
                ASSERT_TRUE(vmb_command_buffer_commit_and_wait());
                expect_matches(cs.ref, cb.data(), M, N, "batched");
            }
}

// Buffer operands at unaligned offsets (a Q8_0 block is 34 bytes, a Q4_K
// block 144): the binding is rounded down and the rest passed to the kernel.
TEST(GpuQuantProducts, BufferOperandsAtByteOffsets) {
    REQUIRE_BRIDGE();
    for (uint32_t type : kTypes)
        for (uint32_t N : {1u, 9u, 17u}) {
            Case cs(type, 13, k_for(type), N, 7 + type + N);
            SCOPED_TRACE(cs.name());
            const size_t a_off = type == kQ8_0 ? 34 : 144;
            // Weights as the engine hands them over: a registered dense buffer.
            std::vector<uint8_t> padded(a_off, 0);
            padded.insert(padded.end(), cs.a.begin(), cs.a.end());
            const std::string key = "offsets." + cs.name();
            void* a = vm_gpu_register_dense(key.c_str(), padded.data(), padded.size(), type);
            ASSERT_NE(a, nullptr);
            void* b = buffer_with(cs.b.data(), cs.b.size() * 4, 144);
            std::vector<float> c(size_t(cs.M) * N);
            // Weights in a buffer, activations on the host: the tile paths read A in place.
            ASSERT_TRUE(typed(type)(a, a_off, nullptr, 0, nullptr, 0, cs.b.data(), c.data(), cs.M, cs.K, N));
            expect_matches(cs.ref, c.data(), cs.M, N, "A buffer");
            // Activations in a buffer: row-tiled or per-element kernels.
            std::fill(c.begin(), c.end(), 0.0f);
            ASSERT_TRUE(typed(type)(a, a_off, nullptr, 0, b, 144, nullptr, c.data(), cs.M, cs.K, N));
            expect_matches(cs.ref, c.data(), cs.M, N, "A and B buffers");
            // The dense path's in-batch product, all operands buffers.
            void* y = vmb_persistent_alloc(size_t(cs.M) * N * 4 + 16);
            vmb_arena_reset();
            vmb_command_buffer_begin();
            ASSERT_TRUE(vmb_f_matmul(type, a, a_off, b, 144, y, 16, cs.M, cs.K, N));
            ASSERT_TRUE(vmb_command_buffer_commit_and_wait());
            expect_matches(cs.ref, static_cast<float*>(vmb_persistent_contents(y)) + 4, cs.M, N, "vmb_f_matmul");
            for (void* p : {b, y}) vmb_persistent_free(p);
        }
}

// The expert block's tile products: synchronous, batched from the host, and
// in place from a buffer or the registered ring.
TEST(GpuQuantProducts, TileProductsMatchTheReference) {
    REQUIRE_BRIDGE();
    const size_t pg = size_t(sysconf(_SC_PAGESIZE));
    for (uint32_t type : {kQ4_K, kQ6_K, kQ8_0})
        for (uint32_t N : {1u, 8u, 17u}) {
            Case cs(type, 13, k_for(type) * (type == kQ8_0 ? 1 : 1), N, 99 + type + N);
            SCOPED_TRACE(cs.name());
            std::vector<float> c(size_t(cs.M) * N);
            ASSERT_TRUE(vm_gpu_matmul_q_sg(type, cs.a.data(), cs.a.size(), cs.b.data(), c.data(), cs.M, cs.K, N));
            expect_matches(cs.ref, c.data(), cs.M, N, "q_sg");

            PageBuffer ring((cs.a.size() + 34 + pg) / pg * pg);
            std::memcpy(ring.data + 34, cs.a.data(), cs.a.size());
            void* rb = vmb_register_uvm_ring(ring.data, ring.size);
            ASSERT_NE(rb, nullptr);
            std::vector<float> cb(size_t(cs.M) * N), cz(size_t(cs.M) * N);
            vmb_arena_reset();
            vmb_command_buffer_begin();
            bool batched = vm_gpu_matmul_q_sg_batched(type, cs.a.data(), cs.a.size(), cs.b.data(), cb.data(), cs.M,
                                                      cs.K, N);
            bool zc = vm_gpu_matmul_q_sg_batched_zc(type, nullptr, 34, cs.a.size(), cs.b.data(), cz.data(), cs.M,
                                                    cs.K, N);
            ASSERT_TRUE(vmb_command_buffer_commit_and_wait());
            EXPECT_TRUE(batched);
            EXPECT_TRUE(zc);
            expect_matches(cs.ref, cb.data(), cs.M, N, "q_sg_batched");
            expect_matches(cs.ref, cz.data(), cs.M, N, "q_sg_batched_zc over the ring");
            // No batch open: the ring is read through its CPU address, synchronously.
            std::fill(cz.begin(), cz.end(), 0.0f);
            ASSERT_TRUE(vm_gpu_matmul_q_sg_batched_zc(type, nullptr, 34, cs.a.size(), cs.b.data(), cz.data(), cs.M,
                                                      cs.K, N));
            expect_matches(cs.ref, cz.data(), cs.M, N, "q_sg_batched_zc, no batch");
            vm_gpu_buffer_release(rb);
        }
}

TEST(GpuQuantProducts, Float32TiledProduct) {
    REQUIRE_BRIDGE();
    std::mt19937 rng(5);
    const uint32_t M = 13, K = 37, N = 9;
    auto a = random_floats(size_t(M) * K, rng), b = random_floats(size_t(K) * N, rng);
    Reference ref = reference_product(a, b.data(), M, K, N);
    std::vector<float> c(size_t(M) * N);
    vmb_command_buffer_begin();
    ASSERT_EQ(vm_gpu_matmul(nullptr, 0, a.data(), nullptr, 0, b.data(), c.data(), M, K, N), 1);
    expect_matches(ref, c.data(), M, N, "with a batch open, at once");
    vmb_command_buffer_commit_and_wait();
    void* ab = buffer_with(a.data(), a.size() * 4, 32);
    std::fill(c.begin(), c.end(), 0.0f);
    ASSERT_EQ(vm_gpu_matmul(ab, 32, nullptr, nullptr, 0, b.data(), c.data(), M, K, N), 1);
    expect_matches(ref, c.data(), M, N, "A buffer");
    EXPECT_EQ(vm_gpu_matmul(ab, 32, nullptr, nullptr, 0, b.data(), c.data(), M, K, 0), 0);
    EXPECT_EQ(vm_gpu_matmul(ab, 34, nullptr, nullptr, 0, b.data(), c.data(), M, K, N), 0) << "float offset not 4-aligned";
    vmb_persistent_free(ab);
}

TEST(GpuQuantProducts, PathCounters) {
    REQUIRE_BRIDGE();
    Case q4(kQ4_K, 13, 256, 12, 1);
    void* b = buffer_with(q4.b.data(), q4.b.size() * 4, 0);
    std::vector<float> c(size_t(13) * 12);

    Stats before = Stats::now();
    ASSERT_TRUE(vm_gpu_matmul_q4_k(nullptr, 0, q4.a.data(), q4.a.size(), b, 0, nullptr, c.data(), 13, 256, 12));
    Stats d = Stats::now().since(before);
    EXPECT_EQ(d.hits, 0u) << "B as a buffer: no tile attempt";
    EXPECT_EQ(d.misses, 1u);
    expect_matches(q4.ref, c.data(), 13, 12, "row-tiled");

    before = Stats::now();
    ASSERT_TRUE(vm_gpu_matmul_q4_k(nullptr, 0, q4.a.data(), q4.a.size(), nullptr, 0, q4.b.data(), c.data(), 13, 256, 12));
    d = Stats::now().since(before);
    EXPECT_EQ(d.hits, 1u);
    EXPECT_EQ(d.misses, 0u);

    Case q8(kQ8_0, 2, 64, 8, 2);
    before = Stats::now();
    EXPECT_FALSE(vm_gpu_matmul_q8_0(nullptr, 0, q8.a.data(), q8.a.size(), nullptr, 0, q8.b.data(), c.data(), 2, 48, 8))
        << "K not a multiple of 32";
    Case q5(kQ5_0, 2, 64, 8, 3);
    ASSERT_TRUE(vm_gpu_matmul_q5_0(nullptr, 0, q5.a.data(), q5.a.size(), nullptr, 0, q5.b.data(), c.data(), 2, 64, 8));
    expect_matches(q5.ref, c.data(), 2, 8, "q5_0");
    // The expert block's direct tile products count nothing.
    ASSERT_TRUE(vm_gpu_matmul_q_sg(kQ4_K, q4.a.data(), q4.a.size(), q4.b.data(), c.data(), 13, 256, 12));
    d = Stats::now().since(before);
    EXPECT_EQ(d.hits, 0u);
    EXPECT_EQ(d.misses, 0u);

    vmb_command_buffer_begin();
    before = Stats::now();
    EXPECT_FALSE(vmb_f_matmul(13, b, 0, b, 0, b, 0, 1, 256, 1)) << "Q5_K has no kernel";
    EXPECT_TRUE(vmb_f_matmul(kQ6_K, b, 0, b, 0, b, 0, 1, 256, 1));
    d = Stats::now().since(before);
    EXPECT_EQ(d.hits, 1u) << "the tile form";
    vmb_command_buffer_commit_and_wait();
    vmb_persistent_free(b);

    uint64_t misses = 12345;
    vmb_sg_stats(nullptr, &misses);
    EXPECT_NE(misses, 12345u);
    vmb_sg_stats(nullptr, nullptr);
}

TEST(GpuQuantProducts, BatchedResultsAreSanitisedAtTheCommit) {
    REQUIRE_BRIDGE();
    Case cs(kQ8_0, 1, 32, 1, 4);
    const uint16_t nan_half = 0x7E00;
    std::memcpy(cs.a.data(), &nan_half, 2);
    void* b = buffer_with(cs.b.data(), cs.b.size() * 4, 0);
    float c = 42.0f;
    vmb_arena_reset();
    vmb_command_buffer_begin();
    ASSERT_TRUE(vm_gpu_matmul_q8_0(nullptr, 0, cs.a.data(), cs.a.size(), b, 0, nullptr, &c, 1, 32, 1));
    EXPECT_EQ(c, 42.0f);
    ASSERT_TRUE(vmb_command_buffer_commit_and_wait());
    EXPECT_EQ(c, 0.0f) << "NaN from the GPU reads as 0";
    vmb_persistent_free(b);
}

TEST(GpuQuantProducts, SynchronousProductsSurviveAFullArena) {
    REQUIRE_BRIDGE();
    Case cs(kQ4_K, 13, 256, 9, 6);
    uint64_t off;
    vmb_arena_reset();
    ASSERT_TRUE(vmgpu::arena_slot(vmgpu::kArenaBytes, off));
    std::vector<float> c(size_t(13) * 9);
    ASSERT_TRUE(vm_gpu_matmul_q4_k(nullptr, 0, cs.a.data(), cs.a.size(), nullptr, 0, cs.b.data(), c.data(), 13, 256, 9));
    expect_matches(cs.ref, c.data(), 13, 9, "full arena");
    // A batched tile product needs the arena: it refuses and queues nothing.
    vmb_command_buffer_begin();
    std::fill(c.begin(), c.end(), 7.0f);
    EXPECT_FALSE(vm_gpu_matmul_q_sg_batched(kQ6_K, cs.a.data(), cs.a.size(), cs.b.data(), c.data(), 13, 256, 9));
    ASSERT_TRUE(vmb_command_buffer_commit_and_wait());
    EXPECT_EQ(c[0], 7.0f);
    vmb_arena_reset();
}

TEST(GpuQuantProducts, OperandPastTheBindingLimitIsRefused) {
    REQUIRE_BRIDGE();
    const uint64_t limit = vmgpu::bridge().dev.max_binding;
    if (limit >= (uint64_t(1) << 31)) GTEST_SKIP() << "binding limit too large to exceed here";
    // Q8_0 rows whose bytes exceed one binding: M·(K/32)·34 > limit.
    const uint32_t K = 4096, M = uint32_t(limit / (K / 32 * 34)) + 1;
    void* a = vmb_persistent_alloc(size_t(M) * (K / 32) * 34);
    ASSERT_NE(a, nullptr);
    std::vector<float> b(K, 1.0f), c(M, 3.0f);
    EXPECT_FALSE(vm_gpu_matmul_q8_0(a, 0, nullptr, 0, nullptr, 0, b.data(), c.data(), M, K, 1));
    EXPECT_EQ(c[0], 3.0f);
    vmb_persistent_free(a);
}

// A failed submission never reads as success.
TEST(GpuQuantProducts, FailedSubmissionsAreReported) {
    REQUIRE_BRIDGE();
    Case cs(kQ5_0, 3, 64, 2, 8);
    std::vector<float> c(6, 5.0f);
    vmgpu::fail_submissions_for_testing(1, false);
    EXPECT_FALSE(vm_gpu_matmul_q5_0(nullptr, 0, cs.a.data(), cs.a.size(), nullptr, 0, cs.b.data(), c.data(), 3, 64, 2));
    EXPECT_EQ(c[0], 5.0f);

    float x[3] = {1, 0.1f, -2};
    uint32_t nnz = 99;
    vmgpu::fail_submissions_for_testing(1, false);
    EXPECT_FALSE(vm_gpu_teal_threshold(x, 3, 0.5f, &nnz));
    EXPECT_EQ(nnz, 99u);
    EXPECT_EQ(x[1], 0.1f);

    std::vector<float> f(4, 1.0f);
    vmgpu::fail_submissions_for_testing(1, false);
    EXPECT_EQ(vm_gpu_matmul(nullptr, 0, f.data(), nullptr, 0, f.data(), c.data(), 2, 2, 2), 0);

    vmb_arena_reset();
    vmb_command_buffer_begin();
    ASSERT_TRUE(vm_gpu_matmul_q5_0(nullptr, 0, cs.a.data(), cs.a.size(), nullptr, 0, cs.b.data(), c.data(), 3, 64, 2));
    vmgpu::fail_submissions_for_testing(1, false);
    EXPECT_FALSE(vmb_command_buffer_commit_and_wait()) << "the owner recomputes on the CPU";
    EXPECT_EQ(c[0], 5.0f) << "no read-back after a failed batch";
    EXPECT_EQ(vmb_command_buffer_handle(), nullptr);

    ASSERT_TRUE(vm_gpu_matmul_q5_0(nullptr, 0, cs.a.data(), cs.a.size(), nullptr, 0, cs.b.data(), c.data(), 3, 64, 2));
    expect_matches(cs.ref, c.data(), 3, 2, "after a transient failure");
}

TEST(GpuQuantProducts, LostDeviceMakesTheBridgeUnavailable) {
    EXPECT_IN_CHILD({
        Case cs(kQ4_K, 2, 256, 8, 9);
        std::vector<float> c(16, 5.0f);
        ASSERT_EQ(vm_gpu_bridge_init(), 1);
        StderrCapture err;
        vmgpu::fail_submissions_for_testing(100, true);
        EXPECT_FALSE(vm_gpu_matmul_q4_k(nullptr, 0, cs.a.data(), cs.a.size(), nullptr, 0, cs.b.data(), c.data(), 2, 256, 8));
        EXPECT_EQ(c[0], 5.0f);
        EXPECT_EQ(vm_gpu_bridge_init(), 0);
        EXPECT_FALSE(vmb_fusion_available());
        vmb_command_buffer_begin();
        EXPECT_EQ(vmb_command_buffer_handle(), nullptr);
        EXPECT_NE(err.text().find("[vmb] Vulkan device lost"), std::string::npos) << err.text();
    });
}

TEST(GpuQuantProducts, SmallNSwitchOff) {
    EXPECT_IN_CHILD({
        setenv("VIVIROV_GPU_N1", "0", 1);
        Case cs(kQ4_K, 13, 256, 1, 10);
        std::vector<float> c(13);
        Stats before = Stats::now();
        EXPECT_TRUE(vm_gpu_matmul_q4_k(nullptr, 0, cs.a.data(), cs.a.size(), nullptr, 0, cs.b.data(), c.data(), 13, 256, 1));
        Stats d = Stats::now().since(before);
        EXPECT_EQ(d.hits, 0u);
        EXPECT_EQ(d.misses, 1u);
        expect_matches(cs.ref, c.data(), 13, 1, "row-tiled");
        // The batched two-pass form does not consult the switch.
        void* a = buffer_with(cs.a.data(), cs.a.size(), 0);
        vmb_arena_reset();
        vmb_command_buffer_begin();
        EXPECT_TRUE(vm_gpu_matmul_q_sg_batched_zc(kQ4_K, a, 0, cs.a.size(), cs.b.data(), c.data(), 13, 256, 1));
        EXPECT_TRUE(vmb_command_buffer_commit_and_wait());
        expect_matches(cs.ref, c.data(), 13, 1, "batched two-pass");
        Case q8(kQ8_0, 3, 64, 2, 11);
        before = Stats::now();
        EXPECT_TRUE(vm_gpu_matmul_q8_0(nullptr, 0, q8.a.data(), q8.a.size(), nullptr, 0, q8.b.data(), c.data(), 3, 64, 2));
        EXPECT_EQ(Stats::now().since(before).misses, 0u) << "Q8_0 goes straight to its kernel";
    });
}

TEST(GpuQuantProducts, FusedLaneSwitchOff) {
    EXPECT_IN_CHILD({
        setenv("VIVIROV_FUSED_LANE", "0", 1);
        StderrCapture err;
        ASSERT_EQ(vm_gpu_bridge_init(), 1);
        EXPECT_NE(err.text().find("[vmb] HOLY_GRAIL fused_q4k_lane=YES fused_q8_lane=YES (VIVIROV_FUSED_LANE opt-out=0)\n"),
                  std::string::npos);
        for (uint32_t type : {kQ4_K, kQ8_0}) {
            Case cs(type, 13, k_for(type), 8, 12 + type);
            std::vector<float> c(13 * 8);
            EXPECT_TRUE(vm_gpu_matmul_q_sg(type, cs.a.data(), cs.a.size(), cs.b.data(), c.data(), 13, cs.K, 8));
            expect_matches(cs.ref, c.data(), 13, 8, "two-pass");
        }
        Case q8(kQ8_0, 13, 64, 8, 13);
        std::vector<float> c(13 * 8);
        vmb_arena_reset();
        vmb_command_buffer_begin();
        EXPECT_FALSE(vm_gpu_matmul_q_sg_batched(kQ8_0, q8.a.data(), q8.a.size(), q8.b.data(), c.data(), 13, 64, 8))
            << "Q8_0 has no batched two-pass form";
        EXPECT_TRUE(vm_gpu_matmul_q8_0(nullptr, 0, q8.a.data(), q8.a.size(), nullptr, 0, q8.b.data(), c.data(), 13, 64, 8));
        EXPECT_TRUE(vmb_command_buffer_commit_and_wait());
        expect_matches(q8.ref, c.data(), 13, 8, "per-element in the batch");
    });
}
