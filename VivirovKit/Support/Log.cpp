#include "VivirovKit/Support/Log.h"

#include <cerrno>
#include <string>
#include <unistd.h>

namespace vivirov {

void logLine(std::string_view line) {
    std::string buffer;
    buffer.reserve(line.size() + 1);
    buffer.append(line);
    buffer.push_back('\n');
    const char* data = buffer.data();
    size_t left = buffer.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, data, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
}

} // namespace vivirov
