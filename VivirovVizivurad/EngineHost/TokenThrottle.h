#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "VivirovVizivurad/EngineHost/ClockTimer.h"

namespace vivirov {

// Limits a sink fed from engine threads to one delivery per interval, with
// one deferred flush for what arrives in between. The first push is
// delivered at once. The token form keeps only the newest held token; the
// text form joins every piece held, so nothing is lost. Deliveries never
// overlap and keep their order, and once an explicit flush has returned,
// nothing pushed before it is delivered later. A deferred flush holds its
// throttle weakly: once the sink closures are gone it does nothing.
class TokenThrottle {
public:
    static constexpr uint64_t kFrameNanos = 16'666'667;       // chat text and user jobs
    static constexpr uint64_t kBackgroundNanos = 100'000'000; // background jobs

    using TokenSink = std::function<void(uint32_t)>;
    using TextSink = std::function<void(const std::string&)>;
    struct TokenThrottleSink {
        TokenSink push;
        std::function<void()> flush; // delivers what is held now
    };
    struct TextThrottle {
        std::function<void(const std::string&)> push;
        std::function<void()> flush; // delivers what is held now
    };

    // The timer must outlive the returned closures.
    static TokenSink wrap(TokenSink onToken, uint64_t intervalNanos, ClockTimer& timer = ClockTimer::shared());
    static TokenThrottleSink wrapWithFlush(TokenSink onToken, uint64_t intervalNanos,
                                           ClockTimer& timer = ClockTimer::shared());
    static TextThrottle wrapStringWithFlush(TextSink onPiece, uint64_t intervalNanos,
                                            ClockTimer& timer = ClockTimer::shared());

private:
    template <class Held, class Sink>
    struct State;
};

} // namespace vivirov
