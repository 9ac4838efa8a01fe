#include "VivirovVizivurad/EngineHost/StreamCoalescer.h"

#include "VivirovKit/Support/Text.h"

#include <algorithm>

namespace vivirov {

void StreamCoalescer::begin(const UUID& target, int epoch) {
    std::lock_guard lock(mutex_);
    buffer_.clear();
    head_ = 0;
    target_ = target;
    epoch_ = epoch;
}

void StreamCoalescer::append(std::string_view text, int epoch) {
    if (text.empty()) return;
    std::lock_guard lock(mutex_);
    if (epoch != epoch_) return;
    buffer_.append(text);
}

StreamCoalescer::Drained StreamCoalescer::drain(int maxChars) {
    std::lock_guard lock(mutex_);
    Drained out{{}, target_};
    std::string_view pending(buffer_.data() + head_, buffer_.size() - head_);
    if (pending.empty()) return out;
    size_t take = pending.size();
    if (maxChars > 0) {
        // Only the first maxChars clusters are walked: the cost of a tick
        // never depends on how much is still queued. The ICU break iterator
        // needs to see past the cut to place it, so it gets a bounded window.
        const auto n = static_cast<size_t>(maxChars);
        size_t window = n * 64 + 64;
        for (;;) {
            if (window >= pending.size()) {
                take = text::graphemeByteOffset(pending, n);
                break;
            }
            // End the window on a whole UTF-8 sequence so ICU sees no false error.
            std::string_view part = pending.substr(0, text::completeUTF8PrefixLength(pending.substr(0, window)));
            size_t cut = text::graphemeByteOffset(part, n);
            if (cut < part.size()) { take = cut; break; }
            window *= 2; // very long clusters: look further
        }
    }
    out.text.assign(pending.substr(0, take));
    head_ += take;
    compactLocked();
    return out;
}

StreamCoalescer::Drained StreamCoalescer::takeAll() {
    std::lock_guard lock(mutex_);
    Drained out{pendingLocked(), target_};
    buffer_.clear();
    head_ = 0;
    return out;
}

void StreamCoalescer::reset() {
    std::lock_guard lock(mutex_);
    buffer_.clear();
    head_ = 0;
    target_.reset();
    epoch_ = 0;
}

int StreamCoalescer::epoch() const {
    std::lock_guard lock(mutex_);
    return epoch_;
}

std::optional<UUID> StreamCoalescer::target() const {
    std::lock_guard lock(mutex_);
    return target_;
}

bool StreamCoalescer::isEmpty() const {
    std::lock_guard lock(mutex_);
    return head_ == buffer_.size();
}

void StreamCoalescer::compactLocked() {
    if (head_ == buffer_.size()) {
        buffer_.clear();
        head_ = 0;
    } else if (head_ > 4096 && head_ * 2 > buffer_.size()) {
        // Amortised: the shift happens once per buffer-length of drained text.
        buffer_.erase(0, head_);
        head_ = 0;
    }
}

} // namespace vivirov
