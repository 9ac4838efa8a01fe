#pragma once
// The operations of the host-tool executor that live elsewhere: the web
// tools, the repository clone, the swarm backend, the in-app browser and the
// Accessibility operations. The executor reaches them only through these
// interfaces; tests put recorders in their place. Each answers the result
// text for the model and never throws.
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

namespace vivirov {

class ProcessRegistry;

class WebTools {
public:
    virtual ~WebTools() = default;
    virtual std::string webSearch(const std::string& query, ProcessRegistry& registry, std::stop_token stop) = 0;
    virtual std::string webFetch(const std::string& url, std::stop_token stop) = 0;
};

class RepositoryCloner {
public:
    virtual ~RepositoryCloner() = default;
    virtual std::string gitCloneRepo(const std::string& url, const std::optional<std::string>& dest,
                                     const std::optional<std::string>& branch, ProcessRegistry& registry,
                                     std::stop_token stop) = 0;
};

class SwarmBackend {
public:
    virtual ~SwarmBackend() = default;
    virtual std::string dispatchDerovSwarm(const std::string& query, int64_t agentCount, std::stop_token stop) = 0;
};

class BrowserOperations {
public:
    virtual ~BrowserOperations() = default;
    virtual std::string navigate(const std::string& target) = 0;
    virtual std::string refresh() = 0;
    virtual std::string extractText() = 0;
    // Reloads the page when the browser shows exactly this file: true then,
    // false when it shows something else, none when there is no browser.
    virtual std::optional<bool> refreshIfShowing(const std::string& filePath) = 0;
};

class AccessibilityOperations {
public:
    virtual ~AccessibilityOperations() = default;
    virtual std::string runningAppsSummary() = 0;
    virtual std::string dumpUIMap(const std::optional<std::string>& appName, int maxDepth, int maxNodes, bool pretty,
                                  int maxChars) = 0;
    virtual std::string click(const std::optional<std::string>& appName, const std::optional<std::string>& role,
                              const std::string& title) = 0;
    virtual std::string setValue(const std::optional<std::string>& appName, const std::optional<std::string>& role,
                                 const std::string& title, const std::string& value) = 0;
    virtual std::string placeWindow(const std::string& appName, double x, double y, double w, double h) = 0;
};

// The bounded multi-perspective research pass behind the research_swarm tool.
class ResearchSwarm {
public:
    virtual ~ResearchSwarm() = default;
    // `perspectives` is the comma-separated list of angles as the model gave it.
    virtual std::string runResearchSwarm(const std::string& query, const std::string& perspectives,
                                         std::stop_token stop) = 0;
};

// What the executor is given; an absent operation answers that it is unavailable.
struct HostToolBackends {
    std::shared_ptr<WebTools> web;
    std::shared_ptr<RepositoryCloner> cloner;
    std::shared_ptr<SwarmBackend> swarm;
    std::shared_ptr<BrowserOperations> browser;
    std::shared_ptr<AccessibilityOperations> accessibility;
};

} // namespace vivirov
