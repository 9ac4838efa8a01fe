#pragma once
#include <cstdint>
#include <string>

namespace vivirov {

// What one run of a success criterion came to.
struct ProcessResult {
    std::string command; // the criterion's own text, without the shell around it
    int32_t exitCode = 0;
    std::string stdout;  // whole stream, UTF-8 with invalid sequences replaced
    std::string stderr;
    // Ended by a signal, stopped by the time limit or by a cancellation, or
    // never started because of a cancellation.
    bool signaled = false;

    bool succeeded() const { return exitCode == 0 && !signaled; }
    bool operator==(const ProcessResult&) const = default;
};

} // namespace vivirov
