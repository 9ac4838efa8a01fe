#include "VivirovKit/Tools/CapabilityManifest.h"

#include <algorithm>
#include <array>

#include "VivirovKit/Support/Env.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovKit/Tools/ToolRegistry.h"

namespace vivirov {

namespace {

int priorityRank(const std::string& name) {
    static constexpr std::array<std::string_view, 10> priority = {
        "read_file",  "write_file",  "edit_file",    "execute_bash",     "bash_command",
        "list_files", "web_search",  "search_files", "browser_navigate", "browser_read",
    };
    for (size_t i = 0; i < priority.size(); ++i)
        if (priority[i] == name) return int(i);
    return 999;
}

size_t toolCap(std::string_view providerID) {
    int64_t fallback = text::startsWith(providerID, "rizeru") ? 12 : 24;
    auto fromEnv = env::integer("VIVIROV_MAX_TOOLS");
    // A negative cap is no count of tools: treat it like an unreadable value.
    int64_t cap = fromEnv && *fromEnv >= 0 ? *fromEnv : fallback;
    return size_t(cap);
}

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += separator;
        out += parts[i];
    }
    return out;
}

} // namespace

CapabilityManifest CapabilityManifest::build(const ToolRegistry& registry, bool browserReady, bool webReady,
                                             bool imageGenReady, bool visionReady,
                                             std::string_view providerID, std::string_view providerName) {
    std::vector<ToolSchema> tools = registry.schema(); // ordered by name
    size_t cap = toolCap(providerID);
    if (cap < tools.size()) {
        std::stable_sort(tools.begin(), tools.end(), [](const ToolSchema& a, const ToolSchema& b) {
            return priorityRank(a.name) < priorityRank(b.name);
        });
        tools.resize(cap);
    }

    std::erase_if(tools, [&](const ToolSchema& tool) {
        if (!webReady && text::containsCaseInsensitive(tool.name, "web_search")) return true;
        if (!browserReady && text::containsCaseInsensitive(tool.name, "browser")) return true;
        if (!imageGenReady) {
            std::string lower = text::lowercased(tool.name);
            if (lower.find("image_gen") != std::string::npos ||
                lower.find("generate_image") != std::string::npos)
                return true;
        }
        return false;
    });

    std::vector<std::string> status;
    status.push_back(browserReady ? "Browser LOADED" : "Browser OFF");
    if (webReady) status.push_back("Web ON");
    status.push_back(imageGenReady ? "Image-gen ON" : "No image-gen");
    status.push_back(visionReady ? "Vision ON" : "No vision");

    std::vector<std::string> names;
    for (const auto& tool : tools) names.push_back(tool.name);
    std::string toolList = names.empty() ? "(none)" : joined(names, ", ");

    CapabilityManifest manifest;
    manifest.description = "You currently have: " + toolList + ". " + "Active brain: " +
                           std::string(providerName) + ". " + joined(status, ". ") + "." +
                           " Call ONLY the tools listed above; do not invent others.";
    manifest.tools = std::move(tools);
    return manifest;
}

} // namespace vivirov
