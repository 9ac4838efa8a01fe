#pragma once
// Saved KV blobs of agents in one file, one fixed slot per agent (agent a at
// a × slot_bytes). Transfers are serialised by the pager's own mutex.
#include <cstdint>
#include <mutex>

#include "../swarm_paging/blob_io.h"

namespace vm {

class SwarmKVPager {
public:
    static constexpr int32_t kDone = 0;
    static constexpr int32_t kFailed = 1;
    static constexpr int32_t kRefused = 3;

    // Takes ownership of fd (closed by the destructor when not negative).
    SwarmKVPager(int fd, uint64_t slot_bytes, int32_t n_agents, swarm::BlobIo& io = swarm::BlobIo::system());
    ~SwarmKVPager();
    SwarmKVPager(const SwarmKVPager&) = delete;
    SwarmKVPager& operator=(const SwarmKVPager&) = delete;

    // 0 done, 1 failed (last_status holds it too), 3 refused: no file, an
    // agent outside 0..n_agents-1, a null buffer or more bytes than a slot.
    int32_t page_in(int32_t agent, void* dst, uint64_t bytes);
    int32_t page_out(int32_t agent, const void* src, uint64_t bytes);

    int32_t last_status() const;

private:
    int32_t transfer(swarm::Transfer dir, int32_t agent, void* buf, uint64_t bytes);

    int fd_;
    uint64_t slot_bytes_;
    int32_t n_agents_;
    int32_t last_status_ = 0;
    mutable std::mutex mu_;
    swarm::BlobIo& io_;
};

} // namespace vm
