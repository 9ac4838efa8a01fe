#include "vm_v2/swarm_kv_pager.h"

#include <unistd.h>

namespace vm {

SwarmKVPager::SwarmKVPager(int fd, uint64_t slot_bytes, int32_t n_agents, swarm::BlobIo& io)
    : fd_(fd), slot_bytes_(slot_bytes), n_agents_(n_agents), io_(io) {}

SwarmKVPager::~SwarmKVPager() {
    if (fd_ >= 0) ::close(fd_);
}

int32_t SwarmKVPager::page_in(int32_t agent, void* dst, uint64_t bytes) {
    return transfer(swarm::Transfer::Read, agent, dst, bytes);
}

int32_t SwarmKVPager::page_out(int32_t agent, const void* src, uint64_t bytes) {
    // A write only reads the buffer; transfer_all takes one pointer type for both ways.
    return transfer(swarm::Transfer::Write, agent, const_cast<void*>(src), bytes);
}

int32_t SwarmKVPager::last_status() const {
    std::lock_guard<std::mutex> lock(mu_);
    return last_status_;
}

int32_t SwarmKVPager::transfer(swarm::Transfer dir, int32_t agent, void* buf, uint64_t bytes) {
    if (fd_ < 0 || agent < 0 || agent >= n_agents_ || !buf || bytes > slot_bytes_) return kRefused;
    std::lock_guard<std::mutex> lock(mu_);
    const bool ok = swarm::transfer_all(io_, dir, fd_, buf, bytes, uint64_t(agent) * slot_bytes_);
    last_status_ = ok ? kDone : kFailed;
    return last_status_;
}

} // namespace vm
