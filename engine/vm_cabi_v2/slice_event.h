#pragma once
// The ring's fence on the CPU: a value that only rises, callbacks that run
// once the value reaches their target, and bounded waits. A slice's read
// raises it to the slice's wait value; whoever computes with the slice raises
// it to its signal value when done. A GPU device's shared event takes this
// role when the bridge provides one.
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

namespace vm {

class SliceEvent {
public:
    using Callback = void (*)(uint64_t value, void* ctx);

    uint64_t value() const;
    // Raises the value (a lower one changes nothing) and runs the callbacks
    // whose target it reached, on this thread, outside the lock.
    void signal(uint64_t v);
    // Calls fn(value, ctx) once the value reaches `target` (at once when it has).
    void notify(uint64_t target, Callback fn, void* ctx);
    // True when the value reached `target` within timeout_ms.
    bool wait(uint64_t target, int timeout_ms) const;

private:
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    uint64_t value_ = 0;
    std::multimap<uint64_t, std::pair<Callback, void*>> waiters_;
};

} // namespace vm
