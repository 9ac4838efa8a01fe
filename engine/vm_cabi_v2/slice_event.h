#pragma once
// The ring's fence: a value that only rises and callbacks that run once the
// value reaches their target. A slice's read raises it to the slice's wait
// value; whoever computes with the slice raises it to its signal value when
// done. With a GPU device it is the bridge's shared event (so GPU work can
// wait on reads and signal its completion, and callbacks run on the bridge's
// listener thread); without one it lives on the CPU and callbacks run on the
// signalling thread. value() and wait() see the signals given here.
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

namespace vm {

class SliceEvent {
public:
    using Callback = void (*)(uint64_t value, void* ctx);

    // gpu_event: a bridge shared event to own and forward to, or null.
    explicit SliceEvent(void* gpu_event = nullptr) : gpu_(gpu_event) {}
    ~SliceEvent();
    SliceEvent(const SliceEvent&) = delete;
    SliceEvent& operator=(const SliceEvent&) = delete;
    void* gpu_handle() const { return gpu_; }

    uint64_t value() const;
    // Raises the value (a lower one changes nothing) and runs the callbacks
    // whose target it reached, on this thread, outside the lock.
    void signal(uint64_t v);
    // Calls fn(value, ctx) once the value reaches `target` (at once when it has).
    void notify(uint64_t target, Callback fn, void* ctx);
    // True when the value reached `target` within timeout_ms.
    bool wait(uint64_t target, int timeout_ms) const;

private:
    void* gpu_ = nullptr;
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    uint64_t value_ = 0;
    std::multimap<uint64_t, std::pair<Callback, void*>> waiters_;
};

} // namespace vm
