#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace vivirov {

class ClockTimer;

// A repeating timer whose firings run on the GUI thread: the clock timer's
// thread only posts each firing there, so a busy GUI thread delays ticks and
// never runs two at once. By default firings keep their cadence: a late tick
// does not push the later ones back, and ticks missed during a long stall
// are coalesced into one. A ticker that paces work instead waits a whole
// interval after each tick has run. Time is read from the timer's clock, so a test
// drives the ticks by advancing a FakeClock. GUI thread only.
class GuiClockTicker {
public:
    explicit GuiClockTicker(ClockTimer& timer) : timer_(timer) {}
    // Firings already posted see the ticker gone and do nothing.
    ~GuiClockTicker() { stop(); }
    GuiClockTicker(const GuiClockTicker&) = delete;
    GuiClockTicker& operator=(const GuiClockTicker&) = delete;

    enum class Pacing { cadence, afterEachTick };
    // Runs `tick` every interval, the first time one interval from now;
    // replaces any earlier schedule.
    void start(uint64_t intervalNanos, std::function<void()> tick, Pacing pacing = Pacing::cadence);
    // The next firing one interval from now, then every interval. A tick may
    // call it to change its own cadence.
    void setInterval(uint64_t intervalNanos);
    void stop();
    bool isRunning() const { return state_ != nullptr; }
    uint64_t interval() const { return interval_; }

private:
    struct State {
        std::atomic<uint64_t> generation{0};
        std::function<void()> tick;
        Pacing pacing = Pacing::cadence;
    };
    // Fires at `due` (uptime nanoseconds), then every interval after it.
    static void schedule(ClockTimer& timer, const std::shared_ptr<State>& state, uint64_t generation,
                         uint64_t intervalNanos, uint64_t due);

    ClockTimer& timer_;
    std::shared_ptr<State> state_;
    uint64_t interval_ = 0;
};

} // namespace vivirov
