#include "VivirovVizivurad/EngineHost/GuiClockTicker.h"

#include "VivirovVizivurad/EngineHost/ClockTimer.h"
#include "VivirovVizivurad/EngineHost/GuiThread.h"

namespace vivirov {

void GuiClockTicker::start(uint64_t intervalNanos, std::function<void()> tick, Pacing pacing) {
    stop();
    state_ = std::make_shared<State>();
    state_->tick = std::move(tick);
    state_->pacing = pacing;
    interval_ = intervalNanos;
    schedule(timer_, state_, 0, intervalNanos, timer_.clock().uptimeNanos() + intervalNanos);
}

void GuiClockTicker::setInterval(uint64_t intervalNanos) {
    if (!state_) return;
    interval_ = intervalNanos;
    const uint64_t generation = state_->generation.fetch_add(1) + 1;
    schedule(timer_, state_, generation, intervalNanos, timer_.clock().uptimeNanos() + intervalNanos);
}

void GuiClockTicker::stop() {
    if (!state_) return;
    state_->generation.fetch_add(1);
    state_.reset();
}

void GuiClockTicker::schedule(ClockTimer& timer, const std::shared_ptr<State>& state, uint64_t generation,
                              uint64_t intervalNanos, uint64_t due) {
    const uint64_t now = timer.clock().uptimeNanos();
    std::weak_ptr<State> weak = state;
    timer.after(due > now ? due - now : 0, [&timer, weak, generation, intervalNanos, due] {
        postToGuiThread([&timer, weak, generation, intervalNanos, due] {
            auto s = weak.lock();
            if (!s || s->generation.load() != generation) return;
            auto tick = s->tick; // the tick may stop the ticker
            tick();
            if (s->generation.load() != generation) return;
            const uint64_t after = timer.clock().uptimeNanos();
            const uint64_t next = s->pacing == Pacing::cadence ? due + intervalNanos : after + intervalNanos;
            schedule(timer, s, generation, intervalNanos, next > after ? next : after);
        });
    });
}

} // namespace vivirov
