#include "swarm_paging/paging_diagnostic.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <vector>

#include "swarm_paging/agent_memory_map.h"
#include "swarm_paging/swarm_scheduler.h"

namespace swarm {

namespace {

constexpr int32_t kResidentSlots = 2;

// Zeroes every agent's blob in the file, so the first page-ins read defined data.
bool zero_fill(AgentMemoryMap& map, uint64_t blob_bytes) {
    std::vector<uint8_t> zeros(blob_bytes, 0);
    bool ok = true;
    for (uint64_t a = 0; a < map.n_agents; ++a) {
        ok = transfer_all(BlobIo::system(), Transfer::Write, map.fd, zeros.data(), blob_bytes, a * map.slot_bytes) &&
             ok;
    }
    ok = fsync(map.fd) == 0 && ok;
    drop_cached(map.fd, 0, map.total_bytes);
    return ok;
}

} // namespace

int32_t run_paging_diagnostic(const std::string& dir, int32_t n_agents, int32_t tokens, int32_t window,
                              int32_t n_out, int32_t cycles, VMSwarmStats* out) {
    if (!out) return 1;
    std::memset(out, 0, sizeof *out);
    if (n_agents < 1 || tokens < 1 || cycles < 1) return 1;
    const uint64_t blob = vmswarm_kivi_blob_bytes(tokens, window, n_out);
    out->blob_bytes = blob;
    out->n_agents = n_agents;
    out->cycles = cycles;
    out->resident_slots = kResidentSlots;
    out->engine_backed = 0;

    // A private file under a name no one else can predict or plant a link at;
    // unlinked at once, so it lives exactly as long as its descriptor and no
    // run, crashed or not, leaves it behind.
    AgentMemoryMap map = AgentMemoryMap::create_unique(dir + "/vm_hud.agent_swap.XXXXXX", uint64_t(n_agents), blob);
    if (!map.ok) return 2;
    ::unlink(map.path.c_str());
    bool transfers_ok = zero_fill(map, blob);

    std::unique_ptr<SwarmScheduler> sched;
    try {
        sched = std::make_unique<SwarmScheduler>(kResidentSlots, blob);
    } catch (const std::system_error&) {
        return 2;
    } catch (const std::bad_alloc&) {
        return 2;
    }
    if (!sched->slots_ok()) return 2;
    for (int32_t a = 0; a < n_agents; ++a) sched->agents.emplace_back(a, std::string(), blob);
    sched->map = &map;

    std::vector<int32_t> order(static_cast<size_t>(n_agents));
    for (int32_t a = 0; a < n_agents; ++a) order[size_t(a)] = a;
    std::atomic<int32_t> in_flight{0};
    int32_t peak = 0;
    auto step = [&](int32_t, void* slot) {
        const int32_t before = in_flight.fetch_add(1);
        if (before >= peak) peak = before + 1;
        const volatile uint8_t* p = static_cast<const uint8_t*>(slot);
        uint8_t sink = 0;
        for (uint64_t i = 0; i < blob; i += 64) sink ^= p[i];
        (void)sink;
        in_flight.fetch_sub(1);
        return true;
    };
    CycleStats total;
    for (int32_t c = 0; c < cycles; ++c) {
        const CycleStats st = sched->execute_swarm_cycle(order, step);
        total.wall_s += st.wall_s;
        total.compute_s += st.compute_s;
        total.io_wait_s += st.io_wait_s;
        total.page_outs += st.page_outs;
        total.failed_transfers += st.failed_transfers;
    }
    transfers_ok = transfers_ok && total.failed_transfers == 0;

    out->pages_out = uint64_t(total.page_outs);
    out->mb_paged_out = double(total.page_outs) * double(blob) / 1e6;
    out->wall_s = total.wall_s;
    out->compute_s = total.compute_s;
    out->io_wait_s = total.io_wait_s;
    out->io_wait_pct = total.wall_s > 0 ? total.io_wait_s * 100.0 / total.wall_s : 0.0;
    out->peak_concurrency = peak;
    out->ok = transfers_ok ? 1 : 0;
    sched.reset(); // drains the queue before the map closes
    return 0;
}

} // namespace swarm
