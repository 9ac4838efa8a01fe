#pragma once
#include <atomic>

namespace vivirov {

// A process-wide budget of interface changes per frame: at most nine are
// admitted between two resets, and every further request is counted as
// deferred. The engine's UI breath reads the deferred count and resets the
// frame from its own queue while views ask from the GUI thread, so the
// counters are atomic.
class FrameGovernor {
public:
    static constexpr int maxMutationsPerFrame = 9;

    static FrameGovernor& shared();

    // Admits one change (true) or counts it as deferred (false).
    bool canMutate();
    bool admitUIUpdate() { return canMutate(); }
    // Starts a new frame.
    void tick();

    int remaining() const;
    int deferredThisFrame() const { return dropped_.load(std::memory_order_relaxed); }

    // The UI pause the breath asks of the engine: 1500 µs when any request
    // was deferred since the last breath, else 0. It then starts a new frame.
    int breathPauseMicroseconds();

    FrameGovernor() = default;
    FrameGovernor(const FrameGovernor&) = delete;
    FrameGovernor& operator=(const FrameGovernor&) = delete;

private:
    std::atomic<int> used_{0};
    std::atomic<int> dropped_{0};
};

} // namespace vivirov
