#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "VivirovKit/Providers/ProviderTypes.h"

namespace vivirov {

class ToolRegistry;

// What one agent turn is told about its own abilities: the tools offered to
// the model and the capability text that goes into the system prompt.
struct CapabilityManifest {
    std::vector<ToolSchema> tools;
    std::string description;

    bool operator==(const CapabilityManifest&) const = default;

    // Built afresh for every turn. Local "rizeru" providers get at most 12
    // tools, others 24; VIVIROV_MAX_TOOLS (read on every call) overrides the
    // cap. When the cap bites, the most useful tools are kept first; the
    // readiness filters then drop tools whose ability is off.
    static CapabilityManifest build(const ToolRegistry& registry, bool browserReady, bool webReady,
                                    bool imageGenReady, bool visionReady,
                                    std::string_view providerID, std::string_view providerName);
};

} // namespace vivirov
