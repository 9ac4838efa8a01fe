#pragma once
#include <cstddef>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>

#include "VivirovVizivurad/HostTools/HostToolBackends.h"
#include "VivirovVizivurad/HostTools/ProcessRegistry.h"

namespace vivirov {

// Runs one agent tool call written as {"tool": name, "args": {key: text}} on
// this computer and answers plain text for the model. Never fails outwards:
// refusals, bad input and failures come back as result texts ("error: …").
//
// handle() blocks for as long as the tool runs; call it from a worker (the
// agent loop's tool pool), never from the GUI thread. It keeps no state of its
// own besides the registry, so any number of calls may run at once.
class ToolExecutionManager {
public:
    explicit ToolExecutionManager(HostToolBackends backends = {});
    ToolExecutionManager(const ToolExecutionManager&) = delete;
    ToolExecutionManager& operator=(const ToolExecutionManager&) = delete;

    // Decodes and runs one call. A stop request ends a running shell command
    // (its whole group is killed) and is handed to the web, clone and swarm tools.
    std::string handle(const std::string& json, std::stop_token stop = {});

    // Every process the executor starts runs through this registry; the kill
    // switch calls registry().terminateAll(250) from any thread.
    ProcessRegistry& registry() { return registry_; }

    // Tools that run without asking the user.
    static const std::set<std::string>& readOnlyTools();
    // The "tool" text of a call ("" when there is none); looser than handle():
    // argument values of any JSON type are accepted.
    static std::string rawToolName(const std::string& json);
    // The label of a call's tool for the permission card ("tool" when none).
    static std::string toolName(const std::string& json);

    // Keeps the first / last `limit` characters and notes how many were cut.
    // `uncounted` adds characters already dropped before the text got here.
    static std::string cap(std::string_view text, size_t limit, size_t uncounted = 0);
    static std::string capTail(std::string_view text, size_t limit, size_t uncounted = 0);

    // True when the web fetch must not contact this address: anything but
    // http(s), loopback, local-network, link-local and private addresses.
    static bool isBlockedHost(const std::string& url);

    // Bytes read_file reads at most; longer files are capped from this prefix.
    static constexpr size_t maxReadBytes = 8u << 20;

private:
    std::string executeBash(const std::string& command, std::stop_token stop);
    std::string readFile(const std::string& path);
    std::string writeFile(const std::string& path, const std::string& content);

    ProcessRegistry registry_;
    const HostToolBackends backends_;
};

} // namespace vivirov
