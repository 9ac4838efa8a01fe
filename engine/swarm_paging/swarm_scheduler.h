#pragma once
// Double-buffered paging of agents' KV blobs: while the caller steps one
// agent in one in-memory slot, a dedicated I/O thread reads the next agent's
// blob into another slot and writes stepped agents back, strictly in the
// order requested (so a slot's page-out always lands before the next page-in
// into it).
//
// Threads: the caller of execute_swarm_cycle and the I/O thread. The caller
// touches a slot only while its ready flag is 1; the I/O thread only slots it
// has a queued request for. One cycle at a time per scheduler.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "blob_io.h"

namespace swarm {

class AgentMemoryMap;

struct AgentContext {
    enum State : int32_t { OnDisk = 0, Reading = 1, Resident = 2, Writing = 3 };

    AgentContext(int32_t agent_id, std::string blob_path, uint64_t blob_bytes)
        : id(agent_id), path(std::move(blob_path)), bytes(blob_bytes) {}

    int32_t id;
    std::atomic<int32_t> state{OnDisk};
    std::string path; // the agent's own blob file, used when no map is attached
    uint64_t bytes;
    int32_t slot = -1;
};

struct IOReq {
    enum Op : int32_t { PageIn = 0, PageOut = 1, Stop = 2 };
    int32_t op;
    int32_t agent;
    int32_t slot;
};

struct CycleStats {
    double wall_s = 0;
    double compute_s = 0;
    double io_wait_s = 0;
    int64_t page_outs = 0;
    int64_t steps = 0;
    // Reads and writes of this cycle that failed or moved fewer bytes than
    // the blob: the slot then holds stale data.
    int64_t failed_transfers = 0;
};

class SwarmScheduler {
public:
    // Allocates the slots (16 KiB aligned, the blob rounded up to 16 KiB) and
    // starts the I/O thread; a thread that cannot start throws std::system_error.
    SwarmScheduler(int32_t n_slots, uint64_t blob_bytes, BlobIo& io = BlobIo::system());
    // Stops the I/O thread behind every queued request, so all of them land.
    ~SwarmScheduler();
    SwarmScheduler(const SwarmScheduler&) = delete;
    SwarmScheduler& operator=(const SwarmScheduler&) = delete;

    // Every slot buffer was allocated; a cycle needs it.
    bool slots_ok() const;

    void prefetch(int32_t agent, int32_t slot);
    void page_out(int32_t agent);

    // Steps every agent of `order` (distinct indices into `agents`) in turn;
    // `step` gets the agent and its slot buffer and returns true when the blob
    // changed and must be written back. Throws std::bad_function_call for an
    // empty step, std::invalid_argument for an agent outside `agents`, and
    // std::logic_error without two usable slots.
    using Step = std::function<bool(int32_t agent, void* slot)>;
    CycleStats execute_swarm_cycle(const std::vector<int32_t>& order, const Step& step);

    const uint64_t blob_bytes;
    const int32_t n_slots;
    std::vector<uint8_t*> slots;
    std::deque<AgentContext> agents; // filled by the owner before the first cycle
    AgentMemoryMap* map = nullptr;   // attached by the owner, or null

private:
    void io_loop();
    void enqueue(IOReq req);
    bool page_in_now(const AgentContext& a, uint8_t* dst);
    bool page_out_now(const AgentContext& a, uint8_t* src);
    void wait_ready(int32_t slot);

    BlobIo& io_;
    std::unique_ptr<std::atomic<int32_t>[]> ready_;
    std::mutex io_mu_;
    std::condition_variable io_cv_;
    std::deque<IOReq> queue_;
    std::mutex ready_mu_;
    std::condition_variable ready_cv_;
    std::atomic<int64_t> pending_{0};
    std::atomic<int64_t> failed_{0};
    std::mutex done_mu_;
    std::condition_variable done_cv_;
    std::thread io_thread_;
};

} // namespace swarm
