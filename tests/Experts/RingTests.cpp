// The wired expert ring on the tiny DeepSeek-V4 model with fused experts in
// one and three shards: staged bytes equal the file's slices, hits, the
// back-pressure reclaim, a truncated shard latching the fault, the slot
// allocator's FIFO rules, the ring-size switch, and strict wiring refused in
// a child process without the lock capability.
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <future>
#include <iostream>

#include "engine/vm_cabi/gguf_model.h"
#include "engine/vm_cabi_v2/dequant.h"
#include "engine/vm_cabi_v2/fused_q_kernels.h"
#include "engine/vm_cabi_v2/tile_rings.h"
#include "engine/vm_cabi_v2/uvm_pipeline.h"
#include "engine/include/vm_gpu.h"
#include "tests/support/ChildTest.h"
#include "tests/support/DeepSeekV4Fixture.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TempDir.h"

using namespace vm;
using vivirov::test::DeepSeekV4Model;
using vivirov::test::DeepSeekV4Options;
using vivirov::test::StderrCapture;
using vivirov::test::TempDir;

namespace {

const char* const kProjNames[3] = {"ffn_up_exps", "ffn_gate_exps", "ffn_down_exps"};

// Sets the ring size for pipelines built in this scope.
struct RingMb {
    explicit RingMb(const char* mb) { setenv("VIVIROV_UVM_RING_MB", mb, 1); }
    ~RingMb() { unsetenv("VIVIROV_UVM_RING_MB"); }
};

struct Fixture {
    TempDir dir;
    DeepSeekV4Model written;
    GGUFModel model;
    std::unique_ptr<UvmPipeline> uvm;
    int layers = 0;

    Fixture(int shards, const char* ringMb, bool experts = true) {
        DeepSeekV4Options o;
        o.shards = shards;
        o.withExperts = experts;
        written = vivirov::test::writeDeepSeekV4Model(dir.path(), "f3", o);
        model.open(written.path());
        layers = o.shape.nLayer;
        RingMb ring(ringMb);
        uvm = std::make_unique<UvmPipeline>(model, written.path(), layers);
        for (int il = 0; il < layers; ++il) uvm->register_layer_tensors(il, model, o.shape.nEmbd, o.shape.nFfExp);
    }

    std::string fileSlice(int layer, int proj, int expert) const {
        const auto& t = written.tensors.at("blk." + std::to_string(layer) + "." + kProjNames[proj] + ".weight");
        const size_t each = t.bytes.size() / 8;
        return t.bytes.substr(size_t(expert) * each, each);
    }
};

} // namespace

class RingShards : public ::testing::TestWithParam<int> {};

TEST_P(RingShards, StagedSlicesEqualTheFileAndHitsReturnTheSamePlace) {
    // 1 MiB holds about 60 slices of 17 KiB: staging all 96 needs reclaims.
    Fixture f(GetParam(), "1");
    EXPECT_EQ(f.uvm->allocator().capacity(), 1048576u);
    for (int il = 0; il < f.layers; ++il)
        for (int p = 0; p < 3; ++p)
            for (int e = 0; e < 8; ++e) {
                StagedSlice s = f.uvm->stage_expert(il, ExpertProj(p), e);
                ASSERT_TRUE(s.ok) << il << " " << p << " " << e;
                s.ready.get();
                EXPECT_GE(s.fence->value(), s.wait_value);
                const std::string want = f.fileSlice(il, p, e);
                ASSERT_EQ(s.bytes, want.size());
                ASSERT_EQ(std::memcmp(s.host, want.data(), want.size()), 0) << il << " " << p << " " << e;
                EXPECT_EQ(s.signal_value, s.wait_value + 1);
                f.uvm->signal_done(s.signal_value);
            }
    EXPECT_LE(f.uvm->allocator().in_use(), f.uvm->allocator().capacity());

    const StagedSlice first = f.uvm->stage_expert(3, kProjDown, 7);
    f.uvm->signal_done(first.signal_value);
    const StagedSlice hit = f.uvm->stage_expert(3, kProjDown, 7);
    EXPECT_TRUE(hit.ok);
    EXPECT_EQ(hit.host, first.host);
    EXPECT_EQ(hit.wait_value, 0u);
    EXPECT_EQ(hit.signal_value, 0u);
    f.uvm->unpin(hit);

    f.uvm->flush_all();
    EXPECT_EQ(f.uvm->cache_size(), 0u);
    EXPECT_EQ(f.uvm->allocator().in_use(), 0u);
    f.uvm->flush_all(); // idle: nothing to release
    EXPECT_EQ(f.uvm->cache_size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(OneAndThree, RingShards, ::testing::Values(1, 3));

TEST(Ring, ReclaimWaitsForTheOldestSlotToFinish) {
    Fixture f(1, "4");
    const StagedSlice a = f.uvm->stage_expert(0, kProjUp, 0);
    const StagedSlice b = f.uvm->stage_expert(0, kProjUp, 1);
    ASSERT_TRUE(a.ok && b.ok);
    EXPECT_FALSE(f.uvm->reclaim_oldest_retained_()); // both still in use
    f.uvm->signal_done(a.signal_value);
    EXPECT_EQ(f.uvm->retained_count(), 1u);
    EXPECT_TRUE(f.uvm->reclaim_oldest_retained_());
    EXPECT_FALSE(f.uvm->reclaim_oldest_retained_()); // b is the oldest now, still in use
    // The reclaimed slice is gone from the cache: staging it again reads it anew.
    const StagedSlice again = f.uvm->stage_expert(0, kProjUp, 0);
    EXPECT_NE(again.wait_value, 0u);
}

TEST(Ring, EachStageHasItsOwnFenceAndRetiresOnlyOnItsOwnCompletion) {
    Fixture f(1, "4");
    const StagedSlice a = f.uvm->stage_expert(1, kProjUp, 0);
    const StagedSlice b = f.uvm->stage_expert(1, kProjUp, 1);
    ASSERT_TRUE(a.ok && b.ok);
    a.ready.wait();
    b.ready.wait();
    ASSERT_NE(a.fence, b.fence);
    // b finishing first neither raises a's fence nor retires a.
    f.uvm->signal_done(b.signal_value);
    EXPECT_EQ(a.fence->value(), a.wait_value);
    EXPECT_EQ(f.uvm->inflight_count(), 1u);
    EXPECT_EQ(f.uvm->retained_count(), 1u);
    EXPECT_FALSE(f.uvm->reclaim_oldest_retained_()); // the oldest, a, is still in use
    f.uvm->on_gpu_done_(b.signal_value + 100);        // no stage of that value: nothing moves
    EXPECT_EQ(f.uvm->inflight_count(), 1u);
    f.uvm->signal_done(a.signal_value);
    EXPECT_TRUE(f.uvm->reclaim_oldest_retained_());
    EXPECT_TRUE(f.uvm->reclaim_oldest_retained_());
    EXPECT_EQ(f.uvm->allocator().in_use(), 0u);
}

TEST(Ring, PrefetchStagesOnceAndStagingThenFindsTheSlice) {
    Fixture f(3, "4");
    f.uvm->enqueue_expert_prefetch(2, kProjDown, 5);
    ASSERT_TRUE(f.uvm->is_staged(2, kProjDown, 5));
    const uint64_t used = f.uvm->allocator().in_use();
    f.uvm->enqueue_expert_prefetch(2, kProjDown, 5);
    EXPECT_EQ(f.uvm->allocator().in_use(), used);
    const StagedSlice s = f.uvm->stage_expert(2, kProjDown, 5); // waits for the prefetch's read
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.wait_value, 0u);
    const std::string want = f.fileSlice(2, 2, 5);
    EXPECT_EQ(std::memcmp(s.host, want.data(), want.size()), 0);
    // Nobody else finishes a prefetched stage: its first user does.
    ASSERT_NE(s.signal_value, 0u);
    EXPECT_EQ(f.uvm->inflight_count(), 1u);
    f.uvm->signal_done(s.signal_value);
    EXPECT_EQ(f.uvm->inflight_count(), 0u);
    // A hit on the finished stage holds its slot until it is let go.
    const StagedSlice pinned = f.uvm->stage_expert(2, kProjDown, 5);
    EXPECT_EQ(pinned.signal_value, 0u);
    EXPECT_TRUE(pinned.pinned);
    EXPECT_FALSE(f.uvm->reclaim_oldest_retained_());
    f.uvm->unpin(pinned);

    // A guess nobody takes does not hold the slots after it.
    f.uvm->enqueue_expert_prefetch(3, kProjUp, 1);
    const StagedSlice taken = f.uvm->stage_expert(3, kProjUp, 2);
    f.uvm->signal_done(taken.signal_value);
    EXPECT_TRUE(f.uvm->reclaim_oldest_retained_()); // (2, down, 5), finished
    EXPECT_TRUE(f.uvm->reclaim_oldest_retained_()); // the untaken guess
    EXPECT_FALSE(f.uvm->is_staged(3, kProjUp, 1));
    EXPECT_TRUE(f.uvm->reclaim_oldest_retained_());
    EXPECT_EQ(f.uvm->allocator().in_use(), 0u);
    EXPECT_EQ(f.uvm->inflight_count(), 0u);

}

TEST(Ring, PressureReliefReclaimsFrom85DownTo70Percent) {
    Fixture f(1, "1");
    const uint64_t cap = f.uvm->allocator().capacity();
    int e = 0, layer = 0, proj = 0;
    auto next = [&] {
        const StagedSlice s = f.uvm->stage_expert(layer, ExpertProj(proj), e);
        EXPECT_TRUE(s.ok);
        s.ready.wait();
        f.uvm->signal_done(s.signal_value);
        if (++e == 8) e = 0, proj = (proj + 1) % 3, layer += proj == 0;
        return s.bytes;
    };
    uint64_t slice = 0;
    while (f.uvm->allocator().in_use() < uint64_t(double(cap) * 0.85)) slice = next();
    EXPECT_EQ(f.uvm->retained_count(), f.uvm->cache_size());
    next(); // at 85 %: finished slots go back, oldest first, down to 70 %
    const uint64_t used = f.uvm->allocator().in_use();
    EXPECT_LE(used, uint64_t(double(cap) * 0.70) + 2 * ((slice + 63) / 64 * 64));
    EXPECT_GT(used, uint64_t(double(cap) * 0.60));
    EXPECT_FALSE(f.uvm->is_staged(0, kProjUp, 0)); // the oldest went first
}

TEST(Ring, ReadAccumulatorTakesPiecesAndFailsShortOrOverlongReads) {
    std::atomic<bool> fault{false};
    std::vector<uint8_t> slot(10, 0);
    const uint8_t piece[6] = {1, 2, 3, 4, 5, 6};
    {
        auto fence = std::make_shared<SliceEvent>();
        VMNVMePager::Acc acc(slot.data(), 10, fence, 7, &fault);
        acc.deliver(piece, 6);
        acc.deliver(slot.data() + 6, 4); // read in place: counted, not copied
        acc.finish(0);
        EXPECT_NO_THROW(acc.future().get());
        EXPECT_EQ(fence->value(), 7u);
        EXPECT_EQ(slot[5], 6);
        EXPECT_FALSE(fault.load());
    }
    struct Case {
        const char* name;
        std::vector<size_t> pieces;
        int error;
        const char* what;
    } cases[] = {
        {"short", {6}, 0, "VMNVMe: dispatch_io short read"},
        {"overlong", {6, 6}, 0, "VMNVMe: dispatch_io short read"},
        {"error", {6}, EIO, "VMNVMe: dispatch_io_read error"},
    };
    for (const Case& c : cases) {
        fault = false;
        auto fence = std::make_shared<SliceEvent>();
        VMNVMePager::Acc acc(slot.data(), 10, fence, 3, &fault);
        for (size_t n : c.pieces) acc.deliver(piece, n);
        acc.finish(c.error);
        acc.finish(0); // a second end changes nothing
        EXPECT_EQ(fence->value(), 3u) << c.name;
        EXPECT_TRUE(fault.load()) << c.name;
        try {
            acc.future().get();
            ADD_FAILURE() << c.name;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.what);
        }
    }
    // After another read failed, a complete read is not trusted either.
    auto fence = std::make_shared<SliceEvent>();
    VMNVMePager::Acc acc(slot.data(), 6, fence, 1, &fault);
    acc.deliver(piece, 6);
    acc.finish(0);
    EXPECT_THROW(acc.future().get(), std::future_error);
}

TEST(Ring, TeardownWaitsForReadsStillInFlight) {
    Fixture f(3, "4");
    std::vector<std::shared_future<void>> pending;
    for (int e = 0; e < 8; ++e)
        for (int p = 0; p < 3; ++p) pending.push_back(f.uvm->stage_expert(2, ExpertProj(p), e).ready);
    f.uvm.reset(); // the ring goes only after every read has landed
    for (auto& r : pending) EXPECT_NO_THROW(r.get());
}

TEST(Ring, TruncatedShardLatchesTheFaultAndStillRaisesTheEvent) {
    Fixture f(1, "4");
    // Cut the file inside the last layer's down experts.
    const GGUFTensor* down = f.model.find("blk.3.ffn_down_exps.weight");
    const off_t cut = off_t(down->data - f.model.shards[0]->base) + 100;
    ASSERT_EQ(truncate(f.written.path().c_str(), cut), 0);

    StagedSlice ok = f.uvm->stage_expert(0, kProjUp, 0);
    ok.ready.get();
    StagedSlice bad = f.uvm->stage_expert(3, kProjDown, 0);
    ASSERT_TRUE(bad.ok); // staged; the read fails
    try {
        bad.ready.get();
        ADD_FAILURE() << "a short read fulfilled its future";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "VMNVMe: dispatch_io short read");
    }
    EXPECT_TRUE(f.uvm->pager().fault());
    f.uvm->enqueue_expert_prefetch(1, kProjUp, 3); // a failed pager stages nothing more
    EXPECT_FALSE(f.uvm->is_staged(1, kProjUp, 3));
    EXPECT_GE(bad.fence->value(), bad.wait_value); // nobody waits on it forever

    StderrCapture err;
    EXPECT_FALSE(f.uvm->stage_expert(1, kProjUp, 2).ok);
    EXPECT_NE(err.text().find("[UVM] stage_expert(1,0,2): pager_fault tripped — aborting stage (refusing to "
                              "dispatch GPU on uninitialized wired memory)\n"),
              std::string::npos);
}

TEST(Ring, RegistrationReportsMissingTensorsAndUnknownTypes) {
    StderrCapture err;
    Fixture core(1, "1", /*experts=*/false);
    EXPECT_NE(err.text().find("[UVM] layer 0: missing ffn_{up,gate,down}_exps.weight — skipping.\n"),
              std::string::npos);
    EXPECT_FALSE(core.uvm->stage_expert(0, kProjUp, 0).ok);
    EXPECT_NE(err.text().find("[VMUVM] slot request 0 B does not fit ring capacity 1048576 B\n"), std::string::npos);
    EXPECT_NE(err.text().find("[VMNVMe] slot alloc failed (0 B)\n"), std::string::npos);

    // A tensor of a type outside the block table registers with 0-byte slices.
    Fixture f(1, "1");
    GGUFTensor odd = *f.model.find("blk.0.ffn_up_exps.weight");
    odd.type = 26;
    VMNVMePager pager(f.model, f.written.path(), f.uvm->allocator(), 1, 4);
    pager.register_layer_tensors(0, &odd, &odd, &odd, 256, 64, 64, 256);
    EXPECT_TRUE(pager.reg(0, kProjUp).registered);
    EXPECT_EQ(pager.reg(0, kProjUp).slice_bytes, 0u);
    EXPECT_EQ(vm_block_bytes(8), 34);
    EXPECT_EQ(vm_block_bytes(26), 0);
}

TEST(RingAllocator, FifoFillerAndDoubleFreeRules) {
    VMUVMAllocator a(1000, UvmPipeline::kWiredCeiling);
    EXPECT_EQ(a.capacity(), 1024u);
    size_t off = 99;
    void* s1 = a.allocate_expert_slot(400, &off); // 448 after rounding
    EXPECT_EQ(off, 0u);
    void* s2 = a.allocate_expert_slot(300, &off); // 320, at 448
    EXPECT_EQ(off, 448u);
    {
        StderrCapture err;
        a.release_expert_slot(s2);
        EXPECT_NE(err.text().find("[VMUVM] FIFO violation: released "), std::string::npos);
    }
    EXPECT_EQ(a.in_use(), 768u);
    a.release_expert_slot(s1); // the older slot is still the next to go
    EXPECT_EQ(a.in_use(), 320u);
    // 400 does not fit between 768 and the end but fits at the start.
    void* s3 = a.allocate_expert_slot(400, &off);
    EXPECT_EQ(off, 0u);
    EXPECT_EQ(s3, a.base());
    EXPECT_EQ(a.in_use(), 320u + 256u + 448u); // the 256-byte tail is a filler
    a.release_expert_slot(s2);
    a.release_expert_slot(s3);
    EXPECT_EQ(a.in_use(), 0u);
    StderrCapture err;
    a.release_expert_slot(s3);
    EXPECT_NE(err.text().find("[VMUVM] release with no outstanding slot — double free?\n"), std::string::npos);
    EXPECT_EQ(a.allocate_expert_slot(2000, nullptr), nullptr);
    EXPECT_NE(err.text().find("[VMUVM] slot request 2048 B does not fit ring capacity 1024 B\n"), std::string::npos);
}

TEST(RingAllocator, ARingAboveTheWiredCeilingFailsConstruction) {
    StderrCapture err;
    EXPECT_THROW(VMUVMAllocator(2 << 20, 1 << 20), UvmSetupError);
    EXPECT_NE(err.text().find("[FATAL] VMUVMAllocator capacity 0.00 GiB exceeds the 0.00 GiB wired ceiling — "
                              "refusing to construct (would risk the 18 GiB budget).\n"),
              std::string::npos);
}

TEST(RingAllocator, AFullRingFailsAfterABoundedWaitAndWakesOnRelease) {
    VMUVMAllocator a(1024, UvmPipeline::kWiredCeiling);
    a.set_slot_wait_ms(50);
    void* s1 = a.allocate_expert_slot(1024, nullptr);
    ASSERT_NE(s1, nullptr);
    EXPECT_EQ(a.allocate_expert_slot(64, nullptr), nullptr);

    a.set_slot_wait_ms(60000);
    EXPECT_EQ(a.allocate_expert_slot(64, nullptr, /*wait=*/false), nullptr); // a prefetch's request: at once
    auto waiter = std::async(std::launch::async, [&] { return a.allocate_expert_slot(512, nullptr); });
    a.release_expert_slot(s1);
    EXPECT_EQ(waiter.get(), a.base());
}

TEST(Ring, RingSizeSwitchTable) {
    struct Case {
        const char* mb;
        const char* fast;
        uint64_t bytes;
    };
    const Case cases[] = {{"0", nullptr, 8589934592ULL},    {"9000", nullptr, 8589934592ULL},
                          {"abc", nullptr, 8589934592ULL},  {"8192", nullptr, 8589934592ULL},
                          {"1", nullptr, 1048576ULL},       {nullptr, "1", 536870912ULL},
                          {nullptr, "0", 8589934592ULL},    {"2", "1", 2097152ULL}};
    for (const Case& c : cases) {
        c.mb ? setenv("VIVIROV_UVM_RING_MB", c.mb, 1) : unsetenv("VIVIROV_UVM_RING_MB");
        c.fast ? setenv("VIVIROV_FAST_BENCH", c.fast, 1) : unsetenv("VIVIROV_FAST_BENCH");
        EXPECT_EQ(UvmPipeline::ring_bytes_from_env(), c.bytes) << (c.mb ? c.mb : "-") << " " << (c.fast ? c.fast : "-");
    }
    unsetenv("VIVIROV_UVM_RING_MB");
    unsetenv("VIVIROV_FAST_BENCH");
}

TEST(Ring, TileRingIsCappedAt256MiB) {
    StderrCapture err;
    vm::vezev::VezevTileRing ring(4, 20000000);
    EXPECT_EQ(ring.slot_floats, 16777216u);
    EXPECT_NE(err.text().find("[vezev] VezevTileRing capped: slots=4 slot_floats=16777216 (~256.0 MiB)\n"),
              std::string::npos);
    EXPECT_EQ(ring.take().data, ring.base);
    EXPECT_EQ(ring.take().data, ring.base + 16777216);
}

// In the child: the ring on a GPU device (lavapipe), registered with the
// bridge, its reads and completions through the bridge's shared event.
TEST(RingChild, OnTheGpuBridge) {
    if (!vivirov::test::isChildTest("RingChild.OnTheGpuBridge")) GTEST_SKIP() << "runs in a child process";
    Fixture f(3, "1");
    std::cout << "ring buffer " << (f.uvm->ring_buffer() ? "registered" : "missing") << std::endl;
    ASSERT_TRUE(f.uvm->gpu_fences());
    for (int e = 0; e < 8; ++e) {
        StagedSlice s = f.uvm->stage_expert(1, kProjGate, e);
        ASSERT_TRUE(s.ok);
        ASSERT_NE(s.fence->gpu_handle(), nullptr);
        s.ready.get();
        const std::string want = f.fileSlice(1, 1, e);
        ASSERT_EQ(std::memcmp(s.host, want.data(), want.size()), 0);
        f.uvm->signal_done(s.signal_value);
    }
    // Completions arrive on the bridge's listener thread.
    for (int i = 0; i < 500 && f.uvm->retained_count() < 8; ++i) usleep(10000);
    std::cout << "retained " << f.uvm->retained_count() << std::endl;
    StagedSlice pending = f.uvm->stage_expert(2, kProjUp, 0);
    ASSERT_TRUE(pending.ok);
    f.uvm.reset(); // a completion never signalled must not outlive the pipeline
    std::cout << "torn down" << std::endl;
}

TEST(Ring, OnAGpuDeviceTheRingIsRegisteredAndCompletionsComeFromTheBridge) {
    auto r = vivirov::test::runChildTest("RingChild.OnTheGpuBridge", {{"VIVIROV_GPU_ALLOW_CPU", "1"}});
    ASSERT_TRUE(r.succeeded()) << r.stdoutData << r.stderrData;
    EXPECT_NE(r.stdoutData.find("ring buffer registered"), std::string::npos) << r.stdoutData;
    EXPECT_NE(r.stdoutData.find("retained 8"), std::string::npos) << r.stdoutData;
    EXPECT_NE(r.stdoutData.find("torn down"), std::string::npos);
}

// In the child: Q8_0 and Q4_K up slices multiplied in place from the ring
// by the GPU, which waits for each slice's read-done and raises its
// GPU-done; compared with the CPU product of the same bytes.
TEST(RingChild, InPlaceProducts) {
    if (!vivirov::test::isChildTest("RingChild.InPlaceProducts")) GTEST_SKIP() << "runs in a child process";
    for (uint32_t type : {8u, 12u}) {
        TempDir dir;
        DeepSeekV4Options o;
        o.expertType = type;
        const auto written = vivirov::test::writeDeepSeekV4Model(dir.path(), "t" + std::to_string(type), o);
        GGUFModel model;
        model.open(written.path());
        RingMb ring("2");
        UvmPipeline uvm(model, written.path(), o.shape.nLayer);
        for (int il = 0; il < o.shape.nLayer; ++il) uvm.register_layer_tensors(il, model, o.shape.nEmbd, o.shape.nFfExp);
        ASSERT_TRUE(uvm.gpu_fences() && uvm.ring_buffer());
        const int K = o.shape.nEmbd, M = o.shape.nFfExp;
        std::vector<float> x(static_cast<size_t>(K));
        for (int i = 0; i < K; ++i) x[size_t(i)] = float((i * 37) % 19) * 0.1f - 0.9f;
        for (int e : {1, 6}) {
            const StagedSlice s = uvm.stage_expert(2, kProjUp, e); // the read may still be running
            ASSERT_TRUE(s.ok);
            std::vector<float> gpu(size_t(M), 0.0f), cpu(static_cast<size_t>(M)), w(size_t(M) * size_t(K));
            vmb_arena_reset();
            vmb_command_buffer_begin();
            if (vmb_supports_gpu_fences()) vmb_command_buffer_encode_wait(nullptr, s.fence->gpu_handle(), s.wait_value);
            ASSERT_TRUE(vm_gpu_matmul_q_sg_batched_zc(type, uvm.ring_buffer(), s.ring_offset, s.bytes, x.data(),
                                                      gpu.data(), uint32_t(M), uint32_t(K), 1));
            vmb_command_buffer_encode_signal(nullptr, s.fence->gpu_handle(), s.signal_value);
            ASSERT_TRUE(vmb_command_buffer_commit_and_wait());
            s.ready.get();
            ASSERT_TRUE(vm::apex::fused_q_gemv(type, static_cast<const uint8_t*>(s.host), M, K, x.data(), cpu.data()));
            ASSERT_TRUE(vm::dequant_tensor(type, static_cast<const uint8_t*>(s.host), w.data(), w.size()));
            for (int r = 0; r < M; ++r) {
                double mag = 0;
                for (int k = 0; k < K; ++k) mag += std::fabs(double(w[size_t(r * K + k)]) * x[size_t(k)]);
                ASSERT_NEAR(gpu[size_t(r)], cpu[size_t(r)], 1e-5 * mag + 1e-7) << type << " row " << r;
            }
        }
        for (int i = 0; i < 500 && uvm.retained_count() < 2; ++i) usleep(10000);
        std::cout << "type " << type << " retained " << uvm.retained_count() << std::endl;
    }
}

TEST(Ring, GpuMultipliesQ8AndQ4KSlicesInPlaceAfterTheirReads) {
    auto r = vivirov::test::runChildTest("RingChild.InPlaceProducts", {{"VIVIROV_GPU_ALLOW_CPU", "1"}});
    ASSERT_TRUE(r.succeeded()) << r.stdoutData << r.stderrData;
    EXPECT_NE(r.stdoutData.find("type 8 retained 2"), std::string::npos) << r.stdoutData;
    EXPECT_NE(r.stdoutData.find("type 12 retained 2"), std::string::npos) << r.stdoutData;
}

// In the child: no lock capability and a 64 KiB lock limit, then a 1 MiB ring.
TEST(RingChild, StrictWiring) {
    if (!vivirov::test::isChildTest("RingChild.StrictWiring")) GTEST_SKIP() << "runs in a child process";
    struct rlimit lim {65536, 65536};
    ASSERT_EQ(setrlimit(RLIMIT_MEMLOCK, &lim), 0);
    __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    ASSERT_EQ(syscall(SYS_capget, &hdr, data), 0);
    data[CAP_IPC_LOCK / 32].effective &= ~(1u << (CAP_IPC_LOCK % 32));
    ASSERT_EQ(syscall(SYS_capset, &hdr, data), 0);
    try {
        VMUVMAllocator a(1048576, UvmPipeline::kWiredCeiling);
        std::cout << (a.wired() ? "wired" : "unwired") << std::endl;
    } catch (const UvmSetupError& e) {
        std::cout << "refused: " << e.what() << std::endl;
    }
}

TEST(Ring, StrictWiringRefusedFailsConstructionWithTheBanner) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer runtime turns mlock into a no-op";
#endif
    auto strict = vivirov::test::runChildTest("RingChild.StrictWiring", {}, {"VIVIROV_SKIP_MLOCK"});
    ASSERT_TRUE(strict.succeeded()) << strict.stderrData;
    EXPECT_NE(strict.stdoutData.find("refused: LockedArena: mlock refused (ENOMEM) under strict_wire"),
              std::string::npos)
        << strict.stdoutData;
    EXPECT_NE(strict.stderrData.find("PHYSICAL MEMORY SATURATION — mlock() DENIED"), std::string::npos);
    EXPECT_NE(strict.stderrData.find("errno=12 (ENOMEM)"), std::string::npos);
    EXPECT_NE(strict.stderrData.find("0.00 GiB\x1b[0m (1048576 bytes)"), std::string::npos);

    auto skip = vivirov::test::runChildTest("RingChild.StrictWiring", {{"VIVIROV_SKIP_MLOCK", "1"}});
    ASSERT_TRUE(skip.succeeded()) << skip.stderrData;
    EXPECT_NE(skip.stdoutData.find("unwired"), std::string::npos);
    EXPECT_NE(skip.stderrData.find("[WARN] VMUVMAllocator: ring unwired (VIVIROV_SKIP_MLOCK=1) mlock errno=12 — TPS "
                                   "measurement only; not production-safe.\n"),
              std::string::npos);
}

TEST(Ring, SaturationBannerIsAFramedBlockOf76Columns) {
    const std::string b = saturation_banner(EAGAIN, 8589934592ULL);
    EXPECT_NE(b.find("errno=11 (EAGAIN)"), std::string::npos);
    EXPECT_NE(b.find("\x1b[1;36m8.00 GiB\x1b[0m (8589934592 bytes)"), std::string::npos);
    EXPECT_NE(b.find("Linux physical RAM is saturated"), std::string::npos);
    // Every framed line is 76 columns wide once colours are removed.
    std::string plain;
    for (size_t i = 0; i < b.size(); ++i) {
        if (b[i] == '\x1b') {
            while (b[i] != 'm') ++i;
            continue;
        }
        plain += b[i];
    }
    size_t start = 1, lines = 0;
    while (start < plain.size()) {
        const size_t end = plain.find('\n', start);
        const std::string line = plain.substr(start, end - start);
        if (!line.empty()) {
            size_t cols = 0;
            for (unsigned char c : line) cols += (c & 0xC0) != 0x80;
            EXPECT_EQ(cols, 76u) << line;
            ++lines;
        }
        start = end + 1;
    }
    EXPECT_EQ(lines, 15u);
}
