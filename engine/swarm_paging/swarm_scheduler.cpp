#include "swarm_paging/swarm_scheduler.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "swarm_paging/agent_memory_map.h"
#include "swarm_paging/kv_pager.h"

namespace swarm {

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return double(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count()) /
           1e9;
}

} // namespace

SwarmScheduler::SwarmScheduler(int32_t slot_count, uint64_t blob, BlobIo& io)
    : blob_bytes(blob), n_slots(slot_count > 0 ? slot_count : 0), io_(io),
      ready_(new std::atomic<int32_t>[size_t(n_slots)]) {
    const uint64_t slot_len = blob_bytes ? AgentMemoryMap::slot_size(blob_bytes) : AgentMemoryMap::kSlotAlign;
    for (int32_t s = 0; s < n_slots; ++s) {
        slots.push_back(static_cast<uint8_t*>(std::aligned_alloc(AgentMemoryMap::kSlotAlign, slot_len)));
        ready_[size_t(s)].store(1, std::memory_order_relaxed);
    }
    try {
        io_thread_ = std::thread([this] { io_loop(); });
    } catch (...) {
        for (uint8_t* s : slots) std::free(s);
        throw;
    }
}

SwarmScheduler::~SwarmScheduler() {
    enqueue({IOReq::Stop, -1, -1});
    io_thread_.join();
    for (uint8_t* s : slots) std::free(s);
}

bool SwarmScheduler::slots_ok() const {
    for (uint8_t* s : slots)
        if (!s) return false;
    return true;
}

void SwarmScheduler::enqueue(IOReq req) {
    {
        std::lock_guard<std::mutex> lock(io_mu_);
        queue_.push_back(req);
    }
    if (req.op == IOReq::Stop)
        io_cv_.notify_all();
    else
        io_cv_.notify_one();
}

void SwarmScheduler::prefetch(int32_t agent, int32_t slot) {
    AgentContext& a = agents[size_t(agent)];
    a.slot = slot;
    a.state.store(AgentContext::Reading, std::memory_order_release);
    ready_[size_t(slot)].store(0, std::memory_order_release);
    pending_.fetch_add(1, std::memory_order_acq_rel);
    enqueue({IOReq::PageIn, agent, slot});
}

void SwarmScheduler::page_out(int32_t agent) {
    AgentContext& a = agents[size_t(agent)];
    if (a.slot == -1) return;
    a.state.store(AgentContext::Writing, std::memory_order_release);
    pending_.fetch_add(1, std::memory_order_acq_rel);
    enqueue({IOReq::PageOut, agent, a.slot});
}

bool SwarmScheduler::page_out_now(const AgentContext& a, uint8_t* src) {
    if (map) {
        const uint64_t off = uint64_t(a.id) * map->slot_bytes;
        const bool ok = transfer_all(io_, Transfer::Write, map->fd, src, a.bytes, off);
        drop_cached(map->fd, off, a.bytes);
        return ok;
    }
    const int fd = ::open(a.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = transfer_all(io_, Transfer::Write, fd, src, a.bytes, 0);
    if (ok) ok = fsync(fd) == 0;
    drop_cached(fd, 0, a.bytes);
    ::close(fd);
    return ok;
}

bool SwarmScheduler::page_in_now(const AgentContext& a, uint8_t* dst) {
    if (map) {
        const uint64_t off = uint64_t(a.id) * map->slot_bytes;
        const bool ok = transfer_all(io_, Transfer::Read, map->fd, dst, a.bytes, off);
        drop_cached(map->fd, off, a.bytes);
        return ok;
    }
    return KVPager::read_blob_nocache(a.path, dst, a.bytes, io_) == a.bytes;
}

void SwarmScheduler::io_loop() {
    for (;;) {
        IOReq req;
        {
            std::unique_lock<std::mutex> lock(io_mu_);
            io_cv_.wait(lock, [this] { return !queue_.empty(); });
            req = queue_.front();
            queue_.pop_front();
        }
        if (req.op == IOReq::Stop) return;
        AgentContext& a = agents[size_t(req.agent)];
        uint8_t* buf = slots[size_t(req.slot)];
        if (req.op == IOReq::PageOut) {
            if (!page_out_now(a, buf)) failed_.fetch_add(1, std::memory_order_relaxed);
            a.slot = -1;
            a.state.store(AgentContext::OnDisk, std::memory_order_release);
        } else {
            if (!page_in_now(a, buf)) failed_.fetch_add(1, std::memory_order_relaxed);
            a.state.store(AgentContext::Resident, std::memory_order_release);
            {
                std::lock_guard<std::mutex> lock(ready_mu_);
                ready_[size_t(req.slot)].store(1, std::memory_order_release);
            }
            ready_cv_.notify_all();
        }
        pending_.fetch_sub(1, std::memory_order_acq_rel);
        { std::lock_guard<std::mutex> lock(done_mu_); }
        done_cv_.notify_all();
    }
}

void SwarmScheduler::wait_ready(int32_t slot) {
    std::unique_lock<std::mutex> lock(ready_mu_);
    ready_cv_.wait(lock, [&] { return ready_[size_t(slot)].load(std::memory_order_acquire) == 1; });
}

CycleStats SwarmScheduler::execute_swarm_cycle(const std::vector<int32_t>& order, const Step& step) {
    CycleStats st;
    if (!step) throw std::bad_function_call();
    if (order.empty()) return st;
    for (int32_t agent : order)
        if (agent < 0 || size_t(agent) >= agents.size())
            throw std::invalid_argument("SwarmScheduler: agent outside the agent list");
    if (!slots_ok() || (n_slots < 2 && order.size() > 1) || n_slots < 1)
        throw std::logic_error("SwarmScheduler: a cycle needs two allocated slots");

    const int64_t failed_before = failed_.load(std::memory_order_acquire);
    const int32_t R = n_slots;
    const size_t n = order.size();
    prefetch(order[0], 0);
    wait_ready(0);
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < n; ++i) {
        const int32_t agent = order[i];
        const int32_t next_slot = int32_t((i + 1) % size_t(R));
        if (i + 1 < n) prefetch(order[i + 1], next_slot);
        const auto t0 = std::chrono::steady_clock::now();
        const bool changed = step(agent, slots[i % size_t(R)]);
        st.compute_s += seconds_since(t0);
        if (i + 1 < n) {
            const auto w0 = std::chrono::steady_clock::now();
            wait_ready(next_slot);
            st.io_wait_s += seconds_since(w0);
        }
        if (changed) {
            page_out(agent);
            st.page_outs += 1;
        }
        st.steps += 1;
    }
    {
        std::unique_lock<std::mutex> lock(done_mu_);
        done_cv_.wait(lock, [this] { return pending_.load(std::memory_order_acquire) == 0; });
    }
    st.wall_s = seconds_since(start);
    st.failed_transfers = failed_.load(std::memory_order_acquire) - failed_before;
    return st;
}

} // namespace swarm
