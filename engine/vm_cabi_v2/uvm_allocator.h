#pragma once
// FIFO slot allocator over the wired expert ring. Slots are handed out in
// ring order and must be released in the same order; an allocation that
// would cross the end pads the tail with a filler and starts at offset 0.
// A full ring waits for releases, at most slot_wait_ms (then null), so a
// caller that holds every slot itself fails instead of hanging.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "locked_arena.h"

namespace vm {

class VMUVMAllocator {
public:
    struct Region {
        uint64_t offset = 0;
        uint64_t bytes = 0;
        bool filler = false;
    };

    // Throws UvmSetupError (after its "[FATAL] …" line) when the arena
    // cannot be had or is above the ceiling, or wiring is refused under
    // strict wiring (VIVIROV_SKIP_MLOCK unset or '0').
    VMUVMAllocator(size_t capacity, size_t ceiling);

    // wait false: null at once when the ring has no room now.
    void* allocate_expert_slot(size_t bytes, size_t* out_offset, bool wait = true);
    void release_expert_slot(void* host);

    uint8_t* base() const { return static_cast<uint8_t*>(arena_.base); }
    uint64_t capacity() const { return capacity_; }
    bool strict_wire() const { return strict_wire_; }
    bool wired() const { return arena_.wired(); }
    uint64_t in_use() const;
    size_t live_regions() const;
    void set_slot_wait_ms(int ms) { slot_wait_ms_ = ms; }

private:
    uint64_t capacity_;
    bool strict_wire_;
    LockedArena arena_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Region> regions_;
    uint64_t in_use_ = 0;
    uint64_t head_ = 0;
    int slot_wait_ms_ = 30000;
};

} // namespace vm
