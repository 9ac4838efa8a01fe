// One paging cycle of 12 agents with 5.96 MB blobs (write back, read the next
// agent in) beside a plain loop that writes then reads the same bytes at the
// same offsets of a file on the same file system. Both drop the file's cached
// pages after each transfer, as the paging does; wall time, since the work
// runs on the I/O thread.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bench/guards_ratio_reporter.h"
#include "engine/include/vm_swarm.h"
#include "engine/swarm_paging/agent_memory_map.h"
#include "engine/swarm_paging/swarm_scheduler.h"

namespace {

constexpr int kAgents = 12;
const uint64_t kBlob = vmswarm_kivi_blob_bytes(256, 128, 10);

std::string swap_dir() {
    const char* d = std::getenv("TMPDIR");
    return d && *d ? d : "/tmp";
}

void paging_cycle(benchmark::State& state) {
    swarm::AgentMemoryMap map = swarm::AgentMemoryMap::create_unique(swap_dir() + "/bench_swap.XXXXXX", kAgents, kBlob);
    if (!map.ok) return state.SkipWithError("swap file");
    unlink(map.path.c_str());
    swarm::SwarmScheduler sched(2, kBlob);
    for (int a = 0; a < kAgents; ++a) sched.agents.emplace_back(a, std::string(), kBlob);
    sched.map = &map;
    std::vector<int32_t> order;
    for (int a = 0; a < kAgents; ++a) order.push_back(a);
    auto step = [](int32_t, void* slot) {
        benchmark::DoNotOptimize(static_cast<volatile uint8_t*>(slot)[0]);
        return true;
    };
    sched.execute_swarm_cycle(order, step); // every slot of the file written once
    for (auto _ : state) benchmark::DoNotOptimize(sched.execute_swarm_cycle(order, step));
    state.SetBytesProcessed(int64_t(state.iterations()) * kAgents * int64_t(kBlob) * 2);
}

void write_then_read(benchmark::State& state) {
    std::string name = swap_dir() + "/bench_plain.XXXXXX";
    int fd = mkstemp(name.data());
    if (fd < 0) return state.SkipWithError("file");
    unlink(name.c_str());
    const uint64_t slot = swarm::AgentMemoryMap::slot_size(kBlob);
    std::vector<uint8_t> buf(kBlob, 1);
    auto move = [&](bool write, uint64_t off) {
        for (uint64_t done = 0; done < kBlob;) {
            ssize_t n = write ? pwrite(fd, buf.data() + done, kBlob - done, off_t(off + done))
                              : pread(fd, buf.data() + done, kBlob - done, off_t(off + done));
            if (n <= 0) return false;
            done += uint64_t(n);
        }
        posix_fadvise(fd, off_t(off), off_t(kBlob), POSIX_FADV_DONTNEED);
        return true;
    };
    for (int a = 0; a < kAgents; ++a) move(true, uint64_t(a) * slot);
    for (auto _ : state)
        for (int a = 0; a < kAgents; ++a)
            if (!move(true, uint64_t(a) * slot) || !move(false, uint64_t((a + 1) % kAgents) * slot))
                return state.SkipWithError("transfer");
    close(fd);
    state.SetBytesProcessed(int64_t(state.iterations()) * kAgents * int64_t(kBlob) * 2);
}

} // namespace

BENCHMARK(paging_cycle)->Name("swarm_paging/measured_12x5.96MB")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(write_then_read)->Name("swarm_paging/baseline_12x5.96MB")->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) { return vivirov::bench::runWithRatios(argc, argv, true); }
