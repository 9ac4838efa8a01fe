#pragma once
#include <map>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "VivirovKit/Providers/ProviderTypes.h"
#include "VivirovVizivurad/HostTools/DocumentOperations.h"
#include "VivirovVizivurad/HostTools/FleetReadings.h"
#include "VivirovVizivurad/HostTools/HostToolBackends.h"
#include "VivirovVizivurad/HostTools/ToolCallApprover.h"

namespace vivirov {

class ToolExecutionManager;
class ToolRegistry;

// The 25 host tools every agent loop of the chat controller is offered:
// the executor's shell, file, browser, web, swarm and clone tools behind the
// permission card; the document and workspace tools; the fleet report; the
// image stub; the research pass. Handlers never throw: every problem is a
// result text.
class HostToolCatalogue {
public:
    struct Services {
        std::shared_ptr<ToolExecutionManager> executor;
        // The user's side; the executor tools refuse without it.
        std::shared_ptr<ToolCallApprover> approver;
        std::shared_ptr<DocumentOperations> documents;
        std::shared_ptr<FleetReadings> fleet;
        // Absent: the tool answers that the research swarm is unavailable.
        std::shared_ptr<ResearchSwarm> research;
    };
    // Documents and fleet from the kit; no executor, approver or research swarm.
    static Services kitServices();

    // Adds (or replaces) the 25 tools in `registry`.
    static void registerHostTools(ToolRegistry& registry, Services services);
    // The schemas, in registration order.
    static std::vector<ToolSchema> schemas();

    // {"tool": name, "args": {...}} with "args" left out for no arguments;
    // bytes that are not UTF-8 are replaced, so the text is always written.
    static std::string encodeToolCall(const std::string& name, const std::map<std::string, std::string>& args);
    // Runs one executor call: read-only tools at once, the others after the
    // user's Execute. A refusal is logged and answered without running.
    static std::string gatedToolHandler(const std::string& json, ToolExecutionManager& executor,
                                        ToolCallApprover& approver, std::stop_token stop);
    static std::string fleetStatus(FleetReadings& fleet);
    static std::string imageGenerate(FleetReadings& fleet, const std::string& prompt);
};

} // namespace vivirov
