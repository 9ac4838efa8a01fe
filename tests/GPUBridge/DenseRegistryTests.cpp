// The dense weight registry: zero-copy and owned entries, batch failures, the
// key cap, the fast-bench refusal, and handles that outlive re-registration.
#include "GpuTestSupport.h"
#include "engine/vm_gpu_bridge/gpu_device.h"
#include "tests/support/StderrCapture.h"
#include "vm_gpu.h"

#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace gputest;
using vivirov::test::StderrCapture;

namespace {

size_t page() { return size_t(sysconf(_SC_PAGESIZE)); }

size_t count_of(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

} // namespace

TEST(GpuDenseRegistry, AlignedDataIsWrappedAndOtherDataCopied) {
    REQUIRE_BRIDGE();
    PageBuffer aligned(2 * page());
    std::vector<uint8_t> loose(100, 7);
    DenseRegistration rs[] = {{"reg.aligned", aligned.data, 2 * page(), 8}, {"reg.loose", loose.data(), 100, 12}};
    StderrCapture err;
    EXPECT_EQ(vm_gpu_register_dense_batch(rs, 2), nullptr);
    EXPECT_EQ(err.text(), "[vmb] register_dense_batch: 2 tensors, 0.00 GiB total (1 zero-copy, 1 owned-copy)\n");
    EXPECT_EQ(vmb_persistent_contents(vm_gpu_dense_handle("reg.aligned")), aligned.data);
    void* copy = vm_gpu_dense_handle("reg.loose");
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(vmb_persistent_contents(copy), loose.data());
    EXPECT_EQ(std::memcmp(vmb_persistent_contents(copy), loose.data(), 100), 0);
}

TEST(GpuDenseRegistry, FailingRecordStopsTheBatch) {
    REQUIRE_BRIDGE();
    float w[4] = {1, 2, 3, 4};
    DenseRegistration rs[] = {{"batch.a", w, 16, 0}, {"batch.b", w, 8, 0}, {"batch.c", w, 0, 0}, {"batch.d", w, 16, 0}};
    StderrCapture err;
    EXPECT_STREQ(vm_gpu_register_dense_batch(rs, 4), "batch.c");
    EXPECT_EQ(err.text(), "[vmb] register_dense(batch.c): null key/data or zero nbytes — rejected\n"
                          "[vmb] register_dense_batch: FAILED on 'batch.c' (index 2 of 4)\n");
    EXPECT_NE(vm_gpu_dense_handle("batch.a"), nullptr);
    EXPECT_NE(vm_gpu_dense_handle("batch.b"), nullptr);
    EXPECT_EQ(vm_gpu_dense_handle("batch.d"), nullptr) << "records after the failure are not looked at";

    DenseRegistration null_key{nullptr, w, 16, 0};
    EXPECT_STREQ(vm_gpu_register_dense_batch(&null_key, 1), "(null key)");
    EXPECT_STREQ(vm_gpu_register_dense_batch(nullptr, 3), "(empty batch)");
    EXPECT_STREQ(vm_gpu_register_dense_batch(rs, 0), "(empty batch)");
    EXPECT_EQ(vm_gpu_dense_handle("never.registered"), nullptr);
    EXPECT_EQ(vm_gpu_dense_handle(nullptr), nullptr);
}

// Callers cache the borrowed handle: a re-registered key must not free the
// buffer a cached handle points at.
TEST(GpuDenseRegistry, ReRegistrationKeepsEarlierHandlesAlive) {
    REQUIRE_BRIDGE();
    float first[4] = {1, 2, 3, 4}, second[4] = {5, 6, 7, 8};
    void* old = vm_gpu_register_dense("rereg", first, 16, 0);
    ASSERT_NE(old, nullptr);
    DenseRegistration twice[] = {{"rereg", second, 16, 0}, {"rereg", first, 16, 0}};
    StderrCapture err;
    EXPECT_EQ(vm_gpu_register_dense_batch(twice, 2), nullptr);
    EXPECT_EQ(err.text(), "[vmb] register_dense_batch: 2 tensors, 0.00 GiB total (0 zero-copy, 2 owned-copy)\n");
    void* now = vm_gpu_dense_handle("rereg");
    EXPECT_NE(now, old);
    EXPECT_EQ(static_cast<float*>(vmb_persistent_contents(now))[0], 1.0f) << "the second record wins";
    // The old buffer still works as a product operand.
    std::vector<float> b(4, 1.0f);
    float c = 0;
    EXPECT_EQ(vm_gpu_matmul(old, 0, nullptr, nullptr, 0, b.data(), &c, 1, 4, 1), 1);
    EXPECT_EQ(c, 10.0f);
}

TEST(GpuDenseRegistry, ConcurrentRegistrationAndLookup) {
    REQUIRE_BRIDGE();
    StderrCapture quiet;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            float w[8] = {float(t)};
            for (int i = 0; i < 25; ++i) {
                std::string key = "conc." + std::to_string(t) + "." + std::to_string(i);
                EXPECT_NE(vm_gpu_register_dense(key.c_str(), w, 32, 0), nullptr);
                EXPECT_NE(vm_gpu_dense_handle(key.c_str()), nullptr);
            }
        });
    for (auto& th : threads) th.join();
}

TEST(GpuDenseRegistry, KeyCap) {
    EXPECT_IN_CHILD({
        ASSERT_EQ(vm_gpu_bridge_init(), 1);
        float w[4] = {1};
        std::vector<std::string> keys;
        for (int i = 0; i < 8192; ++i) keys.push_back("cap." + std::to_string(i));
        std::vector<DenseRegistration> rs;
        for (const auto& k : keys) rs.push_back({k.c_str(), w, 16, 0});
        StderrCapture err;
        ASSERT_EQ(vm_gpu_register_dense_batch(rs.data(), rs.size()), nullptr);
        EXPECT_NE(vm_gpu_register_dense("cap.17", w, 16, 0), nullptr) << "an existing key is replaced at the cap";
        EXPECT_EQ(vm_gpu_register_dense("cap.new", w, 16, 0), nullptr);
        EXPECT_NE(err.text().find("[vmb] register_dense(cap.new): cache at cap 8192 — rejected (would grow unbounded)\n"
                                  "[vmb] register_dense_batch: FAILED on 'cap.new' (index 0 of 1)\n"),
                  std::string::npos);
    });
}

TEST(GpuDenseRegistry, FastBenchRefusesLargeOwnedCopies) {
    EXPECT_IN_CHILD({
        setenv("VIVIROV_FAST_BENCH", "1", 1);
        std::vector<uint8_t> big(2 * 1048576 + 1), mib(1048576 + 1);
        StderrCapture err;
        EXPECT_EQ(vm_gpu_register_dense("fb.small", mib.data() + 1, 1048576, 8) != nullptr, true)
            << "1 MiB is still copied";
        for (int i = 0; i < 30; ++i)
            EXPECT_EQ(vm_gpu_register_dense(("fb." + std::to_string(i)).c_str(), big.data() + 1, 2 * 1048576, 8),
                      nullptr);
        const std::string text = err.text();
        EXPECT_EQ(count_of(text, "[FAST_BENCH] skip owned-copy Vulkan reg '"), 24u);
        EXPECT_NE(text.find("[FAST_BENCH] skip owned-copy Vulkan reg 'fb.0' 2.00 MiB (use CPU dequant)\n"),
                  std::string::npos);
        EXPECT_EQ(count_of(text, "FAILED on 'fb."), 30u);
    });
}
