#include "vm_v2/doorbell.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>

namespace vivirov {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "the futex word is the atomic itself");

void Doorbell::wake() {
    bell_.fetch_add(1, std::memory_order_release);
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&bell_), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void Doorbell::wait(uint32_t seen, std::chrono::microseconds most) {
    const long long us = most.count() > 0 ? most.count() : 1;
    const timespec timeout{time_t(us / 1'000'000), long(us % 1'000'000) * 1000};
    // Returns at once when a ring came after `seen` was read; spurious
    // returns only cost the caller one more look at its queue.
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&bell_), FUTEX_WAIT_PRIVATE, seen, &timeout, nullptr, 0);
}

} // namespace vivirov
