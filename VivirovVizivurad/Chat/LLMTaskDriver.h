#pragma once
#include <optional>
#include <stop_token>
#include <string>

#include "VivirovKit/Verification/GenerationDriver.h"
#include "VivirovVizivurad/Chat/GuiThread.h"

namespace vivirov {

class QuintoraViewModel;

// The task engine's generation step, tied to the chat controller, which it
// holds weakly. An attempt visits the controller on the GUI thread and
// produces nothing yet: the verifier's check runs right after it returns.
class LLMTaskDriver : public GenerationDriver {
public:
    LLMTaskDriver(QuintoraViewModel& vm, std::string objective);

    const std::string& objective() const { return objective_; }

    // Returns at once when the controller is gone or `token` is stopped;
    // otherwise waits for one turn of the GUI thread (inline when called on it).
    void attempt(const std::optional<std::string>& injectingFailure, std::stop_token token) override;

private:
    GuiLife<QuintoraViewModel>::Weak vm_;
    std::string objective_;
};

} // namespace vivirov
