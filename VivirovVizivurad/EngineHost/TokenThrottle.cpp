#include "VivirovVizivurad/EngineHost/TokenThrottle.h"

#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace vivirov {

struct TokenThrottle::State : std::enable_shared_from_this<State> {
    State(TokenSink s, uint64_t i, ClockTimer& t) : sink(std::move(s)), interval(i), timer(t) {}

    std::mutex mutex;
    uint64_t lastEmit = 0;
    std::optional<uint32_t> pending;
    bool scheduled = false;
    const TokenSink sink;
    const uint64_t interval;
    ClockTimer& timer;

    void push(uint32_t token) {
        std::unique_lock lock(mutex);
        const uint64_t now = timer.clock().uptimeNanos();
        if (now - lastEmit >= interval) {
            lastEmit = now;
            pending.reset();
            lock.unlock();
            sink(token);
            return;
        }
        pending = token; // only the newest held token survives
        if (scheduled) return;
        scheduled = true;
        const uint64_t delay = lastEmit + interval - now;
        lock.unlock();
        timer.after(delay, [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->flush();
        });
    }

    void flush() {
        std::unique_lock lock(mutex);
        std::optional<uint32_t> held = std::exchange(pending, std::nullopt);
        scheduled = false;
        lastEmit = timer.clock().uptimeNanos();
        lock.unlock();
        if (held) sink(*held);
    }
};

struct TokenThrottle::StringState : std::enable_shared_from_this<StringState> {
    StringState(TextSink s, uint64_t i, ClockTimer& t) : sink(std::move(s)), interval(i), timer(t) {}

    std::mutex mutex;
    uint64_t lastEmit = 0;
    std::string pending;
    bool scheduled = false;
    const TextSink sink;
    const uint64_t interval;
    ClockTimer& timer;

    void push(const std::string& piece) {
        if (piece.empty()) return;
        std::unique_lock lock(mutex);
        pending += piece;
        const uint64_t now = timer.clock().uptimeNanos();
        const uint64_t elapsed = now - lastEmit;
        if (elapsed >= interval) {
            std::string taken = std::exchange(pending, std::string());
            lastEmit = now;
            lock.unlock();
            sink(taken);
            return;
        }
        if (scheduled) return;
        scheduled = true;
        lock.unlock();
        timer.after(interval - elapsed, [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->flush();
        });
    }

    void flush() {
        std::unique_lock lock(mutex);
        scheduled = false;
        std::string taken = std::exchange(pending, std::string());
        lastEmit = timer.clock().uptimeNanos();
        lock.unlock();
        if (!taken.empty()) sink(taken);
    }
};

TokenThrottle::TokenSink TokenThrottle::wrap(TokenSink onToken, uint64_t intervalNanos, ClockTimer& timer) {
    auto state = std::make_shared<State>(std::move(onToken), intervalNanos, timer);
    return [state](uint32_t token) { state->push(token); };
}

TokenThrottle::TextThrottle TokenThrottle::wrapStringWithFlush(TextSink onPiece, uint64_t intervalNanos,
                                                               ClockTimer& timer) {
    auto state = std::make_shared<StringState>(std::move(onPiece), intervalNanos, timer);
    return {[state](const std::string& piece) { state->push(piece); }, [state] { state->flush(); }};
}

} // namespace vivirov
