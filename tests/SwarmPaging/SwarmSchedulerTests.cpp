// Double-buffered paging of agents' blobs through a swap file or per-agent
// files: the data each agent sees, write-back order, agents left resident,
// and transfers that fail.
#include "ScriptedBlobIo.h"
#include "engine/swarm_paging/agent_memory_map.h"
#include "engine/swarm_paging/kv_pager.h"
#include "engine/swarm_paging/swarm_scheduler.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>

using swarm::AgentContext;
using swarm::AgentMemoryMap;
using swarm::SwarmScheduler;

namespace {

constexpr uint64_t kBlob = 20000; // not a multiple of the 16 KiB slot

void add_agents(SwarmScheduler& s, int n, const vivirov::test::TempDir* dir = nullptr) {
    for (int a = 0; a < n; ++a)
        s.agents.emplace_back(a, dir ? dir->file("agent" + std::to_string(a) + ".kv") : std::string(), kBlob);
}

std::vector<int32_t> all(int n) {
    std::vector<int32_t> v;
    for (int a = 0; a < n; ++a) v.push_back(a);
    return v;
}

} // namespace

TEST(AgentMemoryMap, SizesSlotsAndRefusesPlantedLinks) {
    vivirov::test::TempDir dir;
    AgentMemoryMap map(dir.file("swap"), 3, 5964244);
    ASSERT_TRUE(map.ok);
    EXPECT_EQ(map.slot_bytes, 5980160u);
    EXPECT_EQ(map.total_bytes, 3u * 5980160u);
    struct stat st {};
    ASSERT_EQ(stat(map.path.c_str(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), map.total_bytes);

    const std::string victim = dir.write("victim", "keep me");
    ASSERT_EQ(symlink(victim.c_str(), dir.file("link").c_str()), 0);
    AgentMemoryMap through(dir.file("link"), 2, 100);
    EXPECT_FALSE(through.ok);
    EXPECT_EQ(through.fd, -1);
    EXPECT_EQ(vivirov::test::TempDir::read(victim), "keep me");

    AgentMemoryMap missing(dir.file("no/such/dir/swap"), 2, 100);
    EXPECT_FALSE(missing.ok);
    EXPECT_TRUE(missing.path.empty());

    AgentMemoryMap u1 = AgentMemoryMap::create_unique(dir.file("s.XXXXXX"), 2, 100);
    AgentMemoryMap u2 = AgentMemoryMap::create_unique(dir.file("s.XXXXXX"), 2, 100);
    ASSERT_TRUE(u1.ok && u2.ok);
    EXPECT_NE(u1.path, u2.path);
    ASSERT_EQ(stat(u1.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(uint64_t(st.st_size), 2 * AgentMemoryMap::kSlotAlign);
}

// Each step checks that its slot holds what the same agent wrote in the
// previous cycle, then writes a new pattern: with three agents on two slots,
// every slot is reused, so a page-in overtaking the page-out would show.
TEST(SwarmScheduler, AgentsSeeTheirOwnBlobsAcrossCycles) {
    vivirov::test::TempDir dir;
    AgentMemoryMap map(dir.file("swap"), 3, kBlob);
    ASSERT_TRUE(map.ok);
    SwarmScheduler s(2, kBlob);
    ASSERT_TRUE(s.slots_ok());
    for (uint8_t* slot : s.slots) EXPECT_EQ(reinterpret_cast<uintptr_t>(slot) % 16384, 0u);
    add_agents(s, 3);
    s.map = &map;
    int cycle = 0, wrong = 0;
    auto step = [&](int32_t agent, void* slot) {
        auto* p = static_cast<uint8_t*>(slot);
        const uint8_t expect = cycle == 0 ? 0 : uint8_t(agent * 16 + cycle - 1);
        if (p[0] != expect || p[kBlob - 1] != expect) ++wrong;
        std::memset(p, agent * 16 + cycle, kBlob);
        return true;
    };
    for (cycle = 0; cycle < 4; ++cycle) {
        swarm::CycleStats st = s.execute_swarm_cycle(all(3), step);
        EXPECT_EQ(st.page_outs, 3);
        EXPECT_EQ(st.steps, 3);
        EXPECT_EQ(st.failed_transfers, 0);
        EXPECT_GE(st.wall_s, st.compute_s);
    }
    EXPECT_EQ(wrong, 0);
    for (const AgentContext& a : s.agents) {
        EXPECT_EQ(a.state.load(), AgentContext::OnDisk);
        EXPECT_EQ(a.slot, -1);
    }
}

TEST(SwarmScheduler, OneAgentWaitsForNothingAndUnchangedAgentsStayResident) {
    vivirov::test::TempDir dir;
    AgentMemoryMap map(dir.file("swap"), 3, kBlob);
    SwarmScheduler s(2, kBlob);
    add_agents(s, 3);
    s.map = &map;

    swarm::CycleStats one = s.execute_swarm_cycle({1}, [](int32_t, void*) { return true; });
    EXPECT_EQ(one.io_wait_s, 0.0);
    EXPECT_EQ(one.page_outs, 1);

    swarm::CycleStats st = s.execute_swarm_cycle(all(3), [](int32_t a, void*) { return a != 1; });
    EXPECT_EQ(st.page_outs, 2);
    EXPECT_EQ(s.agents[1].state.load(), AgentContext::Resident);
    EXPECT_EQ(s.agents[1].slot, 1);
    EXPECT_EQ(s.agents[0].state.load(), AgentContext::OnDisk);

    EXPECT_THROW(s.execute_swarm_cycle(all(3), SwarmScheduler::Step()), std::bad_function_call);
    EXPECT_THROW(s.execute_swarm_cycle({0, 3}, [](int32_t, void*) { return true; }), std::invalid_argument);
    SwarmScheduler single(1, kBlob);
    add_agents(single, 2);
    EXPECT_THROW(single.execute_swarm_cycle(all(2), [](int32_t, void*) { return true; }), std::logic_error);
}

TEST(SwarmScheduler, PerAgentFilesWithoutASwapFile) {
    vivirov::test::TempDir dir;
    SwarmScheduler s(2, kBlob);
    add_agents(s, 2, &dir);
    swarm::CycleStats first = s.execute_swarm_cycle(all(2), [](int32_t a, void* slot) {
        std::memset(slot, 'A' + a, kBlob);
        return true;
    });
    EXPECT_EQ(first.failed_transfers, 2) << "neither agent had a blob file to read yet";
    const std::string blob1 = vivirov::test::TempDir::read(dir.file("agent1.kv"));
    EXPECT_EQ(blob1, std::string(kBlob, 'B'));

    std::map<int, char> seen;
    swarm::CycleStats second = s.execute_swarm_cycle(all(2), [&](int32_t a, void* slot) {
        seen[a] = static_cast<char*>(slot)[kBlob / 2];
        return false;
    });
    EXPECT_EQ(second.failed_transfers, 0);
    EXPECT_EQ(seen[0], 'A');
    EXPECT_EQ(seen[1], 'B');

    std::vector<uint8_t> buf(kBlob);
    EXPECT_EQ(swarm::KVPager::read_blob_nocache(dir.file("agent0.kv"), buf.data(), kBlob), kBlob);
    EXPECT_EQ(swarm::KVPager::read_blob_nocache(dir.file("agent0.kv"), buf.data(), 0), 0u);
    EXPECT_EQ(swarm::KVPager::read_blob_nocache(dir.file("agent0.kv"), buf.data(), kBlob + 1), ~uint64_t(0))
        << "the file ends early";
    EXPECT_EQ(swarm::KVPager::read_blob_nocache(dir.file("absent.kv"), buf.data(), 10), ~uint64_t(0));
}

TEST(SwarmScheduler, FailedAndShortTransfersAreCounted) {
    vivirov::test::TempDir dir;
    AgentMemoryMap map(dir.file("swap"), 2, kBlob);
    swarmtest::ScriptedBlobIo io;
    SwarmScheduler s(2, kBlob, io);
    add_agents(s, 2);
    s.map = &map;
    io.script({{0, true}}); // the first page-in finds the end of the file
    auto touch = [](int32_t, void*) { return true; };
    EXPECT_EQ(s.execute_swarm_cycle(all(2), touch).failed_transfers, 1);
    io.fail_all_writes(EIO);
    EXPECT_EQ(s.execute_swarm_cycle(all(2), touch).failed_transfers, 2);
}
