#pragma once
#include <stop_token>
#include <string>

#include "VivirovKit/Verification/ProcessResult.h"

namespace vivirov {

// A task's success criterion: it passes when its run succeeds.
class VerificationCommand {
public:
    virtual ~VerificationCommand() = default;
    virtual const std::string& command() const = 0;
    // Blocks until the run ends; never throws. A stop request ends the run,
    // whose result then counts as a failure.
    virtual ProcessResult execute(std::stop_token token = {}) const = 0;
};

} // namespace vivirov
