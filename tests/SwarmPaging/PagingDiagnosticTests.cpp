// The paging diagnostic as the app calls it: blob sizes, a full run's
// figures, argument errors and a swap file that cannot be made.
#include "engine/swarm_paging/agent_memory_map.h"
#include "engine/swarm_paging/paging_diagnostic.h"
#include "vm_swarm.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

int swap_files_in_tmp() {
    int n = 0;
    if (DIR* d = opendir("/tmp")) {
        while (dirent* e = readdir(d))
            if (std::strncmp(e->d_name, "vm_hud.agent_swap", 17) == 0) ++n;
        closedir(d);
    }
    return n;
}

} // namespace

TEST(PagingDiagnostic, BlobSizes) {
    struct Case {
        int32_t tokens, window, n_out;
        uint64_t bytes;
    } cases[] = {
        {0, 128, 10, 0},
        {-3, 128, 10, 0},
        {256, 128, 10, 5964244},
        {100, 200, 0, (100 * 1024 + 100 * 128 + 32 * 100) * 28 + 468}, // window beyond the tokens
        {100, -5, 0, (100 * 128 + 32 * 100) * 28 + 468},               // negative window: none
        {100, 10, -4, (10 * 1024 + 100 * 128 + 32 * 100) * 28 + 468},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vmswarm_kivi_blob_bytes(c.tokens, c.window, c.n_out), c.bytes) << c.tokens << "/" << c.window;
    EXPECT_EQ(swarm::AgentMemoryMap::slot_size(5964244), 5980160u);
}

TEST(PagingDiagnostic, TwelveAgentsFiveCycles) {
    const int before = swap_files_in_tmp();
    VMSwarmStats st;
    std::memset(&st, 0xAB, sizeof st);
    ASSERT_EQ(vmswarm_run_paging_diagnostic(12, 32, 16, 2, 5, &st), 0);
    const uint64_t blob = vmswarm_kivi_blob_bytes(32, 16, 2);
    EXPECT_EQ(st.blob_bytes, blob);
    EXPECT_EQ(st.n_agents, 12);
    EXPECT_EQ(st.cycles, 5);
    EXPECT_EQ(st.resident_slots, 2);
    EXPECT_EQ(st.pages_out, 60u);
    EXPECT_DOUBLE_EQ(st.mb_paged_out, 60.0 * double(blob) / 1e6);
    EXPECT_EQ(st.peak_concurrency, 1);
    EXPECT_EQ(st.engine_backed, 0);
    EXPECT_EQ(st.ok, 1);
    EXPECT_EQ(st.reserved0, 0);
    EXPECT_EQ(st.reserved1, 0);
    EXPECT_GE(st.wall_s, st.compute_s);
    EXPECT_GE(st.io_wait_pct, 0.0);
    EXPECT_LE(st.io_wait_pct, 100.0);
    EXPECT_EQ(swap_files_in_tmp(), before) << "the swap file is gone after the run";
}

TEST(PagingDiagnostic, OneAgentWaitsNothing) {
    VMSwarmStats st;
    ASSERT_EQ(vmswarm_run_paging_diagnostic(1, 8, 4, 0, 3, &st), 0);
    EXPECT_EQ(st.pages_out, 3u);
    EXPECT_EQ(st.io_wait_s, 0.0);
    EXPECT_EQ(st.io_wait_pct, 0.0);
    EXPECT_EQ(st.ok, 1);
}

TEST(PagingDiagnostic, BadArgumentsAndUnusableSwapFile) {
    EXPECT_EQ(vmswarm_run_paging_diagnostic(2, 8, 4, 0, 1, nullptr), 1);
    struct Case {
        int32_t agents, tokens, cycles;
    } bad[] = {{0, 8, 1}, {2, 0, 1}, {2, 8, 0}, {-1, 8, 1}};
    for (const Case& c : bad) {
        VMSwarmStats st;
        std::memset(&st, 0xAB, sizeof st);
        EXPECT_EQ(vmswarm_run_paging_diagnostic(c.agents, c.tokens, 4, 0, c.cycles, &st), 1);
        VMSwarmStats zero;
        std::memset(&zero, 0, sizeof zero);
        EXPECT_EQ(std::memcmp(&st, &zero, sizeof st), 0) << "record zeroed";
    }

    VMSwarmStats st;
    std::memset(&st, 0xAB, sizeof st);
    EXPECT_EQ(swarm::run_paging_diagnostic("/nonexistent-dir/for/swap", 3, 8, 4, 0, 2, &st), 2);
    EXPECT_EQ(st.blob_bytes, vmswarm_kivi_blob_bytes(8, 4, 0));
    EXPECT_EQ(st.n_agents, 3);
    EXPECT_EQ(st.cycles, 2);
    EXPECT_EQ(st.resident_slots, 2);
    EXPECT_EQ(st.ok, 0);
    EXPECT_EQ(st.pages_out, 0u);
}
