#pragma once
#include <chrono>
#include <functional>
#include <thread>

namespace vivirov::test {

// Polls `condition` until it holds or `limit` passes; returns whether it held.
// For tests that wait on another thread; never a timing assertion.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace vivirov::test
