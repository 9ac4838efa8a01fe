#pragma once
#include <optional>
#include <stop_token>
#include <string>

namespace vivirov {

// The user's side of a gated tool call, as the host tools see it: the chat
// controller's permission card. Held by tool handlers on worker threads.
class ToolCallApprover {
public:
    virtual ~ToolCallApprover() = default;
    // False once the controller is gone.
    virtual bool available() const = 0;
    // Blocks until decided: true to run, false when refused or when `stop`
    // ends the wait, none when the controller is gone.
    virtual std::optional<bool> requestPermission(const std::string& toolName, const std::string& command,
                                                  std::stop_token stop) = 0;
};

} // namespace vivirov
