#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "VivirovKit/Support/Json.h"
#include "VivirovKit/Tools/ToolRegistry.h"
#include "VivirovVizivurad/HostTools/CommandPreview.h"
#include "VivirovVizivurad/HostTools/HostToolCatalogue.h"
#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"
#include "tests/HostTools/RecordingCatalogueServices.h"
#include "tests/HostTools/TestHome.h"
#include "tests/support/StderrCapture.h"

namespace vivirov::test {
namespace {

using Args = std::map<std::string, std::string>;

// Answers every request with a fixed verdict and records what it was asked.
class ScriptedApprover : public ToolCallApprover, public Recorder {
public:
    bool alive = true;
    std::optional<bool> verdict = true;
    bool available() const override { return alive; }
    std::optional<bool> requestPermission(const std::string& label, const std::string& body, std::stop_token) override {
        add(label + " | " + body);
        return verdict;
    }
};

std::string goldenPath() {
    const char* data = std::getenv("VIVIROV_TEST_DATA");
    auto base = data ? std::filesystem::path(data) / "HostTools" : std::filesystem::path(__FILE__).parent_path();
    return (base / "golden" / "HostToolSchema.txt").string();
}

std::string describe(const std::vector<ToolSchema>& schemas) {
    std::string text;
    for (const auto& schema : schemas) {
        text += schema.name + "\n  " + schema.description + "\n";
        for (const auto& p : schema.parameters)
            text += "  - " + p.key + (p.required ? " (required): " : " (optional): ") + p.description + "\n";
    }
    return text;
}

class Catalogue : public ::testing::Test {
protected:
    Catalogue() {
        HostToolBackends backends;
        backends.swarm = swarm;
        services.executor = std::make_shared<ToolExecutionManager>(backends);
        services.approver = approver;
        services.documents = documents;
        services.fleet = fleet;
        services.research = research;
        HostToolCatalogue::registerHostTools(registry, services);
    }
    std::string run(std::string name, Args args = {}) { return registry.dispatch({"id", std::move(name), std::move(args)}); }

    std::shared_ptr<RecordingSwarm> swarm = std::make_shared<RecordingSwarm>();
    std::shared_ptr<ScriptedApprover> approver = std::make_shared<ScriptedApprover>();
    std::shared_ptr<RecordingDocuments> documents = std::make_shared<RecordingDocuments>();
    std::shared_ptr<FakeFleet> fleet = std::make_shared<FakeFleet>();
    std::shared_ptr<RecordingResearch> research = std::make_shared<RecordingResearch>();
    HostToolCatalogue::Services services;
    ToolRegistry registry;
};

TEST_F(Catalogue, SchemaMatchesTheGoldenFile) {
    std::ifstream in(goldenPath());
    ASSERT_TRUE(in) << goldenPath();
    std::stringstream golden;
    golden << in.rdbuf();
    const auto schemas = registry.schema();
    EXPECT_EQ(schemas.size(), 25u);
    EXPECT_EQ(describe(schemas), golden.str());
}

TEST_F(Catalogue, CommandPreviewPicksTheFirstMatchingRule) {
    const std::string longContent(300, 'c');
    const struct {
        std::string json;
        std::string preview;
    } cases[] = {
        {R"(  {"tool":"execute_bash","args":{"command":"ls -la","path":"/x"}} )", "ls -la"},
        {R"({"tool":"write_file","args":{"path":"/tmp/a.txt","content":"hi"}})", "write /tmp/a.txt\nhi"},
        {R"({"tool":"write_file","args":{"path":"/a","content":")" + longContent + R"("}})",
         "write /a\n" + longContent.substr(0, 280)},
        {R"({"tool":"read_file","args":{"path":"/etc/hosts"}})", "/etc/hosts"},
        {R"({"tool":"ui_type","args":{"title":"Name","value":"Ada","app":"Editor"}})", "type \"Ada\" into 'Name' in Editor"},
        {R"({"tool":"ui_click","args":{"title":"OK"}})", "click 'OK'"},
        {R"({"tool":"ui_place_window","args":{"path":7,"x":10,"y":20.5,"app":"Term"}})", "move window in Term \xE2\x86\x92 10,20.5"},
        {R"({"tool":"ui_place_window","args":{"x":"3"}})", "move window \xE2\x86\x92 3,?"},
        {R"({"tool":"git_clone_repo","args":{"url":"https://github.com/a/b"}})",
         R"({"tool":"git_clone_repo","args":{"url":"https://github.com/a/b"}})"},
        {" not json ", " not json "},
        {R"({"tool":"browser_refresh"})", R"({"tool":"browser_refresh"})"},
    };
    for (const auto& c : cases) EXPECT_EQ(commandPreview(c.json), c.preview) << c.json;
}

TEST_F(Catalogue, EncodedCallsCarryTheWholeArgumentMap) {
    const struct {
        std::string name;
        Args args;
        std::string json;
    } cases[] = {
        {"execute_bash", {{"command", "echo hi"}}, R"({"args":{"command":"echo hi"},"tool":"execute_bash"})"},
        {"browser_refresh", {}, R"({"tool":"browser_refresh"})"},
        {"read_file", {{"path", "/a"}, {"extra", "kept"}}, R"({"args":{"extra":"kept","path":"/a"},"tool":"read_file"})"},
    };
    for (const auto& c : cases) EXPECT_EQ(json::parse(HostToolCatalogue::encodeToolCall(c.name, c.args)), json::parse(c.json));
    EXPECT_EQ(ToolExecutionManager::rawToolName(HostToolCatalogue::encodeToolCall("web_fetch", {})), "web_fetch");
}

TEST_F(Catalogue, DocumentToolsFillInTheirDefaults) {
    const auto home = testHome();
    const struct {
        std::string tool;
        Args args;
        std::string call;
    } cases[] = {
        {"pdf_extract", {}, "extract '' 80000"},
        {"excel_sum", {{"path", "/b.xlsx"}}, "excelSum '/b.xlsx' B 2-100"},
        {"excel_sum", {{"path", "/b.xlsx"}, {"column", "D"}}, "excelSum '/b.xlsx' D 2-100"},
        {"document_edit", {{"path", "/d.docx"}}, "documentEdit '/d.docx' '' '' ''"},
        {"excel_query", {}, "excelQuery '' 'preview'"},
        {"excel_update", {{"value", "9"}}, "excelUpdate '' A1 '9'"},
        {"pdf_fill_form", {}, "pdfFillForm '' {}"},
        {"ppt_create", {}, "pptCreate '' ''"},
        {"document_convert", {}, "convert '' txt none"},
        {"document_convert", {{"output", "/o.html"}, {"format", "html"}}, "convert '' html '/o.html'"},
        {"workspace_scan", {}, "scan '" + home + "' '' 40"},
        {"workspace_search", {{"root", "/r"}}, "search '/r' '' 30"},
        {"file_tree", {}, "tree '" + home + "' 2"},
        {"file_tree", {{"depth", ""}}, "tree '" + home + "' 2"},
        {"file_tree", {{"depth", "deep"}}, "tree '" + home + "' 2"},
        {"file_tree", {{"depth", "+3"}}, "tree '" + home + "' 3"},
        {"file_tree", {{"depth", "9"}}, "tree '" + home + "' 9"},
        {"file_tree", {{"depth", "-1"}}, "tree '" + home + "' -1"},
    };
    for (const auto& c : cases) {
        auto result = run(c.tool, c.args);
        ASSERT_FALSE(documents->lines().empty()) << c.tool;
        EXPECT_EQ(documents->lines().back(), c.call) << c.tool;
        EXPECT_EQ(result, "did " + c.call);
    }
    EXPECT_TRUE(approver->lines().empty()); // document tools ask only through the loop's card
}

TEST_F(Catalogue, DocumentCreateReportsTheFileOrFallsBackToThePlainWriter) {
    EXPECT_EQ(run("document_create", {{"path", "/r.docx"}, {"title", "T"}, {"content", "Body"}}), "ok: wrote docx /r.docx");
    documents->richResult = "error: no python-docx";
    EXPECT_EQ(run("document_create", {{"path", "/r.docx"}, {"title", "T"}, {"content", "Body"}}), "ok: plain");
    EXPECT_EQ(documents->lines().back(), "createDocx '/r.docx' 'T\n\nBody'");
    run("document_create", {{"path", "/r.docx"}, {"content", "Body"}});
    EXPECT_EQ(documents->lines().back(), "createDocx '/r.docx' 'Body'");
    documents->richResult = "something else";
    EXPECT_EQ(run("document_create", {{"path", "/r.docx"}}), "something else");
}

TEST_F(Catalogue, FleetStatusReportsWithoutStoppingServers) {
    EXPECT_EQ(run("fleet_status"),
              "micro:8100: UP\n"
              "rizeru:8080: UP\n"
              "rozazu:8095: DOWN\n"
              "--- memory ---\n"
              "swap 120 MB (ok)\n"
              "--- lifecycle ---\n"
              "rizeru:8080 UP core=true idle_s=3\n"
              "micro:8100 UP core=false idle_s=900\n"
              "--- routes ---\n"
              "general: ready \xE2\x80\x94 general note.\n"
              "consensus: unavailable \xE2\x80\x94 consensus note.\n"
              "fastDraft: ready \xE2\x80\x94 fastDraft note.\n"
              "vision: unavailable \xE2\x80\x94 vision note.\n"
              "audio: unavailable \xE2\x80\x94 audio note.\n"
              "document: unavailable \xE2\x80\x94 document note.\n"
              "imageGen: unavailable \xE2\x80\x94 imageGen note.\n"
              "--- gemma4 ---\n"
              "Q1_0 GGUF: NOT PUBLISHED (smallest public ~IQ2_XXS 10GB \xE2\x80\x94 too large for 24GB dual-brain). "
              "Stay on Rizeru Q1_0 until a true ~4GB quant exists.");
    EXPECT_EQ(fleet->lines(),
              (std::vector<std::string>{"fleetStatus", "refreshHealth", "statusLines", "route general", "route consensus",
                                        "route fastDraft", "route vision", "route audio", "route document",
                                        "route imageGen"}));
}

TEST_F(Catalogue, ImageGenerateAndResearchSwarm) {
    for (const std::string prompt : {"a red fox", ""})
        EXPECT_EQ(run("image_generate", {{"prompt", prompt}}),
                  "error: image_generate unavailable. imageGen note. Prompt was: " + prompt);
    EXPECT_EQ(run("research_swarm", {{"query", "tides"}}), "notes");
    EXPECT_EQ(research->lines().back(), "research 'tides' 'history,market,risks'");

    ToolRegistry bare;
    services.research = nullptr;
    HostToolCatalogue::registerHostTools(bare, services);
    EXPECT_EQ(bare.dispatch({"id", "research_swarm", {}}), "error: research swarm unavailable");
}

TEST_F(Catalogue, ExecutorToolsAskTheCardUnlessReadOnly) {
    const auto notes = testHome() + "/catalogue-notes.txt";
    run("write_file", {{"path", notes}, {"content", "abc"}});
    EXPECT_EQ(approver->lines(), (std::vector<std::string>{"Write File | write " + notes + "\nabc"}));
    EXPECT_EQ(run("read_file", {{"path", notes}}), "abc");
    EXPECT_EQ(approver->lines().size(), 1u);

    approver->verdict = false;
    StderrCapture err;
    EXPECT_EQ(run("dispatch_derov_swarm", {{"query", "q"}}), "error: command denied by the user via the permission gate");
    EXPECT_TRUE(swarm->lines().empty());
    const auto asked = HostToolCatalogue::encodeToolCall("dispatch_derov_swarm", {{"query", "q"}});
    EXPECT_EQ(approver->lines().back(), "Derov Swarm | " + asked);
    EXPECT_EQ(err.text(), "[vivirov] tool call DENIED by user: Derov Swarm \xE2\x80\x94 " + asked + "\n");

    approver->verdict = std::nullopt; // the controller went while the card waited
    EXPECT_EQ(run("execute_bash", {{"command", "true"}}), "error: command denied by the user via the permission gate");
    approver->alive = false;
    for (const char* tool : {"execute_bash", "read_file"})
        EXPECT_EQ(run(tool, {{"path", notes}}), "error: assistant unavailable") << tool;
}

} // namespace
} // namespace vivirov::test
