#include "VivirovKit/Verification/ShellVerificationCommand.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "VivirovKit/Support/ProcessRunner.h"
#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {

// Seconds to a time limit the runner can add to its clock without overflow.
std::chrono::milliseconds timeLimitFor(double seconds) {
    constexpr double longest = 1e7; // about four months
    const double clamped = std::isnan(seconds) ? 0 : std::clamp(seconds, 0.0, longest);
    return std::chrono::milliseconds(static_cast<int64_t>(std::llround(clamped * 1000)));
}

} // namespace

ShellVerificationCommand::ShellVerificationCommand(std::string command, std::string workingDirectory,
                                                   double timeout)
    : command_(std::move(command)), workingDirectory_(std::move(workingDirectory)), timeout_(timeout) {}

ProcessResult ShellVerificationCommand::execute(std::stop_token token) const {
    ProcessResult result;
    result.command = command_;
    if (token.stop_requested()) {
        result.exitCode = kTimedOutExitCode;
        result.stderr = "cancelled before launch";
        result.signaled = true;
        return result;
    }

    ProcessRequest request;
    request.program = ProgramPaths::path("zsh");
    request.arguments = {"-lc", command_};
    request.workingDirectory = workingDirectory_;
    request.timeLimit = timeLimitFor(timeout_);
    request.terminateGrace = kTerminateGrace;
    // The whole output is the criterion's evidence; the verifier clips it.
    request.maxOutputBytes = std::numeric_limits<size_t>::max();
    request.stopToken = token;
    const ProcessRunResult run = ProcessRunner::run(request);

    if (!run.started) {
        result.exitCode = -1;
        result.stderr = "spawn failed: " + run.startError;
        return result;
    }
    result.stdout = text::decodeUTF8Lossy(run.stdoutData);
    result.stderr = text::decodeUTF8Lossy(run.stderrData);
    if (run.timedOut) {
        result.exitCode = kTimedOutExitCode;
        result.signaled = true;
    } else {
        result.exitCode = run.exitStatus;
        // A stopped run never counts as a pass, even if the shell caught the
        // signal and exited with 0.
        result.signaled = run.signaled || run.cancelled;
    }
    return result;
}

} // namespace vivirov
