#include "VivirovVizivurad/EngineHost/GuiClockTicker.h"

#include "VivirovVizivurad/EngineHost/ClockTimer.h"
#include "VivirovVizivurad/EngineHost/GuiThread.h"

namespace vivirov {

void GuiClockTicker::start(uint64_t intervalNanos, std::function<void()> tick) {
    stop();
    state_ = std::make_shared<State>();
    state_->tick = std::move(tick);
    interval_ = intervalNanos;
    schedule(timer_, state_, 0, intervalNanos);
}

void GuiClockTicker::setInterval(uint64_t intervalNanos) {
    if (!state_) return;
    interval_ = intervalNanos;
    const uint64_t generation = state_->generation.fetch_add(1) + 1;
    schedule(timer_, state_, generation, intervalNanos);
}

void GuiClockTicker::stop() {
    if (!state_) return;
    state_->generation.fetch_add(1);
    state_.reset();
}

void GuiClockTicker::schedule(ClockTimer& timer, const std::shared_ptr<State>& state, uint64_t generation,
                              uint64_t intervalNanos) {
    std::weak_ptr<State> weak = state;
    timer.after(intervalNanos, [&timer, weak, generation, intervalNanos] {
        postToGuiThread([&timer, weak, generation, intervalNanos] {
            auto s = weak.lock();
            if (!s || s->generation.load() != generation) return;
            auto tick = s->tick; // the tick may stop the ticker
            tick();
            if (s->generation.load() == generation) schedule(timer, s, generation, intervalNanos);
        });
    });
}

} // namespace vivirov
