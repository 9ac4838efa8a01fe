#pragma once
// Lock-free, fixed-size, lossy cache of the dense CPU decode's key and value
// rows: one entry per (sequence, layer, position), addressed by two 32-bit
// hashes and the position. A bounded value pool (not the bucket array) limits
// how many entries live at once; when it runs out, a clock sweep evicts
// entries that were not read since the previous sweep.
//
// Removed and evicted buckets become tombstones rather than empty buckets, so
// an entry further along the same probe run stays findable: a retired
// sequence's rows are always removed, never left readable for the next
// request of the same agent.
//
// Every operation is safe from any thread without a lock. A pointer returned
// by lookup() stays valid until its entry is removed or evicted; callers read
// it at once.
#include <atomic>
#include <cstdint>

namespace vivirov {

class DKVHashTable {
public:
    // capacity = the smallest power of two not below the hint (at least 1).
    // Reserves all memory up front by anonymous mappings; a mapping that
    // cannot be made prints the system error for "mmap" and aborts.
    DKVHashTable(uint64_t capacity_hint, uint64_t pool_bytes, uint16_t value_bytes);
    ~DKVHashTable();
    DKVHashTable(const DKVHashTable&) = delete;
    DKVHashTable& operator=(const DKVHashTable&) = delete;

    // 1 stored; 0 when len exceeds value_bytes, an entry matching the key is
    // already stored (it stays unchanged), the probe window is full or the
    // pool is exhausted even after a sweep.
    int32_t insert(uint32_t a, uint32_t b, uint64_t pos, const float* value, uint16_t len);
    // The stored value of a matching entry (same a and b, position within
    // 32), or null. Marks the entry as recently read.
    const float* lookup(uint32_t a, uint32_t b, uint64_t pos) const;
    // Starts loading the filter words and probe window of (a, b) into the
    // cache, so a run of lookups waits for its misses once, not one by one.
    void prefetch(uint32_t a, uint32_t b) const;
    // How many matching entries were removed: 0 when none was found, and more
    // than 1 only when racing inserts stored the same key twice.
    int32_t remove(uint32_t a, uint32_t b, uint64_t pos);

    uint64_t capacity() const { return capacity_; }
    uint32_t n_slots() const { return n_slots_; }
    uint64_t live() const { return live_.load(std::memory_order_acquire); }
    // Entries evicted by sweeps so far.
    uint64_t evictions() const { return evictions_.load(std::memory_order_relaxed); }

    // First bucket of the probe window of (a, b); exposed so tests can build
    // colliding keys.
    static uint64_t home_bucket(uint32_t a, uint32_t b, uint64_t mask);

    static constexpr int kWindow = 8;
    static constexpr uint64_t kPosTolerance = 32;

private:
    struct Bucket;

    const float* value_at(uint32_t slot) const;
    void filter_bits(uint32_t a, uint32_t b, uint64_t* p1, uint64_t* p2) const;
    bool filter_has(uint32_t a, uint32_t b) const;
    void filter_set(uint32_t a, uint32_t b);
    bool take_slot(uint32_t* slot);
    bool pop_free(uint32_t* slot);
    void push_free(uint32_t slot);
    void try_sweep();

    Bucket* buckets_ = nullptr;
    uint8_t* pool_ = nullptr;
    std::atomic<uint64_t>* filter_ = nullptr;
    std::atomic<uint32_t>* free_next_ = nullptr;
    uint64_t capacity_ = 0;
    uint64_t mask_ = 0;
    uint64_t buckets_bytes_ = 0;
    uint64_t pool_bytes_ = 0;
    uint64_t filter_words_ = 0;
    uint64_t filter_bytes_ = 0;
    uint64_t free_bytes_ = 0;
    uint32_t n_slots_ = 0;
    uint16_t value_bytes_ = 0;
    std::atomic<uint32_t> bump_{0};
    // Top of the free-slot stack in the low 32 bits (0xFFFFFFFF when empty),
    // a change count in the high 32 bits so a pop never succeeds on a head
    // that was popped and pushed back meanwhile.
    std::atomic<uint64_t> free_head_{0xFFFFFFFFull};
    std::atomic<uint64_t> live_{0};
    std::atomic<bool> sweeping_{false};
    uint64_t hand_ = 0; // touched only by the sweeper holding sweeping_
    std::atomic<uint64_t> evictions_{0};
};

} // namespace vivirov
