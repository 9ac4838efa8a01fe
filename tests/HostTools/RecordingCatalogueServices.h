#pragma once
// Stand-ins for what the host-tool catalogue calls beside the executor: each
// records its call as one line and answers a fixed text.
#include <map>
#include <string>

#include "VivirovVizivurad/HostTools/DocumentOperations.h"
#include "VivirovVizivurad/HostTools/FleetReadings.h"
#include "tests/HostTools/RecordingBackends.h"

namespace vivirov::test {

class RecordingDocuments : public DocumentOperations, public Recorder {
public:
    std::string richResult = "ok";
    std::string extract(const std::string& path, int64_t maxChars) override {
        return call("extract '" + path + "' " + std::to_string(maxChars));
    }
    std::string createDocx(const std::string& path, const std::string& content) override {
        add("createDocx '" + path + "' '" + content + "'");
        return "ok: plain";
    }
    std::string createDocxRich(const std::string& path, const std::string& title, const std::string& content) override {
        add("createDocxRich '" + path + "' '" + title + "' '" + content + "'");
        return richResult;
    }
    std::string excelSumColumn(const std::string& path, const std::string& column, int64_t from, int64_t to) override {
        return call("excelSum '" + path + "' " + column + " " + std::to_string(from) + "-" + std::to_string(to));
    }
    std::string documentEdit(const std::string& path, const std::string& instruction, const std::string& find,
                             const std::string& replace) override {
        return call("documentEdit '" + path + "' '" + instruction + "' '" + find + "' '" + replace + "'");
    }
    std::string excelQuery(const std::string& path, const std::string& query) override {
        return call("excelQuery '" + path + "' '" + query + "'");
    }
    std::string excelUpdate(const std::string& path, const std::string& cell, const std::string& value) override {
        return call("excelUpdate '" + path + "' " + cell + " '" + value + "'");
    }
    std::string pdfFillForm(const std::string& path, const std::string& fields) override {
        return call("pdfFillForm '" + path + "' " + fields);
    }
    std::string pptCreate(const std::string& path, const std::string& slides) override {
        return call("pptCreate '" + path + "' '" + slides + "'");
    }
    std::string convert(const std::string& path, const std::string& format,
                        const std::optional<std::string>& output) override {
        return call("convert '" + path + "' " + format + " " + orNone(output));
    }
    std::string workspaceScan(const std::string& root, const std::string& query, int64_t limit) override {
        return call("scan '" + root + "' '" + query + "' " + std::to_string(limit));
    }
    std::string workspaceSearch(const std::string& root, const std::string& pattern, int64_t limit) override {
        return call("search '" + root + "' '" + pattern + "' " + std::to_string(limit));
    }
    std::string fileTree(const std::string& root, int64_t depth) override {
        return call("tree '" + root + "' " + std::to_string(depth));
    }

private:
    std::string call(std::string line) {
        add(line);
        return "did " + line;
    }
};

class FakeFleet : public FleetReadings, public Recorder {
public:
    std::map<std::string, bool> servers{{"rozazu:8095", false}, {"micro:8100", true}, {"rizeru:8080", true}};
    std::map<std::string, bool> fleetStatus() override { return add("fleetStatus"), servers; }
    ModelRoute route(ModelRouteKind kind) override {
        add("route " + std::string(rawValue(kind)));
        const bool up = kind == ModelRouteKind::general || kind == ModelRouteKind::fastDraft;
        return {"local", "local", "m", up, std::string(rawValue(kind)) + " note."};
    }
    std::string memoryStatusLine() override { return "swap 120 MB (ok)"; }
    void refreshHealth() override { add("refreshHealth"); }
    std::vector<std::string> lifecycleStatusLines() override {
        add("statusLines");
        return {"rizeru:8080 UP core=true idle_s=3", "micro:8100 UP core=false idle_s=900"};
    }
};

class RecordingResearch : public ResearchSwarm, public Recorder {
public:
    std::string runResearchSwarm(const std::string& query, const std::string& perspectives, std::stop_token) override {
        add("research '" + query + "' '" + perspectives + "'");
        return "notes";
    }
};

} // namespace vivirov::test
