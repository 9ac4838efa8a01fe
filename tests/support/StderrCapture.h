#pragma once
#include <string>

namespace vivirov::test {

// Redirects file descriptor 2 into a temporary file while alive; text()
// returns what was written so far. Not for concurrent use across tests.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    std::string text() const;

private:
    int savedFd_ = -1;
    int captureFd_ = -1;
};

} // namespace vivirov::test
