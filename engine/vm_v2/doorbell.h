#pragma once
// Lets a consumer thread sleep while its queue is empty instead of polling:
// an idle poller wakes thousands of times a second and takes cores from the
// decode pool. A ring costs one load while nobody sleeps, and one wake call
// when someone does.
//
// No wake is lost when the producer publishes with a sequentially consistent
// store or read-modify-write before ring(), and the sleeper's ready() reads it
// with a sequentially consistent load: either ready() sees the work, or
// ring() sees the sleeper.
#include <atomic>
#include <chrono>
#include <cstdint>

namespace vivirov {

// A line of its own: sleepers write it, every producer reads it.
class alignas(64) Doorbell {
public:
    // After publishing work (or a stop request) that a sleeper must see.
    void ring() {
        if (sleepers_.load(std::memory_order_seq_cst) != 0) wake();
    }

    // Sleeps until ready() holds, a ring, or `most` passes (a safety bound:
    // every publisher rings). Returns at once when ready() holds already.
    template <class Ready>
    void sleep_unless(Ready ready, std::chrono::microseconds most) {
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        const uint32_t seen = bell_.load(std::memory_order_acquire);
        if (!ready()) wait(seen, most);
        sleepers_.fetch_sub(1, std::memory_order_relaxed);
    }

private:
    void wake();
    void wait(uint32_t seen, std::chrono::microseconds most);

    std::atomic<uint32_t> bell_{0};
    std::atomic<uint32_t> sleepers_{0};
};

} // namespace vivirov
