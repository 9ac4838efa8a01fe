#include "common/engine_log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace vm {

void log_line(const char* fmt, ...) {
    char stack[1024];
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(stack, sizeof stack, fmt, args);
    va_end(args);
    std::string line;
    if (n < 0) {
        va_end(copy);
        return;
    }
    if (size_t(n) < sizeof stack) {
        line.assign(stack, size_t(n));
    } else {
        line.resize(size_t(n) + 1);
        vsnprintf(line.data(), line.size(), fmt, copy);
        line.resize(size_t(n));
    }
    va_end(copy);
    line.push_back('\n');
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t w = ::write(STDERR_FILENO, p, left);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += w;
        left -= size_t(w);
    }
}

} // namespace vm
