#pragma once
// Stand-ins for the executor's outside operations: each records what it was
// asked and answers a fixed text.
#include <mutex>
#include <string>
#include <vector>

#include "VivirovVizivurad/HostTools/HostToolBackends.h"

namespace vivirov::test {

class Recorder {
public:
    void add(std::string line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

inline std::string orNone(const std::optional<std::string>& s) { return s ? "'" + *s + "'" : "none"; }

class RecordingSwarm : public SwarmBackend, public Recorder {
public:
    std::string dispatchDerovSwarm(const std::string& query, int64_t agentCount, std::stop_token) override {
        add("swarm " + query + " " + std::to_string(agentCount));
        return "swarm ok";
    }
};

class RecordingAccessibility : public AccessibilityOperations, public Recorder {
public:
    std::string runningAppsSummary() override { return add("apps"), "apps"; }
    std::string dumpUIMap(const std::optional<std::string>& app, int depth, int nodes, bool pretty, int chars) override {
        add("dump " + orNone(app) + " " + std::to_string(depth) + " " + std::to_string(nodes) + " " +
            (pretty ? "pretty" : "compact") + " " + std::to_string(chars));
        return "map";
    }
    std::string click(const std::optional<std::string>& app, const std::optional<std::string>& role,
                      const std::string& title) override {
        add("click " + orNone(app) + " " + orNone(role) + " '" + title + "'");
        return "clicked";
    }
    std::string setValue(const std::optional<std::string>& app, const std::optional<std::string>& role,
                         const std::string& title, const std::string& value) override {
        add("set " + orNone(app) + " " + orNone(role) + " '" + title + "' '" + value + "'");
        return "set";
    }
    std::string placeWindow(const std::string& app, double x, double y, double w, double h) override {
        char buf[128];
        std::snprintf(buf, sizeof buf, "place '%s' %g %g %g %g", app.c_str(), x, y, w, h);
        add(buf);
        return "placed";
    }
};

class RecordingBrowser : public BrowserOperations, public Recorder {
public:
    std::string shownFile;      // what refreshIfShowing compares with
    bool hasModel = true;       // false: no browser window exists
    std::string pageText = "page";
    std::string navigate(const std::string& target) override { return add("navigate " + target), "navigated"; }
    std::string refresh() override { return add("refresh"), "refreshed"; }
    std::string extractText() override { return add("extract"), pageText; }
    std::optional<bool> refreshIfShowing(const std::string& filePath) override {
        add("refreshIfShowing " + filePath);
        if (!hasModel) return std::nullopt;
        return filePath == shownFile;
    }
};

class RecordingWeb : public WebTools, public Recorder {
public:
    std::string webSearch(const std::string& query, ProcessRegistry&, std::stop_token) override {
        return add("search " + query), "results";
    }
    std::string webFetch(const std::string& url, std::stop_token) override { return add("fetch " + url), "page"; }
};

class RecordingCloner : public RepositoryCloner, public Recorder {
public:
    std::string gitCloneRepo(const std::string& url, const std::optional<std::string>& dest,
                             const std::optional<std::string>& branch, ProcessRegistry&, std::stop_token) override {
        add("clone " + url + " " + orNone(dest) + " " + orNone(branch));
        return "cloned";
    }
};

} // namespace vivirov::test
