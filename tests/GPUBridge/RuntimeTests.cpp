// Bridge runtime on the software Vulkan device: arena, buffers, batches,
// read-backs, shared events and the sanitiser.
#include "GpuTestSupport.h"
#include "engine/vm_gpu_bridge/gpu_bridge.h"
#include "tests/support/StderrCapture.h"
#include "vm_gpu.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>

using namespace gputest;
using vivirov::test::StderrCapture;

TEST(GpuRuntime, InitIsIdempotentAndLogsTheDeviceOnce) {
    REQUIRE_BRIDGE();
    StderrCapture err;
    EXPECT_EQ(vm_gpu_bridge_init(), 1);
    EXPECT_TRUE(vmb_fusion_available());
    EXPECT_EQ(err.text(), "");
}

TEST(GpuRuntime, ArenaSlotsAreAlignedAndBounded) {
    REQUIRE_BRIDGE();
    uint64_t a = 0, b = 0;
    vmb_arena_reset();
    ASSERT_TRUE(vmgpu::arena_slot(1, a));
    ASSERT_TRUE(vmgpu::arena_slot(1, b));
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(b, 256u);

    vmb_arena_reset();
    uint64_t off = 0;
    EXPECT_FALSE(vmgpu::arena_slot(vmgpu::kArenaBytes + 1, off));
    EXPECT_EQ(vmgpu::bridge().arena_offset, 0u) << "a refused slot leaves the offset";
    EXPECT_TRUE(vmgpu::arena_slot(vmgpu::kArenaBytes, off)) << "an exact fit succeeds";
    EXPECT_FALSE(vmgpu::arena_slot(1, off));
    vmb_arena_reset();
}

TEST(GpuRuntime, NoCopyWrapping) {
    REQUIRE_BRIDGE();
    const size_t pg = size_t(sysconf(_SC_PAGESIZE));
    PageBuffer mem(4 * pg);
    {
        StderrCapture err;
        EXPECT_EQ(vm_gpu_buffer_nocopy(nullptr, pg), nullptr);
        EXPECT_EQ(vm_gpu_buffer_nocopy(mem.data, 0), nullptr);
        EXPECT_EQ(err.text(), "");
    }
    {
        StderrCapture err;
        EXPECT_EQ(vm_gpu_buffer_nocopy(mem.data + 1, pg), nullptr);
        EXPECT_EQ(err.text(), "[vmb] nocopy: ptr/len not page-aligned (pg=" + std::to_string(pg) +
                                  ") — refusing (would not be zero-copy)\n");
    }
    void* buf = vm_gpu_buffer_nocopy(mem.data, 2 * pg);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(vmb_persistent_contents(buf), mem.data) << "the buffer is the caller's memory";
    vm_gpu_buffer_release(buf);
}

TEST(GpuRuntime, PersistentBuffersAndBreath) {
    REQUIRE_BRIDGE();
    StderrCapture err;
    EXPECT_EQ(vmb_persistent_alloc(0), nullptr);
    void* b = vmb_persistent_alloc(100);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(vmb_persistent_contents(b), nullptr);
    EXPECT_EQ(vmb_persistent_contents(nullptr), nullptr);
    vmb_persistent_free(b);
    vmb_persistent_free(nullptr);
    EXPECT_EQ(err.text(), "");

    vmb_set_ui_breath_us(9000);
    EXPECT_EQ(vmgpu::bridge().breath_us.load(), 8000u);
    vmb_set_ui_breath_us(0);
    EXPECT_EQ(vmgpu::bridge().breath_us.load(), 0u);
}

TEST(GpuRuntime, SanitiserClearsOnlyNonFiniteValues) {
    const float inf = std::numeric_limits<float>::infinity();
    float v[] = {1.0f, std::nanf(""), inf, -inf, -0.0f, 1e-40f};
    vmb_sanitize_f32(v, 6);
    EXPECT_EQ(v[0], 1.0f);
    for (int i = 1; i < 4; ++i) EXPECT_FALSE(std::signbit(v[i]) || v[i] != 0.0f) << i;
    EXPECT_TRUE(std::signbit(v[4]));
    EXPECT_EQ(v[5], 1e-40f);
    vmb_sanitize_f32(nullptr, 3);
}

TEST(GpuRuntime, BatchLifecycle) {
    REQUIRE_BRIDGE();
    EXPECT_EQ(vmb_command_buffer_handle(), nullptr);
    EXPECT_TRUE(vmb_command_buffer_commit_and_wait()) << "no batch: nothing to do";
    vmb_command_buffer_begin();
    void* first = vmb_command_buffer_handle();
    ASSERT_NE(first, nullptr);
    vmb_command_buffer_begin();
    EXPECT_EQ(vmb_command_buffer_handle(), first) << "a second begin keeps the batch";
    EXPECT_TRUE(vmb_command_buffer_commit_and_wait());
    EXPECT_EQ(vmb_command_buffer_handle(), nullptr);
}

// A read-back of a length that is not a multiple of 4 is copied as bytes;
// lengths of whole floats are sanitised.
TEST(GpuRuntime, DeferredReadBacksAreSanitisedOnlyAsFloats) {
    REQUIRE_BRIDGE();
    void* buf = vmb_persistent_alloc(16);
    ASSERT_NE(buf, nullptr);
    const uint32_t nan_bits = 0x7FC00000u;
    auto* host = static_cast<uint8_t*>(vmb_persistent_contents(buf));
    std::memcpy(host, &nan_bits, 4);
    std::memcpy(host + 4, &nan_bits, 4);
    uint8_t bytes[6] = {};
    float floats[2] = {1, 1};
    vmb_command_buffer_begin();
    auto* batch = static_cast<vmgpu::Batch*>(vmb_command_buffer_handle());
    batch->copies.push_back({bytes, static_cast<vmgpu::GpuBuffer*>(buf), 0, 6});
    batch->copies.push_back({floats, static_cast<vmgpu::GpuBuffer*>(buf), 0, 8});
    ASSERT_TRUE(vmb_command_buffer_commit_and_wait());
    EXPECT_EQ(std::memcmp(bytes, host, 6), 0) << "6 bytes copied unchanged";
    EXPECT_EQ(floats[0], 0.0f);
    EXPECT_EQ(floats[1], 0.0f);
    vmb_persistent_free(buf);
}

TEST(GpuRuntime, FenceSupportFollowsTheDeviceName) {
    REQUIRE_BRIDGE();
    StderrCapture err;
    vmgpu::apply_device_name("Apple M2 Max");
    vmb_command_buffer_begin();
    EXPECT_FALSE(vmb_supports_gpu_fences()) << "even inside a batch";
    vmb_command_buffer_commit_and_wait();
    vmgpu::apply_device_name("llvmpipe (LLVM 15.0.6, 256 bits)");
    EXPECT_TRUE(vmb_supports_gpu_fences());
    EXPECT_EQ(err.text(),
              "[vmb] Apple Silicon detected (\"Apple M2 Max\") — GPU semaphore waits DISABLED to avoid AGX driver "
              "panic; using CPU Handle::wait() fallback.\n"
              "[vmb] Non-Apple-Silicon GPU (\"llvmpipe (LLVM 15.0.6, 256 bits)\") — GPU semaphore waits ENABLED.\n");
}

TEST(GpuRuntime, NotifyBeforeAnyEventDoesNothing) {
    EXPECT_IN_CHILD({
        std::atomic<int> calls{0};
        auto fn = [](uint64_t, void* ctx) { static_cast<std::atomic<int>*>(ctx)->fetch_add(1); };
        int dummy = 0;
        vmb_shared_event_notify(&dummy, 1, fn, &calls); // no listener exists yet
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(calls.load(), 0);
    });
}

namespace {

struct Seen {
    std::mutex mu;
    std::vector<std::pair<uint64_t, std::string>> calls;
};

void record(uint64_t value, void* ctx) {
    auto* seen = static_cast<Seen*>(ctx);
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    std::lock_guard<std::mutex> lock(seen->mu);
    seen->calls.emplace_back(value, name);
}

bool wait_for_calls(Seen& seen, size_t n) {
    for (int i = 0; i < 2000; ++i) {
        {
            std::lock_guard<std::mutex> lock(seen.mu);
            if (seen.calls.size() >= n) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

} // namespace

TEST(GpuRuntime, SharedEventNotificationsRunOnTheListenerThread) {
    REQUIRE_BRIDGE();
    void* ev = vmb_shared_event_create();
    ASSERT_NE(ev, nullptr);
    Seen seen;
    vmb_shared_event_notify(ev, 2, record, &seen);
    vmb_shared_event_signal(ev, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        std::lock_guard<std::mutex> lock(seen.mu);
        EXPECT_TRUE(seen.calls.empty()) << "value 1 does not reach 2";
    }
    vmb_shared_event_signal(ev, 5);
    ASSERT_TRUE(wait_for_calls(seen, 1));
    vmb_shared_event_signal(ev, 3); // a timeline never goes back
    vmb_shared_event_notify(ev, 4, record, &seen);
    ASSERT_TRUE(wait_for_calls(seen, 2));
    std::lock_guard<std::mutex> lock(seen.mu);
    EXPECT_EQ(seen.calls[0].first, 5u) << "the value at notification time";
    EXPECT_EQ(seen.calls[0].second, "vm.uvm.event");
    EXPECT_EQ(seen.calls[1].first, 5u);
    vmb_shared_event_release(ev);
}

// Work after an encoded wait runs only once the CPU signals; the batch's own
// signal then wakes a notification.
TEST(GpuRuntime, EncodedWaitAndSignalOrderTheBatch) {
    REQUIRE_BRIDGE();
    void* gate = vmb_shared_event_create();
    void* done = vmb_shared_event_create();
    ASSERT_TRUE(gate && done);
    void* x = vmb_persistent_alloc(16);
    void* y = vmb_persistent_alloc(16);
    auto* xs = static_cast<float*>(vmb_persistent_contents(x));
    auto* ys = static_cast<float*>(vmb_persistent_contents(y));
    for (int i = 0; i < 4; ++i) {
        xs[i] = 1.0f;
        ys[i] = float(i);
    }
    Seen seen;
    vmb_shared_event_notify(done, 7, record, &seen);
    vmb_command_buffer_begin();
    vmb_command_buffer_encode_wait(nullptr, gate, 3);
    vmb_f_residual(x, 0, y, 0, 4);
    vmb_command_buffer_encode_signal(nullptr, done, 7);
    std::thread signaller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        vmb_shared_event_signal(gate, 3);
    });
    EXPECT_TRUE(vmb_command_buffer_commit_and_wait());
    signaller.join();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(xs[i], 1.0f + float(i));
    EXPECT_TRUE(wait_for_calls(seen, 1));
    vmb_persistent_free(x);
    vmb_persistent_free(y);
    vmb_shared_event_release(gate);
    vmb_shared_event_release(done);
}

TEST(GpuRuntime, RingRegistration) {
    EXPECT_IN_CHILD({
        const size_t pg = size_t(sysconf(_SC_PAGESIZE));
        std::vector<float> b(256, 1.0f), c(1, 4.0f);
        EXPECT_FALSE(vm_gpu_matmul_q_sg_batched_zc(kQ4_K, nullptr, 0, 144, b.data(), c.data(), 1, 256, 1))
            << "no buffer and no ring";
        PageBuffer ring(2 * pg);
        StderrCapture err;
        EXPECT_EQ(vmb_register_uvm_ring(ring.data + 16, pg), nullptr);
        EXPECT_EQ(err.text(), "[vmb] UVM ring not page-aligned (pg=" + std::to_string(pg) +
                                  ") — refusing zero-copy bind\n");
        void* first = vmb_register_uvm_ring(ring.data, pg);
        void* second = vmb_register_uvm_ring(ring.data, 2 * pg);
        ASSERT_TRUE(first && second);
        vm_gpu_buffer_release(first); // the bridge dropped its reference when replaced
        EXPECT_EQ(vmb_persistent_contents(second), ring.data);
        vm_gpu_buffer_release(second);
    });
}
