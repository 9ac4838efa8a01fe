#include "VivirovVizivurad/ChatColumn/FrameGovernor.h"

#include <algorithm>

namespace vivirov {

FrameGovernor& FrameGovernor::shared() {
    static FrameGovernor instance;
    return instance;
}

bool FrameGovernor::canMutate() {
    // Claim a slot only while one is left, so a reset between the read and
    // the claim cannot push `used` past the budget.
    int used = used_.load(std::memory_order_relaxed);
    while (used < maxMutationsPerFrame) {
        if (used_.compare_exchange_weak(used, used + 1, std::memory_order_relaxed)) return true;
    }
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return false;
}

void FrameGovernor::tick() {
    used_.store(0, std::memory_order_relaxed);
    dropped_.store(0, std::memory_order_relaxed);
}

int FrameGovernor::remaining() const {
    return std::max(0, maxMutationsPerFrame - used_.load(std::memory_order_relaxed));
}

int FrameGovernor::breathPauseMicroseconds() {
    const int pause = deferredThisFrame() >= 1 ? 1500 : 0;
    tick();
    return pause;
}

} // namespace vivirov
