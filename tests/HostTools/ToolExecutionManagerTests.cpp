#include <gtest/gtest.h>

#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"
#include "tests/HostTools/RecordingBackends.h"
#include "tests/support/StderrCapture.h"

using namespace vivirov;

namespace {

struct Executor {
    std::shared_ptr<test::RecordingSwarm> swarm = std::make_shared<test::RecordingSwarm>();
    std::shared_ptr<test::RecordingAccessibility> ax = std::make_shared<test::RecordingAccessibility>();
    std::shared_ptr<test::RecordingBrowser> browser = std::make_shared<test::RecordingBrowser>();
    std::shared_ptr<test::RecordingWeb> web = std::make_shared<test::RecordingWeb>();
    std::shared_ptr<test::RecordingCloner> cloner = std::make_shared<test::RecordingCloner>();
    ToolExecutionManager manager{HostToolBackends{web, cloner, swarm, browser, ax}};

    // The result and the last recorded operation of any backend.
    std::pair<std::string, std::string> run(const std::string& json) {
        std::string result = manager.handle(json);
        std::string last;
        for (test::Recorder* r : std::initializer_list<test::Recorder*>{swarm.get(), ax.get(), browser.get(), web.get(), cloner.get()}) {
            auto lines = r->lines();
            if (!lines.empty()) last = lines.back();
        }
        return {result, last};
    }
};

const std::string parseError = "error: could not parse tool call JSON: ";

} // namespace

TEST(ToolExecutionManager, DecodesOnlyTheStrictCallForm) {
    struct Case {
        std::string json;
        std::string result; // exact, or the parse error with the text's start
    };
    const std::string numeric = R"({"tool":"dispatch_derov_swarm","args":{"query":"q","agent_count":5}})";
    for (const Case& c : std::vector<Case>{
             {" \n\t{\"tool\":\"dispatch_derov_swarm\",\"args\":{\"query\":\"q\"}}\n ", "swarm ok"},
             {R"({"tool":"read_file"})", "error: could not read file at "},
             {R"({"tool":"read_file","args":null})", "error: could not read file at "},
             {R"({"tool":"read_file","args":{},"extra":[1,2]})", "error: could not read file at "},
             {numeric, parseError + numeric},
             {R"({"tool":"x","args":{"a":null}})", parseError + R"({"tool":"x","args":{"a":null}})"},
             {R"({"tool":"x","args":["a"]})", parseError + R"({"tool":"x","args":["a"]})"},
             {R"({"tool":5})", parseError + R"({"tool":5})"},
             {"{}", parseError + "{}"},
             {R"([{"tool":"read_file"}])", parseError + R"([{"tool":"read_file"}])"},
             {"not json", parseError + "not json"},
             {R"({"tool":"Read_File"})", "error: unknown tool 'Read_File'"},
         }) {
        Executor e;
        EXPECT_EQ(e.manager.handle(c.json), c.result) << c.json;
    }
    EXPECT_EQ(ToolExecutionManager::rawToolName(numeric), "dispatch_derov_swarm");
}

TEST(ToolExecutionManager, LogsEveryDecodedCallAndTheStartOfEveryParseFailure) {
    Executor e;
    {
        test::StderrCapture capture;
        e.manager.handle(R"({"tool":"Read_File"})");
        e.manager.handle(R"({"tool":"ui_click","args":{"title":"Say \"hi\"\n","app":"Files"}})");
        EXPECT_EQ(capture.text(), "[tool] run Read_File args=[:]\n"
                                  "[tool] run ui_click args=[\"app\": \"Files\", \"title\": \"Say \\\"hi\\\"\\n\"]\n");
    }
    const std::string longText = "{" + std::string(499, 'x');
    test::StderrCapture capture;
    EXPECT_EQ(e.manager.handle(longText), parseError + longText.substr(0, 160));
    EXPECT_EQ(capture.text(), "[tool] PARSE-FAIL: " + longText.substr(0, 120) + "\n");
}

TEST(ToolExecutionManager, DispatchesWithDefaultsAndStrictConversions) {
    struct Case {
        std::string json;
        std::string operation;
    };
    for (const Case& c : std::vector<Case>{
             {R"({"tool":"ui_place_window","args":{"app":"Files","w":"abc","h":" 1"}})", "place 'Files' 0 0 0.5 1"},
             {R"({"tool":"ui_place_window"})", "place '' 0 0 0.5 1"},
             {R"({"tool":"ui_place_window","args":{"x":"0.25","y":"1e-1","w":"0.75","h":"0.5 "}})",
              "place '' 0.25 0.1 0.75 1"},
             {R"({"tool":"dispatch_derov_swarm","args":{"agent_count":"-3"}})", "swarm  -3"},
             {R"({"tool":"dispatch_derov_swarm","args":{"agent_count":"+12"}})", "swarm  12"},
             {R"({"tool":"dispatch_derov_swarm","args":{"agent_count":" 12"}})", "swarm  10000"},
             {R"({"tool":"dispatch_derov_swarm","args":{"agent_count":""}})", "swarm  10000"},
             {R"({"tool":"dispatch_derov_swarm","args":{"agent_count":"12.5"}})", "swarm  10000"},
             {R"({"tool":"dispatch_derov_swarm","args":{"agent_count":"9223372036854775808"}})", "swarm  10000"},
             {R"({"tool":"dispatch_derov_swarm","args":{"query":"q"}})", "swarm q 10000"},
             {R"({"tool":"browser_navigate","args":{"url":"https://a.example","path":"/tmp/p.html"}})",
              "navigate https://a.example"},
             {R"({"tool":"browser_navigate","args":{"path":"/tmp/p.html"}})", "navigate /tmp/p.html"},
             {R"({"tool":"browser_navigate"})", "navigate "},
             {R"({"tool":"browser_refresh"})", "refresh"},
             {R"({"tool":"ui_apps"})", "apps"},
             {R"({"tool":"ui_dump","args":{"app":""}})", "dump '' 18 350 compact 18000"},
             {R"({"tool":"ui_dump"})", "dump none 18 350 compact 18000"},
             {R"({"tool":"ui_click","args":{"role":"button"}})", "click none 'button' ''"},
             {R"({"tool":"ui_set_value","args":{"app":"A","title":"t","value":"v"}})", "set 'A' none 't' 'v'"},
             {R"({"tool":"git_clone_repo","args":{"url":"u","dest":""}})", "clone u '' none"},
             {R"({"tool":"web_search","args":{"query":"q"}})", "search q"},
             {R"({"tool":"web_fetch"})", "fetch "},
         }) {
        Executor e;
        EXPECT_EQ(e.run(c.json).second, c.operation) << c.json;
    }
    Executor e;
    e.browser->pageText = std::string(4001, 'p');
    EXPECT_EQ(e.manager.handle(R"({"tool":"browser_extract"})"),
              std::string(4000, 'p') + "\n…[truncated 1 chars]");
}

TEST(ToolExecutionManager, MissingOperationAnswersUnavailable) {
    ToolExecutionManager bare;
    EXPECT_EQ(bare.handle(R"({"tool":"web_fetch","args":{"url":"https://a.example"}})"),
              "error: web_fetch is unavailable");
}

TEST(ToolExecutionManager, NamesAndReadOnlySet) {
    for (auto [json, name] : std::vector<std::pair<std::string, std::string>>{
             {R"({"tool":"dispatch_derov_swarm"})", "Derov Swarm"},
             {R"({"tool":"execute_bash","args":{"command":1}})", "Bash"},
             {R"({"tool":"ui_set_value"})", "Type"},
             {R"({"tool":"brand_new"})", "brand_new"},
             {R"([{"tool":"read_file"}])", "tool"},
             {"not json", "tool"},
             {R"({"tool":7})", "tool"},
         })
        EXPECT_EQ(ToolExecutionManager::toolName(json), name) << json;
    EXPECT_EQ(ToolExecutionManager::rawToolName(R"([{"tool":"read_file"}])"), "");
    EXPECT_EQ(ToolExecutionManager::rawToolName(" {\"tool\":\"web_fetch\"} "), "web_fetch");

    const auto& readOnly = ToolExecutionManager::readOnlyTools();
    EXPECT_EQ(readOnly.size(), 8u);
    for (const char* name : {"ui_dump", "browser_navigate", "read_file", "web_fetch"}) EXPECT_TRUE(readOnly.count(name)) << name;
    for (const char* name : {"write_file", "execute_bash", "git_clone_repo", "dispatch_derov_swarm", "nope"})
        EXPECT_FALSE(readOnly.count(name)) << name;
}

TEST(ToolExecutionManager, CapKeepsHeadOrTailInCharacters) {
    const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7"; // one character
    struct Case {
        std::string text;
        size_t limit;
        std::string head, tail;
    };
    for (const Case& c : std::vector<Case>{
             {"abcdef", 4, "abcd\n…[truncated 2 chars]", "…[truncated 2 chars]\ncdef"},
             {"abcdef", 6, "abcdef", "abcdef"},
             {family + family + "x", 2, family + family + "\n…[truncated 1 chars]", "…[truncated 1 chars]\n" + family + "x"},
             {"a\r\nb", 2, "a\r\n\n…[truncated 1 chars]", "…[truncated 1 chars]\n\r\nb"},
             {std::string(4000, 'z'), 4000, std::string(4000, 'z'), std::string(4000, 'z')},
             {std::string(4001, 'z'), 4000, std::string(4000, 'z') + "\n…[truncated 1 chars]",
              "…[truncated 1 chars]\n" + std::string(4000, 'z')},
         }) {
        EXPECT_EQ(ToolExecutionManager::cap(c.text, c.limit), c.head) << c.text.substr(0, 10);
        EXPECT_EQ(ToolExecutionManager::capTail(c.text, c.limit), c.tail) << c.text.substr(0, 10);
    }
    // Characters dropped before the text arrived count in the note.
    EXPECT_EQ(ToolExecutionManager::cap("abc", 2, 10), "ab\n…[truncated 11 chars]");
}
