#pragma once
// The om2 pack cache of one model: resident packs under a byte budget with
// least-recently-used eviction, an in-flight set so that one key is loaded by
// one thread at a time, and a background prefetcher fed by a lock-free ring
// of 1024 requests.
//
// Packs are handed out as shared pointers: an eviction drops the registry's
// reference, and a caller still computing with the pack keeps it alive.
//
// Lock order: mu_ before inflight_mu_, never the reverse.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "om2_pack.h"

namespace vm::apex {

class Om2Registry {
public:
    static constexpr size_t kRingCapacity = 1024;
    static constexpr uint64_t kDefaultBudget = 1610612736ULL; // 1.5 GiB

    Om2Registry();
    ~Om2Registry();
    Om2Registry(const Om2Registry&) = delete;
    Om2Registry& operator=(const Om2Registry&) = delete;

    // Binds the directory with trailing '/' and '\' removed; true when that
    // leaves it non-empty. The directory is not checked.
    bool load_dir(const std::string& dir);
    std::string dir() const;
    void set_budget(uint64_t bytes);
    uint64_t budget() const;
    uint64_t resident_bytes() const;
    size_t resident_count() const;
    bool is_resident(int layer, int expert, char proj) const;

    // The resident pack, loading it synchronously when needed; null when it
    // has no file or the file is unreadable or malformed.
    std::shared_ptr<const Om2Pack> get_or_load(int layer, int expert, char proj);
    // Makes the pack resident, first waiting up to timeout_ms for a load
    // already under way; true when it is resident on return.
    bool ensure_resident(int layer, int expert, char proj, int timeout_ms);

    // Queues background loads; proj 0 queues up, gate and down.
    bool prefetch_async(int layer, int expert, char proj);
    void start_prefetcher();
    void stop_prefetcher();
    bool prefetcher_running() const { return prefetch_running_.load(); }

    // "om2_prefetch push=… async_hit=… wait_ok=… sync_fb=… drop=… wait_ms=… completed=…"
    std::string prefetch_stats_string() const;

    struct Stats {
        uint64_t push, completed, drop, async_hit, wait_ok, sync_fb, wait_ns, hits, loads, fails;
    };
    Stats stats() const;

    // The existing pack file for a request, or empty.
    std::string resolve_path_(int layer, int expert, char proj) const;
    bool is_inflight(uint64_t key) const;

private:
    friend struct Om2RegistryProbe; // tests queue requests without a running prefetcher

    struct PrefetchSlot {
        std::atomic<int64_t> seq{0};
        int32_t layer = -1;
        int32_t expert = -1;
        uint8_t proj = 0;
    };
    using PackPtr = std::shared_ptr<const Om2Pack>;

    bool enqueue_one_(int layer, int expert, char proj);
    void prefetcher_main_();
    void touch_locked_(uint64_t key);
    void insert_locked_(uint64_t key, Om2Pack&& pack);
    PackPtr find_touch_locked_(uint64_t key);
    bool claim_inflight_(uint64_t key);
    void complete_inflight_(uint64_t key, bool ok);
    bool wait_inflight_(uint64_t key, int timeout_ms);

    mutable std::mutex mu_;
    std::unordered_map<uint64_t, PackPtr> packs_;
    std::list<uint64_t> lru_; // least recently used first
    std::unordered_map<uint64_t, std::list<uint64_t>::iterator> lru_index_;
    std::string dir_;
    uint64_t budget_bytes_ = kDefaultBudget;
    uint64_t resident_bytes_ = 0;

    alignas(64) std::atomic<uint64_t> enqueue_pos_{0};
    alignas(64) uint64_t dequeue_pos_ = 0;
    std::array<PrefetchSlot, kRingCapacity> ring_;
    std::thread prefetcher_;
    std::mutex lifecycle_mu_; // start and stop
    std::atomic<bool> prefetch_running_{false};
    std::atomic<bool> prefetch_stop_{false};

    mutable std::mutex inflight_mu_;
    std::condition_variable inflight_cv_;
    std::unordered_set<uint64_t> inflight_;

    std::atomic<uint64_t> push_{0}, completed_{0}, drop_{0}, async_hit_{0}, wait_ok_{0}, sync_fb_{0}, wait_ns_{0};
    std::atomic<uint64_t> hits_{0}, loads_{0}, fails_{0};
};

} // namespace vm::apex
