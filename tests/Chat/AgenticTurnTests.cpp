#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "VivirovKit/Tools/ToolRegistry.h"
#include "tests/Chat/TurnFixture.h"
#include "tests/support/StderrCapture.h"

namespace vivirov::test {
namespace {

class Agentic : public TurnFixture {
protected:
    Agentic() { env.set("VIVIROV_PROVIDER", "openai-compat"); }

    // Two rounds of tool calls, then the answer; every round reports usage.
    void scriptTwoToolRounds(const std::string& path) {
        enqueue(sseStream({sseToolCall(0, "c1", "read_file", json::dump(json::Value{{"path", path}})),
                           sseFinish("tool_calls", 10, 2)}));
        enqueue(sseStream(
            {sseToolCall(0, "c2", "execute_bash", R"({"command":"echo hi"})"), sseFinish("tool_calls", 20, 3)}));
        enqueue(sseStream({sseContent("All done."), sseFinish("stop", 30, 4)}));
    }
};

TEST_F(Agentic, ToolRoundsShowAsRowsAndTheAnswerIsGuardedCountedSavedAndLogged) {
    for (auto mode : {QuintoraViewModel::PermissionMode::accept, QuintoraViewModel::PermissionMode::ask}) {
        SCOPED_TRACE(mode == QuintoraViewModel::PermissionMode::ask ? "ask" : "accept");
        this->vm.reset();
        auto& vm = build();
        vm.setAgentMode(AgentMode::ask); // a cloud provider takes the agentic path even in plain Ask
        vm.setPermissionMode(mode);
        const std::string path = dir.file("notes.txt");
        std::ofstream(path) << "the notes";
        scriptTwoToolRounds(path);
        vm.setInput("hi");

        const size_t requestsBefore = chatRequests().size();
        StderrCapture err;
        vm.send();
        auto& chat = vm.chatContext();
        // In ask mode the shell call waits on the card; the test approves it.
        std::vector<std::string> cards;
        ASSERT_TRUE(qtWaitUntil([&] {
            if (const auto& card = vm.pendingCommand()) {
                cards.push_back(card->command);
                vm.resolvePermission(card->id, true);
            }
            return !chat.isStreaming();
        }));
        EXPECT_EQ(cards.empty(), mode == QuintoraViewModel::PermissionMode::accept);
        for (const auto& card : cards)
            EXPECT_EQ(card, "echo hi") << "read_file passes without a card";
        ASSERT_TRUE(qtWaitUntil([&] { return chatRequests().size() == requestsBefore + 3; }));

        const auto rows = rowTexts(chat);
        ASSERT_GE(rows.size(), 4u) << ::testing::PrintToString(rows);
        EXPECT_EQ(rows[0], "user:hi");
        EXPECT_EQ(rows[1], "assistant:All done.") << "tool rows follow the assistant row";
        auto toolRow = [&](const std::string& needle) {
            return std::any_of(rows.begin() + 2, rows.end(), [&](const std::string& r) {
                return r.starts_with("tool:") && r.find(needle) != std::string::npos;
            });
        };
        EXPECT_TRUE(toolRow("the notes")) << ::testing::PrintToString(rows);
        EXPECT_TRUE(toolRow("=exit_code: 0")) << ::testing::PrintToString(rows);
        for (const auto& m : chat.messages())
            if (m.role == Role::toolCall && !m.toolExecuting)
                EXPECT_EQ(m.toolArgsPreview, "assembling\xE2\x80\xA6");

        EXPECT_TRUE(chat.lastStats().starts_with("OpenAI-Compatible \xC2\xB7 3 iters \xC2\xB7 2 tools \xC2\xB7 "))
            << chat.lastStats();
        EXPECT_EQ(vm.router().accumulatedUsage().at("openai-compat"), (TokenUsage{60, 9}));
        EXPECT_EQ(stored(chat), (std::vector<std::string>{"user:hi", "assistant:All done."}));
        EXPECT_EQ(services->graph->queries(), (std::vector<std::string>{"hi|2|24"}));

        // The model reads the user's text once, as the objective.
        int userTurns = 0;
        const auto requests = chatRequests();
        for (const auto& m : requests[requestsBefore]["messages"])
            if (m["role"] == "user" && m["content"] == "hi")
                ++userTurns;
        EXPECT_EQ(userTurns, 1);

        const std::string log = err.text();
        EXPECT_NE(log.find("[vivirov] agentic turn via openai-compat [pillar:chat]: 2 tools, 3 iters, "),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("[vivirov] FINAL[pillar:chat/openai-compat]: All done.\n"), std::string::npos) << log;
    }
}

TEST_F(Agentic, PlanModeSendsTheWrappedObjectiveAndShowsTheTextAlone) {
    auto& vm = build();
    vm.setAgentMode(AgentMode::plan);
    enqueue(sseStream({sseContent("Plan: nothing to change."), sseFinish("stop", 1, 1)}));
    vm.setInput("tidy");
    vm.send();
    ASSERT_TRUE(turnEnded(vm.chatContext()));
    EXPECT_EQ(vm.chatContext().messages().front().content, "tidy");
    const auto requests = chatRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["messages"].back()["content"],
              "PLAN MODE (read-only): tidy\n\nAnalyze and plan, but do NOT write files or execute state-changing "
              "commands. Use read_file, list_files, and search tools only.");
}

TEST_F(Agentic, ATurnStoppedMidStreamSavesNothingMore) {
    auto& vm = build();
    const std::string partial = "Half an answer, long enough to leave the tag hold-back";
    const std::string first = "data: " + sseContent(partial) + "\n\n";
    enqueue(sseStream({sseContent(partial), sseContent("never")}).stallAfter(first.size()));
    vm.setInput("wait");
    vm.send();
    auto& chat = vm.chatContext();
    ASSERT_TRUE(
        qtWaitUntil([&] { return chat.messages().size() == 2 && chat.messages()[1].content.starts_with("Half"); }));
    const UUID convo = *chat.activeConversationID();

    this->vm.reset(); // stops and joins the turn, as quitting does
    std::vector<std::string> saved;
    for (const auto& m : services->store().messages(convo))
        saved.push_back(m.role + ":" + m.content);
    EXPECT_EQ(saved, (std::vector<std::string>{"user:wait"}));
    EXPECT_TRUE(server.waitForClientCloses(1)) << "the provider stream is cut";
}

} // namespace
} // namespace vivirov::test
