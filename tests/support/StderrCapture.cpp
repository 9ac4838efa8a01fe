#include "tests/support/StderrCapture.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace vivirov::test {

StderrCapture::StderrCapture() {
    fflush(stderr);
    char name[] = "/tmp/vivirov-stderr-XXXXXX";
    captureFd_ = mkstemp(name);
    unlink(name);
    savedFd_ = dup(STDERR_FILENO);
    dup2(captureFd_, STDERR_FILENO);
}

StderrCapture::~StderrCapture() {
    fflush(stderr);
    dup2(savedFd_, STDERR_FILENO);
    close(savedFd_);
    close(captureFd_);
}

std::string StderrCapture::text() const {
    fflush(stderr);
    std::string out;
    char buffer[4096];
    off_t offset = 0;
    for (;;) {
        ssize_t n = pread(captureFd_, buffer, sizeof buffer, offset);
        if (n <= 0) break;
        out.append(buffer, size_t(n));
        offset += n;
    }
    return out;
}

} // namespace vivirov::test
