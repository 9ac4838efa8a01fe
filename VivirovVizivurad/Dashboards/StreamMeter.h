#pragma once
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string_view>

namespace vivirov {

class Clock;

// Watches the pace of a streamed answer: when each piece arrived (over the
// last 2 s) and a running hash of the text, which gives the avatar's drives a
// little life. Callable from any thread.
class StreamMeter {
public:
    struct Drives {
        double tps = 0;     // pieces per second over the window
        double entropy = 0; // 0…1, from the running hash
        double pitch = 0;   // -1…1
        double yaw = 0;     // -1…1
        double scale = 1;   // 1…1.5, grows with the rate
        bool operator==(const Drives&) const = default;
    };

    static constexpr uint64_t windowNanos = 2'000'000'000;
    static constexpr uint64_t publishIntervalNanos = 50'000'000;

    // The process clock unless a test gives its own.
    explicit StreamMeter(Clock* clock = nullptr);

    // Records one piece; drives at most once per 50 ms, none otherwise.
    std::optional<Drives> note(std::string_view piece);
    // Forgets the window and the last publish time.
    void reset();
    // Pieces that arrived within the last 2 s.
    size_t piecesInWindow() const;

private:
    uint64_t now() const;
    void dropExpiredLocked(uint64_t now);

    Clock* clock_;
    mutable std::mutex mutex_;
    std::deque<uint64_t> arrivals_;
    uint64_t hash_ = 1469598103934665603ull;
    std::optional<uint64_t> lastPublish_;
};

} // namespace vivirov
