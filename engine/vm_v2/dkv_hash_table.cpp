#include "vm_v2/dkv_hash_table.h"

#include <sched.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vivirov {

namespace {

constexpr uint8_t kClaimed = 1;
constexpr uint8_t kReady = 2;
constexpr uint8_t kRead = 4;
// A bucket emptied by removal or eviction: skipped by searches (the probe run
// goes on behind it) and reusable by inserts.
constexpr uint8_t kTomb = 8;
constexpr uint32_t kNoSlot = 0xFFFFFFFFu;
constexpr int kMaxWaits = 1048575;

// slot | len << 32 | flags << 48, changed as one word so that a removal or
// eviction that wins the exchange owns exactly the slot it saw.
constexpr uint64_t meta_of(uint32_t slot, uint16_t len, uint8_t flags) {
    return uint64_t(slot) | uint64_t(len) << 32 | uint64_t(flags) << 48;
}
constexpr uint8_t flags_of(uint64_t m) { return uint8_t(m >> 48); }
constexpr uint32_t slot_of(uint64_t m) { return uint32_t(m); }
constexpr bool in_progress(uint8_t f) { return (f & kClaimed) && !(f & kReady); }
constexpr bool ready(uint8_t f) { return (f & (kClaimed | kReady)) == (kClaimed | kReady); }
constexpr uint64_t kReadBit = uint64_t(kRead) << 48;

void* map_or_abort(uint64_t bytes) {
    void* p = mmap(nullptr, bytes ? bytes : 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        perror("mmap");
        abort();
    }
    return p;
}

bool position_matches(uint64_t stored, uint64_t pos) {
    uint64_t d = stored > pos ? stored - pos : pos - stored;
    return d <= DKVHashTable::kPosTolerance;
}

} // namespace

struct DKVHashTable::Bucket {
    std::atomic<uint64_t> pos;
    std::atomic<uint32_t> a;
    std::atomic<uint32_t> b;
    std::atomic<uint64_t> meta;

    bool matches(uint32_t ka, uint32_t kb, uint64_t kpos) const {
        return a.load(std::memory_order_relaxed) == ka && b.load(std::memory_order_relaxed) == kb &&
               position_matches(pos.load(std::memory_order_relaxed), kpos);
    }
};
static_assert(sizeof(std::atomic<uint64_t>) == 8 && sizeof(std::atomic<uint32_t>) == 4);

DKVHashTable::DKVHashTable(uint64_t capacity_hint, uint64_t pool_bytes, uint16_t value_bytes)
    : pool_bytes_(pool_bytes), value_bytes_(value_bytes) {
    capacity_ = 1;
    while (capacity_ < capacity_hint) capacity_ <<= 1;
    mask_ = capacity_ - 1;
    buckets_bytes_ = capacity_ * sizeof(Bucket);
    filter_words_ = (capacity_ < 64 ? 64 : capacity_) / 64;
    filter_bytes_ = filter_words_ * 8;
    uint64_t slots = value_bytes ? pool_bytes / value_bytes : 0;
    n_slots_ = uint32_t(slots < kNoSlot ? slots : kNoSlot - 1);
    free_bytes_ = uint64_t(n_slots_) * 4;
    // Anonymous mappings are zero: every bucket starts empty, every filter bit clear.
    buckets_ = static_cast<Bucket*>(map_or_abort(buckets_bytes_));
    pool_ = static_cast<uint8_t*>(map_or_abort(pool_bytes_));
    filter_ = static_cast<std::atomic<uint64_t>*>(map_or_abort(filter_bytes_));
    free_next_ = static_cast<std::atomic<uint32_t>*>(map_or_abort(free_bytes_));
}

DKVHashTable::~DKVHashTable() {
    munmap(buckets_, buckets_bytes_ ? buckets_bytes_ : 1);
    munmap(pool_, pool_bytes_ ? pool_bytes_ : 1);
    munmap(filter_, filter_bytes_ ? filter_bytes_ : 1);
    munmap(free_next_, free_bytes_ ? free_bytes_ : 1);
}

uint64_t DKVHashTable::home_bucket(uint32_t a, uint32_t b, uint64_t mask) {
    uint64_t t = 0x9E3779B97F4A7C15ull ^ (uint64_t(a) << 32 | b);
    t ^= t >> 33;
    t *= 0xFF51AFD7ED558CCDull;
    t ^= t >> 33;
    t *= 0xC4CEB9FE1A85EC53ull;
    t ^= t >> 33;
    return t & mask;
}

const float* DKVHashTable::value_at(uint32_t slot) const {
    return reinterpret_cast<const float*>(pool_ + uint64_t(slot) * value_bytes_);
}

void DKVHashTable::filter_bits(uint32_t a, uint32_t b, uint64_t* p1, uint64_t* p2) const {
    const uint64_t M = filter_words_ * 64;
    *p1 = (uint64_t(b) ^ (uint64_t(a) * 0x100000001B3ull)) % M;
    *p2 = ((uint64_t(b) * 0x9E3779B97F4A7C15ull) ^ (uint64_t(a) * 2)) % M;
}

bool DKVHashTable::filter_has(uint32_t a, uint32_t b) const {
    uint64_t p1, p2;
    filter_bits(a, b, &p1, &p2);
    return (filter_[p1 / 64].load(std::memory_order_relaxed) >> (p1 % 64) & 1) &&
           (filter_[p2 / 64].load(std::memory_order_relaxed) >> (p2 % 64) & 1);
}

void DKVHashTable::filter_set(uint32_t a, uint32_t b) {
    uint64_t p1, p2;
    filter_bits(a, b, &p1, &p2);
    filter_[p1 / 64].fetch_or(uint64_t(1) << (p1 % 64), std::memory_order_relaxed);
    filter_[p2 / 64].fetch_or(uint64_t(1) << (p2 % 64), std::memory_order_relaxed);
}

bool DKVHashTable::pop_free(uint32_t* slot) {
    uint64_t head = free_head_.load(std::memory_order_acquire);
    while (uint32_t(head) != kNoSlot) {
        uint32_t top = uint32_t(head);
        uint64_t next = (head & 0xFFFFFFFF00000000ull) + (uint64_t(1) << 32) +
                        free_next_[top].load(std::memory_order_relaxed);
        if (free_head_.compare_exchange_weak(head, next, std::memory_order_acq_rel, std::memory_order_acquire)) {
            *slot = top;
            return true;
        }
    }
    return false;
}

void DKVHashTable::push_free(uint32_t slot) {
    uint64_t head = free_head_.load(std::memory_order_relaxed);
    for (;;) {
        free_next_[slot].store(uint32_t(head), std::memory_order_relaxed);
        uint64_t next = (head & 0xFFFFFFFF00000000ull) + (uint64_t(1) << 32) + slot;
        if (free_head_.compare_exchange_weak(head, next, std::memory_order_acq_rel, std::memory_order_relaxed))
            return;
    }
}

bool DKVHashTable::take_slot(uint32_t* slot) {
    if (pop_free(slot)) return true;
    uint32_t b = bump_.load(std::memory_order_relaxed);
    while (b < n_slots_) {
        if (bump_.compare_exchange_weak(b, b + 1, std::memory_order_acq_rel, std::memory_order_relaxed)) {
            *slot = b;
            return true;
        }
    }
    return false;
}

void DKVHashTable::try_sweep() {
    if (capacity_ <= 9) return;
    bool expected = false;
    if (!sweeping_.compare_exchange_strong(expected, true, std::memory_order_acquire)) return;
    const uint64_t max_evictions = capacity_ / 10;
    uint64_t evicted = 0;
    for (uint64_t visited = 0; visited < capacity_ && evicted < max_evictions; ++visited) {
        Bucket& bk = buckets_[hand_ & mask_];
        ++hand_;
        uint64_t m = bk.meta.load(std::memory_order_acquire);
        if (!ready(flags_of(m))) continue;
        if (flags_of(m) & kRead) {
            bk.meta.fetch_and(~kReadBit, std::memory_order_acq_rel);
            continue;
        }
        if (bk.meta.compare_exchange_strong(m, meta_of(0, 0, kTomb), std::memory_order_acq_rel)) {
            push_free(slot_of(m));
            live_.fetch_sub(1, std::memory_order_acq_rel);
            ++evicted;
        }
    }
    evictions_.fetch_add(evicted, std::memory_order_relaxed);
    sweeping_.store(false, std::memory_order_release);
}

int32_t DKVHashTable::insert(uint32_t a, uint32_t b, uint64_t pos, const float* value, uint16_t len) {
    if (len > value_bytes_ || (len && !value)) return 0;
    if (live_.load(std::memory_order_relaxed) * 100 / capacity_ >= 90) try_sweep();

    const uint64_t home = home_bucket(a, b, mask_);
    Bucket* claimed = nullptr;
    uint64_t claimed_was = 0;
    // A lost claim race rescans the window, so the winner's entry is seen.
    for (int attempt = 0; attempt < kWindow && !claimed; ++attempt) {
        Bucket* target = nullptr;
        uint64_t target_meta = 0;
        for (int i = 0; i < kWindow; ++i) {
            Bucket& bk = buckets_[(home + uint64_t(i)) & mask_];
            uint64_t m = bk.meta.load(std::memory_order_acquire);
            for (int w = 0; in_progress(flags_of(m)) && w < kMaxWaits; ++w) {
                sched_yield();
                m = bk.meta.load(std::memory_order_acquire);
            }
            const uint8_t f = flags_of(m);
            if (ready(f) && bk.matches(a, b, pos)) return 0;
            if (f == 0 || f == kTomb) {
                if (!target) {
                    target = &bk;
                    target_meta = m;
                }
                if (f == 0) break; // the run ends here: nothing further can match
            }
        }
        if (!target) return 0;
        if (target->meta.compare_exchange_strong(target_meta, meta_of(kNoSlot, 0, kClaimed),
                                                 std::memory_order_acq_rel)) {
            claimed = target;
            claimed_was = target_meta;
        }
    }
    if (!claimed) return 0;

    uint32_t slot = kNoSlot;
    if (!take_slot(&slot)) {
        try_sweep();
        if (!take_slot(&slot)) {
            claimed->meta.store(claimed_was, std::memory_order_release);
            return 0;
        }
    }
    if (len) std::memcpy(pool_ + uint64_t(slot) * value_bytes_, value, len);
    claimed->pos.store(pos, std::memory_order_relaxed);
    claimed->a.store(a, std::memory_order_relaxed);
    claimed->b.store(b, std::memory_order_relaxed);
    claimed->meta.store(meta_of(slot, len, kClaimed | kReady), std::memory_order_release);
    filter_set(a, b);
    live_.fetch_add(1, std::memory_order_acq_rel);
    return 1;
}

void DKVHashTable::prefetch(uint32_t a, uint32_t b) const {
    uint64_t p1, p2;
    filter_bits(a, b, &p1, &p2);
    __builtin_prefetch(&filter_[p1 / 64]);
    __builtin_prefetch(&filter_[p2 / 64]);
    const uint64_t home = home_bucket(a, b, mask_);
    __builtin_prefetch(&buckets_[home]);
    __builtin_prefetch(&buckets_[(home + kWindow - 1) & mask_]);
}

const float* DKVHashTable::lookup(uint32_t a, uint32_t b, uint64_t pos) const {
    if (!filter_has(a, b)) return nullptr;
    const uint64_t home = home_bucket(a, b, mask_);
    for (int i = 0; i < kWindow; ++i) {
        Bucket& bk = buckets_[(home + uint64_t(i)) & mask_];
        uint64_t m = bk.meta.load(std::memory_order_acquire);
        const uint8_t f = flags_of(m);
        if (f == 0) return nullptr;
        if (!ready(f) || !bk.matches(a, b, pos)) continue;
        // The fields were read after the flags; a bucket that changed owner
        // meanwhile is not reported as this key's entry.
        uint64_t cur = m;
        for (;;) {
            if (cur != m && (cur & ~kReadBit) != (m & ~kReadBit)) break;
            if (flags_of(cur) & kRead) return value_at(slot_of(m));
            if (bk.meta.compare_exchange_weak(cur, cur | kReadBit, std::memory_order_acq_rel))
                return value_at(slot_of(m));
        }
    }
    return nullptr;
}

int32_t DKVHashTable::remove(uint32_t a, uint32_t b, uint64_t pos) {
    const uint64_t home = home_bucket(a, b, mask_);
    int32_t removed = 0;
    // Every match in the run goes: a key stored twice by racing inserts
    // must not leave a readable copy behind.
    for (int i = 0; i < kWindow; ++i) {
        Bucket& bk = buckets_[(home + uint64_t(i)) & mask_];
        uint64_t m = bk.meta.load(std::memory_order_acquire);
        if (flags_of(m) == 0) break;
        while (ready(flags_of(m)) && bk.matches(a, b, pos)) {
            if (bk.meta.compare_exchange_weak(m, meta_of(0, 0, kTomb), std::memory_order_acq_rel)) {
                push_free(slot_of(m));
                live_.fetch_sub(1, std::memory_order_acq_rel);
                ++removed;
                break;
            }
        }
    }
    return removed;
}

} // namespace vivirov
