// Whole-blob transfers and the engine's per-agent KV pager on a real file,
// with interrupted, busy, short and failed calls scripted through the I/O seam.
#include "ScriptedBlobIo.h"
#include "engine/vm_v2/swarm_kv_pager.h"
#include "tests/support/TempDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <numeric>
#include <vector>

using swarmtest::IoStep;
using swarmtest::ScriptedBlobIo;

namespace {

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 7);
    return v;
}

int open_file(const vivirov::test::TempDir& dir, off_t size) {
    int fd = ::open(dir.file("kv.swap").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ftruncate(fd, size), 0);
    return fd;
}

} // namespace

TEST(BlobTransfer, RetriesInterruptedAndBusyCallsAndContinuesShortOnes) {
    vivirov::test::TempDir dir;
    int fd = open_file(dir, 4096);
    ScriptedBlobIo io;
    io.script({{EINTR}, {EAGAIN}, {EAGAIN}, {0, false, 100}, {EAGAIN}, {EINTR}});
    auto out = pattern(1000, 3);
    ASSERT_TRUE(swarm::transfer_all(io, swarm::Transfer::Write, fd, out.data(), out.size(), 512));
    EXPECT_EQ(io.sleeps, (std::vector<uint32_t>{100, 200, 100})) << "the busy count restarts after progress";

    std::vector<uint8_t> in(1000);
    io.script({{0, false, 1}, {EINTR}, {0, false, 999}});
    ASSERT_TRUE(swarm::transfer_all(io, swarm::Transfer::Read, fd, in.data(), in.size(), 512));
    EXPECT_EQ(in, out);
    ::close(fd);
}

TEST(BlobTransfer, FailsOnErrorsEndOfFileAndEndlessBusy) {
    vivirov::test::TempDir dir;
    int fd = open_file(dir, 4096);
    auto buf = pattern(64, 1);
    struct Case {
        const char* name;
        std::vector<IoStep> steps;
        size_t sleeps;
    };
    std::vector<IoStep> busy65(65, IoStep{EAGAIN}), busy64(64, IoStep{EAGAIN});
    Case cases[] = {
        {"other error", {{EIO}}, 0},
        {"zero bytes moved", {{0, true}}, 0},
        {"65th busy answer", busy65, 64},
    };
    for (auto& c : cases) {
        ScriptedBlobIo io;
        io.script(c.steps);
        EXPECT_FALSE(swarm::transfer_all(io, swarm::Transfer::Write, fd, buf.data(), buf.size(), 0)) << c.name;
        EXPECT_EQ(io.sleeps.size(), c.sleeps) << c.name;
    }
    ScriptedBlobIo io;
    io.script(busy64);
    EXPECT_TRUE(swarm::transfer_all(io, swarm::Transfer::Write, fd, buf.data(), buf.size(), 0)) << "64 busy answers";
    EXPECT_EQ(io.sleeps.back(), 6400u);
    ::close(fd);
}

TEST(SwarmKVPager, RoundTripsEachAgentsSlot) {
    vivirov::test::TempDir dir;
    const uint64_t slot = 4096;
    ScriptedBlobIo io;
    vm::SwarmKVPager pager(open_file(dir, off_t(slot * 3)), slot, 3, io);
    auto a0 = pattern(4096, 10), a2 = pattern(1500, 77);
    EXPECT_EQ(pager.page_out(0, a0.data(), a0.size()), 0);
    io.script({{EINTR}, {EAGAIN}, {0, false, 10}});
    EXPECT_EQ(pager.page_out(2, a2.data(), a2.size()), 0);
    std::vector<uint8_t> back0(4096), back2(1500);
    EXPECT_EQ(pager.page_in(2, back2.data(), back2.size()), 0);
    EXPECT_EQ(pager.page_in(0, back0.data(), back0.size()), 0);
    EXPECT_EQ(back0, a0);
    EXPECT_EQ(back2, a2) << "agent 2's blob at 2 × slot_bytes, untouched by agent 0";
    EXPECT_EQ(pager.last_status(), 0);

    io.script({{EIO}});
    EXPECT_EQ(pager.page_in(0, back0.data(), 16), 1);
    EXPECT_EQ(pager.last_status(), 1);
    std::vector<IoStep> busy(65, IoStep{EAGAIN});
    io.script(busy);
    EXPECT_EQ(pager.page_out(1, a0.data(), 16), 1);
}

TEST(SwarmKVPager, RefusesBadRequestsWithoutTouchingTheFile) {
    vivirov::test::TempDir dir;
    ScriptedBlobIo io;
    vm::SwarmKVPager pager(open_file(dir, 3 * 4096), 4096, 3, io);
    vm::SwarmKVPager closed(-1, 4096, 3, io);
    std::vector<uint8_t> buf(8192);
    struct Case {
        const char* name;
        vm::SwarmKVPager& p;
        int32_t agent;
        void* buf;
        uint64_t bytes;
    } cases[] = {
        {"no file", closed, 0, buf.data(), 16},
        {"negative agent", pager, -1, buf.data(), 16},
        {"agent past the last", pager, 3, buf.data(), 16},
        {"null buffer", pager, 0, nullptr, 16},
        {"more than a slot", pager, 0, buf.data(), 4097},
    };
    for (auto& c : cases) {
        EXPECT_EQ(c.p.page_in(c.agent, c.buf, c.bytes), 3) << c.name;
        EXPECT_EQ(c.p.page_out(c.agent, c.buf, c.bytes), 3) << c.name;
    }
    EXPECT_EQ(io.calls, 0);
}
