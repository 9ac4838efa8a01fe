#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "VivirovKit/Providers/ProviderTypes.h"

namespace vivirov {

// Runs one tool call: takes the call's flat arguments and the stop token of
// the run that made the call, returns the result text. May block and may
// throw; must be safe to call from any thread. A handler that blocks for long
// should end soon after a stop request.
using ToolHandler = std::function<std::string(const std::map<std::string, std::string>&, std::stop_token)>;
// A handler with nothing to stop.
using PlainToolHandler = std::function<std::string(const std::map<std::string, std::string>&)>;

// The table of tools a model may call: each name's schema (what is offered)
// and handler (what runs). Thread-safe; one mutex guards the tables and is
// never held while a handler runs, so handlers run concurrently and may call
// back into the registry.
class ToolRegistry {
public:
    ToolRegistry() = default;
    ToolRegistry(const ToolRegistry&) = delete;
    ToolRegistry& operator=(const ToolRegistry&) = delete;

    // Adds a host tool, or replaces the schema and handler stored under the
    // schema's name.
    void registerTool(ToolSchema schema, ToolHandler handler);
    void registerTool(ToolSchema schema, PlainToolHandler handler);

    // Runs the handler of the call's name and returns its text. Never throws:
    // an unknown name or a failing handler comes back as an "error: " text.
    // `stop` is handed to the handler.
    std::string dispatch(const ProviderToolCall& call, std::stop_token stop = {}) const;

    // Every registered schema, ordered by name (byte order).
    std::vector<ToolSchema> schema() const;

    // Replaces the whole tool set of one plug-in; an empty list withdraws it.
    // A plug-in tool takes over a host tool of the same name; when the
    // plug-in withdraws, the host tool comes back.
    void setPluginTools(const std::vector<ToolSchema>& tools, const std::string& pluginID);

    // Whether the plug-in currently contributes at least one tool.
    bool pluginEnabled(const std::string& pluginID) const;

    // Short label for the user interface; unknown names come back unchanged.
    static std::string displayName(std::string_view toolName);

private:
    struct Entry {
        ToolSchema schema;
        std::shared_ptr<const ToolHandler> handler;
    };
    struct PluginSet {
        uint64_t generation = 0; // when the set was stored; the latest holder of a shared name wins
        std::map<std::string, ToolSchema> tools;
    };

    static Entry pluginEntry(const ToolSchema& schema, const std::string& pluginID);
    // Puts back what a withdrawn plug-in's name should resolve to now.
    void releaseName(const std::string& name, const std::string& pluginID);

    mutable std::mutex lock_;
    std::map<std::string, Entry> tools_;       // what dispatch and schema() see
    std::map<std::string, Entry> hostTools_;   // everything registered through registerTool
    std::map<std::string, PluginSet> plugins_;
    std::map<std::string, std::string> pluginOwner_; // name -> plug-in whose entry is stored
    uint64_t generation_ = 0;
};

} // namespace vivirov
