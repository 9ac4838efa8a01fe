#include "VivirovVizivurad/Dashboards/StreamMeter.h"

#include <algorithm>

#include "VivirovKit/Support/Clock.h"

namespace vivirov {

StreamMeter::StreamMeter(Clock* clock) : clock_(clock) {}

uint64_t StreamMeter::now() const { return (clock_ ? *clock_ : Clock::current()).uptimeNanos(); }

void StreamMeter::dropExpiredLocked(uint64_t now) {
    while (!arrivals_.empty() && now - arrivals_.front() > windowNanos) arrivals_.pop_front();
}

std::optional<StreamMeter::Drives> StreamMeter::note(std::string_view piece) {
    const uint64_t t = now();
    std::lock_guard lock(mutex_);
    arrivals_.push_back(t);
    dropExpiredLocked(t);
    for (unsigned char c : piece) hash_ = (hash_ ^ c) * 1099511628211ull; // FNV-1a
    if (lastPublish_ && t - *lastPublish_ < publishIntervalNanos) return std::nullopt;
    lastPublish_ = t;

    Drives drives;
    drives.tps = double(arrivals_.size()) * 1e9 / double(windowNanos);
    drives.entropy = double(hash_ & 0xFFFF) / 65535.0;
    drives.pitch = double((hash_ >> 16) & 0xFFFF) / 32767.5 - 1.0;
    drives.yaw = double((hash_ >> 32) & 0xFFFF) / 32767.5 - 1.0;
    drives.scale = 1.0 + std::min(drives.tps / 100.0, 0.5);
    return drives;
}

void StreamMeter::reset() {
    std::lock_guard lock(mutex_);
    arrivals_.clear();
    lastPublish_.reset();
}

size_t StreamMeter::piecesInWindow() const {
    std::lock_guard lock(mutex_);
    return arrivals_.size();
}

} // namespace vivirov
