#pragma once
#include <stdexcept>
#include <stop_token>

namespace vivirov {

// Thrown by long operations whose task was asked to stop.
struct CancellationError : std::runtime_error {
    CancellationError() : std::runtime_error("cancelled") {}
};

inline void throwIfCancelled(const std::stop_token& token) {
    if (token.stop_requested()) throw CancellationError();
}

} // namespace vivirov
