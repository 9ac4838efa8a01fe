#pragma once
// A scripted Accessibility tree standing in for the desktop's service.
#include <map>
#include <string>
#include <vector>

#include "VivirovVizivurad/Accessibility/AccessibilityBackend.h"

namespace vivirov::test {

struct FakeNode {
    std::optional<std::string> role, subrole, title, description;
    AXValueRead value;
    std::optional<AXPoint> position;
    std::optional<AXSize> size;
    std::vector<std::string> actions;
    std::vector<std::string> children; // keys
    bool focused = false;
};

class FakeAccessibility : public AccessibilityBackend {
public:
    bool isTrusted = true;
    std::vector<AXRunningApp> apps;
    std::map<int, std::string> roots; // pid → application element key
    std::map<std::string, FakeNode> nodes;
    std::vector<std::string> log;     // "press <key>", "set <key>=<value>", "frame x,y w×h"
    int actionCode = 0;

    FakeNode& node(const std::string& key) { return nodes[key]; }

    bool trusted() override { return isTrusted; }
    void setMessagingTimeout(double) override {}
    std::vector<AXRunningApp> runningApps() override { return apps; }
    std::optional<AXElement> applicationElement(int pid) override {
        auto it = roots.find(pid);
        if (it == roots.end()) return std::nullopt;
        return element(it->second);
    }
    std::optional<std::string> stringAttribute(const AXElement& e, const std::string& name) override {
        const FakeNode& n = nodes.at(e.key);
        if (name == "AXRole") return n.role;
        if (name == "AXSubrole") return n.subrole;
        if (name == "AXTitle") return n.title;
        if (name == "AXDescription") return n.description;
        return std::nullopt;
    }
    AXValueRead value(const AXElement& e) override { return nodes.at(e.key).value; }
    std::optional<AXPoint> position(const AXElement& e) override { return nodes.at(e.key).position; }
    std::optional<AXSize> size(const AXElement& e) override { return nodes.at(e.key).size; }
    std::vector<std::string> actions(const AXElement& e) override { return nodes.at(e.key).actions; }
    std::vector<AXElement> children(const AXElement& e) override {
        std::vector<AXElement> out;
        for (const auto& key : nodes.at(e.key).children) out.push_back(element(key));
        return out;
    }
    std::optional<AXElement> focusedWindow(const AXElement& app) override {
        for (const auto& key : nodes.at(app.key).children)
            if (nodes.at(key).focused) return element(key);
        return std::nullopt;
    }
    int performAction(const AXElement& e, const std::string& action) override {
        log.push_back(action + " " + e.key);
        return actionCode;
    }
    int setValue(const AXElement& e, const std::string& value) override {
        log.push_back("set " + e.key + "=" + value);
        return actionCode;
    }
    std::pair<int, int> setFrame(const AXElement& window, int, AXPoint p, AXSize s) override {
        log.push_back("frame " + window.key + " " + std::to_string(int(p.x)) + "," + std::to_string(int(p.y)) + " " +
                      std::to_string(int(s.w)) + "x" + std::to_string(int(s.h)));
        return {actionCode, actionCode};
    }

    static AXElement element(const std::string& key) { return {nullptr, key}; }
};

} // namespace vivirov::test
