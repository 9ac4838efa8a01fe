#pragma once
#include <stop_token>

#include "VivirovKit/Providers/ProviderTypes.h"

namespace vivirov {

// Decides whether a tool call may run. approve blocks until decided; an
// implementation that waits for the user must also return (false) promptly
// when `cancel` asks to stop.
class AgenticPermissionGate {
public:
    virtual ~AgenticPermissionGate() = default;
    virtual bool approve(const ProviderToolCall& call, std::stop_token cancel) = 0;
};

class AlwaysApproveGate final : public AgenticPermissionGate {
public:
    bool approve(const ProviderToolCall&, std::stop_token) override { return true; }
};

} // namespace vivirov
