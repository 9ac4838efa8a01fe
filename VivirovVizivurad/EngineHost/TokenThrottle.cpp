#include "VivirovVizivurad/EngineHost/TokenThrottle.h"

#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace vivirov {

namespace {

// What a throttle holds between deliveries: the newest token, or every
// piece of text joined.
void hold(std::optional<uint32_t>& held, uint32_t token) { held = token; }
void hold(std::string& held, const std::string& piece) { held += piece; }
bool holdsSomething(const std::optional<uint32_t>& held) { return held.has_value(); }
bool holdsSomething(const std::string& held) { return !held.empty(); }
uint32_t delivered(const std::optional<uint32_t>& held) { return *held; }
const std::string& delivered(const std::string& held) { return held; }

} // namespace

template <class Held, class Sink>
struct TokenThrottle::State : std::enable_shared_from_this<State<Held, Sink>> {
    State(Sink s, uint64_t i, ClockTimer& t) : sink(std::move(s)), interval(i), timer(t) {}

    // Held across the sink call, so deliveries keep their order and an
    // explicit flush cannot return while a deferred one is still delivering.
    std::mutex mutex;
    uint64_t lastEmit = 0;
    Held pending{};
    bool scheduled = false;
    const Sink sink;
    const uint64_t interval;
    ClockTimer& timer;

    template <class Value>
    void push(const Value& value) {
        std::unique_lock lock(mutex);
        hold(pending, value);
        const uint64_t now = timer.clock().uptimeNanos();
        const uint64_t elapsed = now - lastEmit;
        if (elapsed >= interval) {
            lastEmit = now;
            deliver(std::exchange(pending, Held{}));
            return;
        }
        if (scheduled) return;
        scheduled = true;
        lock.unlock();
        timer.after(interval - elapsed, [weak = this->weak_from_this()] {
            if (auto self = weak.lock()) self->flush();
        });
    }

    void flush() {
        std::lock_guard lock(mutex);
        scheduled = false;
        // A flush that finds nothing is no delivery: the interval still
        // counts from the last one.
        if (holdsSomething(pending)) {
            lastEmit = timer.clock().uptimeNanos();
            deliver(std::exchange(pending, Held{}));
        }
    }

    void deliver(const Held& taken) {
        if (holdsSomething(taken)) sink(delivered(taken));
    }
};

TokenThrottle::TokenSink TokenThrottle::wrap(TokenSink onToken, uint64_t intervalNanos, ClockTimer& timer) {
    return wrapWithFlush(std::move(onToken), intervalNanos, timer).push;
}

TokenThrottle::TokenThrottleSink TokenThrottle::wrapWithFlush(TokenSink onToken, uint64_t intervalNanos,
                                                              ClockTimer& timer) {
    auto state = std::make_shared<State<std::optional<uint32_t>, TokenSink>>(std::move(onToken), intervalNanos,
                                                                             timer);
    return {[state](uint32_t token) { state->push(token); }, [state] { state->flush(); }};
}

TokenThrottle::TextThrottle TokenThrottle::wrapStringWithFlush(TextSink onPiece, uint64_t intervalNanos,
                                                               ClockTimer& timer) {
    auto state = std::make_shared<State<std::string, TextSink>>(std::move(onPiece), intervalNanos, timer);
    return {[state](const std::string& piece) {
                if (!piece.empty()) state->push(piece);
            },
            [state] { state->flush(); }};
}

} // namespace vivirov
