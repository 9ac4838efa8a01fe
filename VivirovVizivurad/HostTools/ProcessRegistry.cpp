#include "VivirovVizivurad/HostTools/ProcessRegistry.h"

#include <csignal>
#include <cstring>

#include "VivirovKit/Support/ProcessRunner.h"
#include "VivirovKit/Support/Text.h"

namespace vivirov {

ProcessRegistry::ProcessRegistry() = default;

ProcessRegistry::~ProcessRegistry() {
    // A sweep already queued runs while the queue is torn down; it must not
    // kill anything once its registry is gone.
    dropped_ = true;
}

ProcessRegistry::Result ProcessRegistry::runBash(const std::string& command, int timeoutSeconds,
                                                 std::stop_token stop) {
    ProcessRequest request;
    request.program = ProgramPaths::path("zsh");
    request.arguments = {"-lc", command};
    request.noTimeLimit = timeoutSeconds < 1;
    request.timeLimit = std::chrono::seconds(std::max(timeoutSeconds, 0));
    request.killGroupOnExit = false;
    request.drainAfterExit = std::chrono::milliseconds(drainGraceMs);
    request.maxOutputBytes = keptHeadBytes;
    request.keepTailBytes = keptTailBytes;
    request.stopToken = std::move(stop);
    // The group stays registered exactly while its leader is unreaped, so a
    // signal sent under the lock can never reach a reused group id.
    request.onStarted = [this](int pgid) { registerGroup(pgid); };
    request.beforeReap = [this](int pgid) { unregisterGroup(pgid); };

    ProcessRunResult run = ProcessRunner::run(request);
    Result result;
    if (!run.started) {
        using StartFailure = ProcessRunResult::StartFailure;
        if (run.startFailure == StartFailure::pipe)
            result.err = "error: pipe() failed";
        else
            result.err = "error: posix_spawn failed (rc " + std::to_string(run.startErrorCode) + ": " +
                         std::strerror(run.startErrorCode) + ")";
        return result;
    }
    result.signaled = run.signaled;
    result.exit = run.signaled ? 128 + run.exitStatus : run.exitStatus;
    result.out = text::decodeUTF8Lossy(run.stdoutData);
    result.err = text::decodeUTF8Lossy(run.stderrData);
    result.outDropped = run.stdoutDroppedBytes;
    result.errDropped = run.stderrDroppedBytes;
    return result;
}

void ProcessRegistry::registerGroup(int pgid) {
    std::lock_guard guard(lock_);
    live_.insert(pgid);
    // Nothing started during a sweep's grace time survives it.
    if (stopping_) ::killpg(pgid, SIGKILL);
}

void ProcessRegistry::unregisterGroup(int pgid) {
    std::lock_guard guard(lock_);
    live_.erase(pgid);
}

void ProcessRegistry::terminateAll(int graceMs) {
    bool sweepPending;
    {
        std::lock_guard guard(lock_);
        sweepPending = stopping_;
        stopping_ = true;
        for (int32_t pgid : live_) ::killpg(pgid, SIGTERM);
    }
    if (sweepPending) return;
    killQueue_.asyncAfter(std::chrono::milliseconds(std::max(graceMs, 0)), [this] { sweep(); });
}

void ProcessRegistry::sweep() {
    if (dropped_) return;
    std::lock_guard guard(lock_);
    for (int32_t pgid : live_) ::killpg(pgid, SIGKILL);
    stopping_ = false;
}

} // namespace vivirov
