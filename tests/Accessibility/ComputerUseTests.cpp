#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "VivirovKit/Support/Json.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovVizivurad/Accessibility/ComputerUse.h"
#include "tests/Accessibility/FakeAccessibility.h"

using namespace vivirov;
using test::FakeAccessibility;

namespace {

// Editor (pid 10, frontmost): app → window → buttons, a field and a group
// whose nested group reaches the "Save" button a second time.
struct Desktop {
    std::shared_ptr<FakeAccessibility> ax = std::make_shared<FakeAccessibility>();
    std::optional<ScreenRect> screen = ScreenRect{0, 30, 1280, 770}; // a panel along the top
    ComputerUse computer{ax, [this] { return screen; }};

    Desktop() {
        ax->apps = {{"Editor", 10, "editor-bin", true, true},
                    {"Mail", 20, "mail", false, true},
                    {"agent", 30, "agentd", false, false}};
        ax->roots = {{10, "app"}, {20, "mailapp"}};
        ax->node("mailapp") = {.role = "AXApplication", .title = "Mail"};
        ax->node("app") = {.role = "AXApplication", .title = "Editor", .actions = {"AXShowMenu"}, .children = {"win"}};
        ax->node("win") = {.role = "AXWindow",
                           .title = "Doc/1",
                           .position = AXPoint{10.7, -20.2},
                           .size = AXSize{300.9, 200},
                           .actions = {"AXRaise", "AXShowMenu"},
                           .children = {"ok1", "ok2", "save", "saveas", "mute", "field", "group"},
                           .focused = true};
        ax->node("ok1") = {.role = "AXButton", .title = "OK", .actions = {"AXPress"}};
        ax->node("ok2") = {.role = "AXButton", .title = "ok", .actions = {"AXPress"}};
        ax->node("save") = {.role = "AXButton", .title = "Save", .actions = {"AXPress"}};
        ax->node("saveas") = {.role = "AXButton", .title = "Save As…", .actions = {"AXPress"}};
        ax->node("mute") = {.role = "AXButton", .description = "Mute", .actions = {"AXShowMenu"}};
        ax->node("field") = {.role = "AXTextField", .subrole = "", .description = "Query",
                             .value = std::string(200, 'v')};
        ax->node("group") = {.role = "AXGroup", .children = {"inner"}};
        ax->node("inner") = {.role = "AXGroup", .actions = {"AXShowMenu"}, .children = {"leaf", "save"}};
        ax->node("leaf") = {.value = std::string(201, 'w')};
    }

    json::Value dump(const std::string& app, int depth = 18, int nodes = 350) {
        auto parsed = json::parse(computer.dumpUIMap(app, depth, nodes, false, 0));
        EXPECT_TRUE(parsed);
        return parsed.value_or(json::Value());
    }
};

const json::Value& child(const json::Value& record, size_t i) { return record["children"][i]; }

} // namespace

TEST(ComputerUse, DumpsTheTreeOnceWithItsMembers) {
    Desktop d;
    const json::Value doc = d.dump("Editor");
    EXPECT_EQ(doc["application"], "Editor");
    EXPECT_EQ(doc["pid"], 10);
    EXPECT_EQ(doc["nodesSerialized"], 11);
    EXPECT_FALSE(doc.contains("truncatedAtNodeCap"));

    const json::Value& app = doc["ui"];
    EXPECT_EQ(app["actions"], json::Value::array({"AXShowMenu"}));
    const json::Value& win = child(app, 0);
    EXPECT_EQ(win["frame"], (json::Value{{"x", 10}, {"y", -20}, {"w", 300}, {"h", 200}}));
    EXPECT_EQ(win["actions"], json::Value::array({"AXRaise", "AXShowMenu"}));
    const json::Value& mute = child(win, 4);
    EXPECT_EQ(mute["description"], "Mute");
    EXPECT_FALSE(mute.contains("title"));
    const json::Value& field = child(win, 5);
    EXPECT_EQ(field["subrole"], "");
    EXPECT_EQ(field["value"], std::string(200, 'v'));

    // Depth 3: the menu action is dropped; the shared "Save" counts as cut.
    const json::Value& inner = child(child(win, 6), 0);
    EXPECT_FALSE(inner.contains("actions"));
    EXPECT_EQ(inner["children"].size(), 1u);
    EXPECT_EQ(inner["childrenTruncated"], 1);
    const json::Value& leaf = child(inner, 0);
    EXPECT_EQ(leaf["role"], "AXUnknown");
    EXPECT_EQ(leaf["value"], std::string(200, 'w') + "…");
    EXPECT_FALSE(leaf.contains("frame"));
}

TEST(ComputerUse, DumpCapsAndCut) {
    Desktop d;
    const json::Value one = d.dump("editor", 18, 1);
    EXPECT_EQ(one["nodesSerialized"], 1);
    EXPECT_EQ(one["truncatedAtNodeCap"], 1);
    EXPECT_FALSE(one["ui"].contains("children"));
    EXPECT_EQ(one["ui"]["childrenTruncated"], 1);

    const json::Value shallow = d.dump("Editor", 0);
    EXPECT_EQ(shallow["ui"]["childCount"], 1);
    EXPECT_FALSE(shallow["ui"].contains("children"));
    EXPECT_FALSE(shallow["ui"].contains("childrenTruncated"));

    const std::string whole = d.computer.dumpUIMap("Editor", 18, 350, false, 0);
    EXPECT_NE(whole.find("\"Doc\\/1\""), std::string::npos);
    const int length = int(text::graphemeCount(whole));
    EXPECT_EQ(d.computer.dumpUIMap("Editor", 18, 350, false, length), whole);
    EXPECT_EQ(d.computer.dumpUIMap("Editor", 18, 350, false, length - 1),
              text::graphemePrefix(whole, length - 1) + "\n…[UI map truncated at " + std::to_string(length - 1) +
                  " chars — narrow with a specific app or re-dump]");
    EXPECT_NE(d.computer.dumpUIMap("Editor", 18, 350, true, 0).find("\n  \"application\" : \"Editor\""),
              std::string::npos);
}

TEST(ComputerUse, FindsAppsByWholeNameOrExecutable) {
    Desktop d;
    EXPECT_EQ(d.computer.app("EDITOR-BIN")->pid, 10);
    EXPECT_EQ(d.computer.app("agent")->pid, 30); // every app, not only those with windows
    EXPECT_FALSE(d.computer.app("Edit"));
    EXPECT_EQ(d.dump("")["application"], "Editor");
    EXPECT_EQ(d.computer.dumpUIMap("Edit", 18, 350, false, 0),
              "error: no running app named 'Edit' — call ui_apps to list.");
    EXPECT_EQ(d.computer.runningAppsSummary(), "running apps:\n• Editor  [pid 10] (frontmost)\n• Mail  [pid 20]");

    // A misspelt name must not press whatever is in front.
    EXPECT_EQ(d.computer.click("Editr", std::nullopt, "Save"), "error: no running app named 'Editr'.");
    EXPECT_EQ(d.computer.setValue("Editr", std::nullopt, "Query", "x"), "error: no running app named 'Editr'.");
    EXPECT_TRUE(d.ax->log.empty());
    EXPECT_EQ(d.computer.click(std::nullopt, std::nullopt, "Save"), "ok: pressed 'Save' in Editor");

    d.ax->apps[0].active = false;
    EXPECT_EQ(d.computer.click(std::nullopt, std::nullopt, "Save"), "error: no running app named 'frontmost'.");
    d.ax->apps.clear();
    EXPECT_EQ(d.computer.runningAppsSummary(), "error: no regular running apps found.");
}

TEST(ComputerUse, WithoutTrustNothingIsTouched) {
    Desktop d;
    d.ax->isTrusted = false;
    EXPECT_EQ(d.computer.dumpUIMap("nope", 18, 350, false, 0),
              "error: no running app named 'nope' — call ui_apps to list.");
    const std::string dump = d.computer.dumpUIMap("Editor", 18, 350, false, 0);
    EXPECT_EQ(dump.rfind("error: Accessibility permission not granted. ", 0), 0u);
    EXPECT_NE(dump.find("(target: Editor pid 10)"), std::string::npos);
    EXPECT_EQ(d.computer.click("Editor", std::nullopt, "Save").rfind("error: Accessibility permission not granted (", 0), 0u);
    EXPECT_EQ(d.computer.placeWindow("Editor", 0, 0, 0.5, 1).rfind("error: Accessibility permission not granted (", 0), 0u);
    EXPECT_TRUE(d.ax->log.empty());
}

TEST(ComputerUse, ClickPressesOnlyOneExactButton) {
    struct Case {
        std::string title;
        std::optional<std::string> role;
        std::string answer;
        std::string pressed; // the log line, or empty
    };
    const std::vector<Case> cases = {
        {"save", std::nullopt, "ok: pressed 'save' in Editor", "AXPress save"},
        {"sav", std::nullopt,
         "error: 'sav' is ambiguous in Editor — 2 matches: AXButton 'Save'; AXButton 'Save As…'. Re-issue with an exact title.",
         ""},
        {"ok", std::nullopt,
         "error: 'ok' is ambiguous in Editor — 2 matches: AXButton 'OK'; AXButton 'ok'. Re-issue with an exact title.", ""},
        {"mute", std::nullopt,
         "error: 'mute' has no press action (available: AXShowMenu). Not firing a different action.", ""},
        {"Save", "AXTextField", "error: no AXTextField matching 'Save' in Editor. Call ui_dump to see what's there.", ""},
        {"", std::nullopt, "error: no AXButton matching '' in Editor. Call ui_dump to see what's there.", ""},
    };
    for (const auto& c : cases) {
        Desktop d;
        EXPECT_EQ(d.computer.click("Editor", c.role, c.title), c.answer) << c.title;
        EXPECT_EQ(d.ax->log.empty() ? "" : d.ax->log.back(), c.pressed) << c.title;
    }
    Desktop failing;
    failing.ax->actionCode = -25204;
    EXPECT_EQ(failing.computer.click("Editor", std::nullopt, "Save"), "error: press failed (AXError -25204) on 'Save'.");
}

TEST(ComputerUse, SetValueFindsTheFieldByDescription) {
    Desktop d;
    EXPECT_EQ(d.computer.setValue("Editor", std::nullopt, "query", "hello"), "ok: set value of 'query' in Editor");
    EXPECT_EQ(d.ax->log, std::vector<std::string>{"set field=hello"});
    d.ax->actionCode = -25205;
    EXPECT_EQ(d.computer.setValue("Editor", std::nullopt, "Query", "x"),
              "error: set value failed (AXError -25205) on 'Query' — field may be read-only.");
}

TEST(ComputerUse, PlacesWindowsFromTheVisibleAreasTopLeft) {
    Desktop d;
    EXPECT_EQ(d.computer.placeWindow("Editor", 0, 0, 0.5, 1), "ok: placed Editor window at 0,30 size 640×770");
    EXPECT_EQ(d.computer.placeWindow("Editor", 0.5, 0.5, 0.5, 0.5), "ok: placed Editor window at 640,415 size 640×385");
    EXPECT_EQ(d.ax->log.back(), "frame win 640,415 640x385");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const size_t placed = d.ax->log.size();
    EXPECT_EQ(d.computer.placeWindow("Editor", nan, 0, 0.5, 1), "error: could not build AXValue geometry.");
    EXPECT_EQ(d.computer.placeWindow("Editor", 0, 0, 1e300, 1), "error: could not build AXValue geometry.");
    EXPECT_EQ(d.ax->log.size(), placed);

    EXPECT_EQ(d.computer.placeWindow("", 0, 0, 0.5, 1), "error: no running app named ''.");
    EXPECT_EQ(d.computer.placeWindow("Mail", 0, 0, 0.5, 1), "error: Mail has no accessible window.");
    d.ax->nodes["win"].focused = false; // the first window child serves
    d.ax->actionCode = -25200;
    EXPECT_EQ(d.computer.placeWindow("Editor", 0, 0, 0.5, 1),
              "error: window placement failed (pos AXError -25200, size AXError -25200).");
    d.screen.reset();
    EXPECT_EQ(d.computer.placeWindow("Editor", 0, 0, 0.5, 1), "error: no main screen.");
}
