#pragma once
#include <chrono>
#include <string>

#include "VivirovKit/Verification/VerificationCommand.h"

namespace vivirov {

// A criterion given as a shell command, run by the login Z shell in a
// working folder with a time limit. Past the limit, or on a stop request,
// the command's process group gets SIGTERM and, a second later, SIGKILL.
class ShellVerificationCommand final : public VerificationCommand {
public:
    static constexpr std::chrono::milliseconds kTerminateGrace{1000};
    static constexpr int32_t kTimedOutExitCode = 124;

    ShellVerificationCommand(std::string command, std::string workingDirectory, double timeout);

    const std::string& command() const override { return command_; }
    const std::string& workingDirectory() const { return workingDirectory_; }
    double timeout() const { return timeout_; } // seconds

    // Exit code 124 and signalled after a time-out (whatever the process
    // ended with) and when stopped before launch ("cancelled before launch");
    // -1 with "spawn failed: <reason>" when the shell could not start.
    ProcessResult execute(std::stop_token token = {}) const override;

private:
    std::string command_;
    std::string workingDirectory_;
    double timeout_;
};

} // namespace vivirov
