#pragma once
#include <map>
#include <string>

#include "VivirovKit/Agentic/AgenticPermissionGate.h"
#include "VivirovVizivurad/Chat/GuiThread.h"
#include "VivirovVizivurad/HostTools/ToolCallApprover.h"

namespace vivirov {

class QuintoraViewModel;

// The chat controller's permission card as the agent loop and the host-tool
// handlers reach it from their worker threads. Holds the controller weakly:
// once it is gone every call is refused. Never call it on the GUI thread,
// whose event loop must run to answer.
class VMPermissionGate final : public AgenticPermissionGate, public ToolCallApprover {
public:
    explicit VMPermissionGate(GuiLife<QuintoraViewModel>::Weak vm) : vm_(std::move(vm)) {}

    // The loop's entrance: read-only tools pass, otherwise the card is
    // labelled with the tool's display name and shows its arguments.
    bool approve(const ProviderToolCall& call, std::stop_token cancel) override;

    bool available() const override { return !vm_.expired(); }
    // In ask mode puts the request on the card and waits for the verdict;
    // in the other modes approves at once.
    std::optional<bool> requestPermission(const std::string& toolName, const std::string& command,
                                          std::stop_token stop) override;

    // The loop card's body: the tool name without arguments, the value of a
    // lone argument, else every argument as "key: value" lines, the keys
    // that name files first, the rest by name.
    static std::string loopCardBody(const std::string& toolName, const std::map<std::string, std::string>& arguments);

private:
    GuiLife<QuintoraViewModel>::Weak vm_;
};

} // namespace vivirov
