#include "VivirovKit/Tools/ToolRegistry.h"

#include <exception>

namespace vivirov {

void ToolRegistry::registerTool(ToolSchema schema, ToolHandler handler) {
    Entry entry{std::move(schema), std::make_shared<const ToolHandler>(std::move(handler))};
    std::lock_guard guard(lock_);
    const std::string name = entry.schema.name;
    hostTools_[name] = entry;
    tools_[name] = std::move(entry);
    pluginOwner_.erase(name);
}

void ToolRegistry::registerTool(ToolSchema schema, PlainToolHandler handler) {
    if (!handler) return registerTool(std::move(schema), ToolHandler());
    registerTool(std::move(schema),
                 ToolHandler([handler = std::move(handler)](const std::map<std::string, std::string>& args,
                                                           std::stop_token) { return handler(args); }));
}

std::string ToolRegistry::dispatch(const ProviderToolCall& call, std::stop_token stop) const {
    std::shared_ptr<const ToolHandler> handler;
    {
        std::lock_guard guard(lock_);
        auto it = tools_.find(call.name);
        if (it != tools_.end()) handler = it->second.handler;
    }
    if (!handler || !*handler) return "error: unknown tool '" + call.name + "'";
    try {
        return (*handler)(call.arguments, std::move(stop));
    } catch (const std::exception& e) {
        return "error: " + call.name + " threw: " + e.what();
    } catch (...) {
        return "error: " + call.name + " threw: unknown error";
    }
}

std::vector<ToolSchema> ToolRegistry::schema() const {
    std::lock_guard guard(lock_);
    std::vector<ToolSchema> out;
    out.reserve(tools_.size());
    for (const auto& [name, entry] : tools_) out.push_back(entry.schema);
    return out;
}

ToolRegistry::Entry ToolRegistry::pluginEntry(const ToolSchema& schema, const std::string& pluginID) {
    // Plug-in tools run outside this process; calling one here only explains that.
    std::string text = "error: '" + schema.name + "' is a plugin tool (" + pluginID +
                       ") with no in-process handler; route via the host MCP server.";
    auto handler = std::make_shared<const ToolHandler>(
        [text](const std::map<std::string, std::string>&, std::stop_token) { return text; });
    return Entry{schema, std::move(handler)};
}

void ToolRegistry::releaseName(const std::string& name, const std::string& pluginID) {
    auto owner = pluginOwner_.find(name);
    // Stored by someone else since (a host registration or another plug-in): keep it.
    if (owner == pluginOwner_.end() || owner->second != pluginID) return;

    const std::string* heir = nullptr;
    const ToolSchema* heirSchema = nullptr;
    uint64_t newest = 0;
    for (const auto& [id, set] : plugins_) {
        auto it = set.tools.find(name);
        if (it != set.tools.end() && (!heir || set.generation > newest)) {
            heir = &id;
            heirSchema = &it->second;
            newest = set.generation;
        }
    }
    if (heir) {
        tools_[name] = pluginEntry(*heirSchema, *heir);
        owner->second = *heir;
        return;
    }
    pluginOwner_.erase(owner);
    if (auto host = hostTools_.find(name); host != hostTools_.end())
        tools_[name] = host->second;
    else
        tools_.erase(name);
}

void ToolRegistry::setPluginTools(const std::vector<ToolSchema>& tools, const std::string& pluginID) {
    std::lock_guard guard(lock_);
    if (auto old = plugins_.extract(pluginID)) {
        for (const auto& [name, schema] : old.mapped().tools) releaseName(name, pluginID);
    }
    if (tools.empty()) return;

    PluginSet set;
    set.generation = ++generation_;
    for (const auto& schema : tools) {
        tools_[schema.name] = pluginEntry(schema, pluginID);
        pluginOwner_[schema.name] = pluginID;
        set.tools[schema.name] = schema;
    }
    plugins_[pluginID] = std::move(set);
}

bool ToolRegistry::pluginEnabled(const std::string& pluginID) const {
    std::lock_guard guard(lock_);
    auto it = plugins_.find(pluginID);
    return it != plugins_.end() && !it->second.tools.empty();
}

std::string ToolRegistry::displayName(std::string_view toolName) {
    static const std::map<std::string_view, std::string_view> labels = {
        {"execute_bash", "Bash"},
        {"read_file", "Read File"},
        {"write_file", "Write File"},
        {"browser_navigate", "Browse"},
        {"browser_read", "Read Page"},
        {"web_search", "Search"},
        {"web_fetch", "Fetch"},
        {"generate_image", "Image"},
        {"image_generate", "Image"},
        {"create_task", "New Task"},
        {"list_models", "Models"},
        {"dispatch_derov_swarm", "Derov Swarm"},
        {"pdf_extract", "PDF/Doc"},
        {"document_create", "Create Doc"},
        {"document_convert", "Convert Doc"},
        {"workspace_scan", "Scan Files"},
        {"workspace_search", "Search Files"},
        {"file_tree", "File Tree"},
        {"fleet_status", "Fleet"},
        {"research_swarm", "Research Swarm"},
    };
    auto it = labels.find(toolName);
    return std::string(it == labels.end() ? toolName : it->second);
}

} // namespace vivirov
