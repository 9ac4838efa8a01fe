#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <stop_token>
#include <string>

#include "VivirovKit/Support/SerialQueue.h"

namespace vivirov {

// Runs shell commands, each in a process group of its own, and ends every
// group it still knows of in one sweep (the kill switch). Thread-safe:
// runBash may run on many threads at once; terminateAll never waits.
class ProcessRegistry {
public:
    struct Result {
        int32_t exit = -1;      // exit status, 128 + signal after a signal, -1 when never started
        bool signaled = false;
        std::string out;        // UTF-8, bad bytes as U+FFFD
        std::string err;
        // Output beyond the kept head and tail (1 MiB each) is dropped; these
        // count the bytes dropped between them.
        size_t outDropped = 0;
        size_t errDropped = 0;
    };

    // How long pipes held open by what a command left running in the
    // background are still read after the shell exits.
    static constexpr int drainGraceMs = 2000;
    static constexpr size_t keptHeadBytes = 1u << 20;
    static constexpr size_t keptTailBytes = 1u << 20;

    ProcessRegistry();
    // Signals nothing: commands still running keep running.
    ~ProcessRegistry();
    ProcessRegistry(const ProcessRegistry&) = delete;
    ProcessRegistry& operator=(const ProcessRegistry&) = delete;

    // Runs `/bin/zsh -lc command` with standard input from /dev/null and
    // blocks until the shell has exited and its output is collected. A
    // timeout of 1 s or more kills the whole group with SIGKILL; 0 or less
    // means none. A stop request kills the group the same way. Never call
    // from the GUI thread.
    Result runBash(const std::string& command, int timeoutSeconds, std::stop_token stop = {});

    // SIGTERM to every registered group now, SIGKILL to those still
    // registered `graceMs` later; commands that start meanwhile are killed
    // at once. Returns at once.
    void terminateAll(int graceMs);

private:
    void registerGroup(int pgid);
    void unregisterGroup(int pgid);
    void sweep();

    std::mutex lock_;
    std::set<int32_t> live_;   // groups started and not yet reaped
    bool stopping_ = false;    // from terminateAll until its sweep
    std::atomic<bool> dropped_{false};
    SerialQueue killQueue_{"com.dudive.vivirov.killswitch"}; // last: destroyed first
};

} // namespace vivirov
