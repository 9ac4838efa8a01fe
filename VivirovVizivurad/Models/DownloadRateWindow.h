#pragma once
#include <cstdint>
#include <optional>

namespace vivirov {

// Measures a transfer's rate over windows of at least half a second; the
// first window opens when the transfer starts, with nothing received.
class DownloadRateWindow {
public:
    static constexpr uint64_t kWindowNanos = 500'000'000;

    explicit DownloadRateWindow(uint64_t startNanos) : t0_(startNanos) {}

    // Bytes per second when this sample closes a window (and opens the
    // next); none while the window is still open.
    std::optional<double> sample(uint64_t nowNanos, int64_t received) {
        if (nowNanos < t0_ || nowNanos - t0_ < kWindowNanos) return std::nullopt;
        const double rate = double(received - b0_) / (double(nowNanos - t0_) / 1e9);
        t0_ = nowNanos;
        b0_ = received;
        return rate;
    }

private:
    uint64_t t0_;
    int64_t b0_ = 0;
};

} // namespace vivirov
