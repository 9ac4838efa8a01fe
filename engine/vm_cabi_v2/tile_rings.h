#pragma once
// Two small buffer rings the model builds beside the expert ring: the tile
// ring (round-robin float slots for reconstructed expert tiles, wired when
// the system allows, capped at 256 MiB) and the decompress ring (plain
// zero-filled byte slots).
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace vm::vezev {

class VezevTileRing {
public:
    static constexpr uint64_t kCapBytes = 268435456; // 256 MiB

    struct Slot {
        float* data = nullptr;
        int32_t layer = -1;
        int32_t expert = -1;
        int32_t proj = -1;
        uint64_t ring_offset = 0;
    };

    VezevTileRing(size_t slots, size_t slot_floats);
    ~VezevTileRing();
    VezevTileRing(const VezevTileRing&) = delete;
    VezevTileRing& operator=(const VezevTileRing&) = delete;

    // The next slot in round-robin order.
    Slot& take();

    uint64_t n_slots = 1;
    uint64_t slot_floats = 0;
    uint64_t next = 0;
    uint64_t bytes = 0;
    float* base = nullptr;
    void* gpu_buffer = nullptr; // set when a GPU device registers the ring
    std::vector<Slot> slots;

private:
    bool wired_ = false;
};

} // namespace vm::vezev

namespace vm::ane_dec {

class DecompressRing {
public:
    struct Slot {
        uint8_t* data = nullptr;
        size_t size = 0;
        int64_t key = -1;
        uint64_t a = 0, b = 0;
    };

    DecompressRing(size_t slots, size_t slot_bytes);

    size_t n_slots;
    size_t slot_bytes;
    uint64_t counter = 0;
    std::vector<Slot> slots;
    std::vector<uint8_t> buffer;
    std::mutex mu;
    uint64_t stat_a = 0, stat_b = 0;
};

} // namespace vm::ane_dec
