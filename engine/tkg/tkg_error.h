#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tkg {

// Copies a message into a caller's buffer, cut to size - 1 bytes and ended
// with a zero byte; nothing when the buffer is missing or has no room.
inline void copyError(std::string_view message, char* buf, int32_t size) {
    if (!buf || size < 1) return;
    const size_t n = std::min(message.size(), size_t(size) - 1);
    std::memcpy(buf, message.data(), n);
    buf[n] = 0;
}

} // namespace tkg
