#include <gtest/gtest.h>

#include <optional>

#include "VivirovKit/Agentic/InferenceTransactionManager.h"
#include "VivirovKit/Agentic/ToolCallTextForms.h"

using namespace vivirov;
using Invocation = InferenceTransactionManager::ToolInvocation;

namespace {

const std::set<std::string> known = {"read_file", "web_search", "write_file"};

std::vector<std::string> ids(const std::vector<ProviderToolCall>& calls) {
    std::vector<std::string> out;
    for (const auto& call : calls) out.push_back(call.id);
    return out;
}

std::string envelope(const std::string& json) { return "<tool_call>" + json + "</tool_call>"; }

} // namespace

TEST(DetectToolCall, SplitsTheTextAroundTheFirstEnvelope) {
    struct Case {
        const char* what;
        std::string text;
        std::optional<Invocation> expected;
    };
    const Case cases[] = {
        {"plain", "a <tool_call>{\"tool\":\"x\"}</tool_call> b", Invocation{"a ", "{\"tool\":\"x\"}", " b"}},
        {"brace inside a string", "<tool_call>{\"q\":\"a}b\"}</tool_call>", Invocation{"", "{\"q\":\"a}b\"}", ""}},
        {"escaped quote inside a string", R"(<tool_call>{"q":"say \"}\" ok"}</tool_call>)",
         Invocation{"", R"({"q":"say \"}\" ok"})", ""}},
        {"nested objects and brackets", "<tool_call>{\"a\":[{\"b\":{}}]}!", Invocation{"", "{\"a\":[{\"b\":{}}]}", "!"}},
        {"no closing tag keeps the white space", "<tool_call>{}  \n rest", Invocation{"", "{}", "  \n rest"}},
        {"white space before the closing tag is consumed", "<tool_call>{} \r\n\t </tool_call>tail",
         Invocation{"", "{}", "tail"}},
        {"closing tag cut short", "<tool_call>{}</tool_c", Invocation{"", "{}", "</tool_c"}},
        {"words between tag and object are lost", "<tool_call>call this: {\"tool\":\"x\"}",
         Invocation{"", "{\"tool\":\"x\"}", ""}},
        {"a backslash outside strings is inert", "<tool_call>{\\}x}", Invocation{"", "{\\}", "x}"}},
        {"only the first tag is examined", "p<tool_call> nothing <tool_call>{}", Invocation{"p", "{}", ""}},
        {"a brace with a combining mark is no brace", "<tool_call>{\"a\":1}\u0301}</tool_call>",
         Invocation{"", "{\"a\":1}\u0301}", ""}},
        {"an opening brace with a combining mark is skipped", "<tool_call>{\u0301 {\"a\":1}",
         Invocation{"", "{\"a\":1}", ""}},
        {"no tag", "{\"tool\":\"x\"}", std::nullopt},
        {"tag is case-sensitive", "<TOOL_CALL>{}</TOOL_CALL>", std::nullopt},
        {"no object after the tag", "<tool_call> read_file </tool_call>", std::nullopt},
        {"object never closes", "<tool_call>{\"a\":{\"b\":1}", std::nullopt},
        {"string never closes", "<tool_call>{\"a\":\"}}}", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(InferenceTransactionManager::detectToolCall(c.text), c.expected) << c.what;
}

TEST(ParseTextToolCalls, ReadsEnvelopesInOrder) {
    std::string nine;
    for (int i = 0; i < 9; ++i) nine += "step " + envelope(R"({"tool":"t)" + std::to_string(i) + "\"}") + "\n";
    auto calls = ToolCallTextForms::parseTextToolCalls(nine, known);
    EXPECT_EQ(ids(calls), (std::vector<std::string>{"txt-0", "txt-1", "txt-2", "txt-3", "txt-4", "txt-5", "txt-6",
                                                    "txt-7"}));
    EXPECT_EQ(calls.back().name, "t7");

    // The index counts envelopes, also rejected ones; unknown names are accepted.
    auto mixed = ToolCallTextForms::parseTextToolCalls(
        envelope("{not json}") + envelope(R"({"tool":"mystery"})") + envelope(R"({"tool":[1]})") + envelope(R"({"name":"n"})"),
        known);
    EXPECT_EQ(ids(mixed), (std::vector<std::string>{"txt-1", "txt-3"}));
    EXPECT_EQ(mixed[0].name, "mystery");
    EXPECT_EQ(mixed[1].name, "n");
}

TEST(ParseTextToolCalls, ReadsTheCallObject) {
    using Args = std::map<std::string, std::string>;
    struct Case {
        const char* json;
        std::optional<std::pair<std::string, Args>> expected;
    };
    const Case cases[] = {
        {R"({"tool":"read_file","args":{"path":"a.txt"}})", {{"read_file", {{"path", "a.txt"}}}}},
        {R"({"tool":"","name":"read_file"})", std::nullopt},
        {R"({"tool":7,"name":"read_file"})", {{"read_file", {}}}},
        {R"({"name":"x","arguments":{"a":"b"}})", {{"x", {{"a", "b"}}}}},
        {R"({"tool":"x","args":"oops","arguments":{"a":1}})", {{"x", {{"a", "1"}}}}},
        {R"({"tool":"x","arguments":"{\"a\":1}"})", {{"x", {}}}},
        {R"({"tool":"x","args":{"t":true,"f":false,"n":null,"i":-42,"w":3.0,"r":2.5}})",
         {{"x", {{"t", "1"}, {"f", "0"}, {"n", "<null>"}, {"i", "-42"}, {"w", "3"}, {"r", "2.5"}}}}},
        {R"({"tool":"x","args":{"list":[1,"a"]}})", {{"x", {{"list", "[1,\"a\"]"}}}}},
        {R"({"args":{"a":"b"}})", std::nullopt},
        {"[\"tool\"]", std::nullopt},
    };
    for (const auto& c : cases) {
        auto call = ToolCallTextForms::toolCall(c.json, "txt-0");
        ASSERT_EQ(call.has_value(), c.expected.has_value()) << c.json;
        if (!call) continue;
        EXPECT_EQ(call->name, c.expected->first) << c.json;
        EXPECT_EQ(call->arguments, c.expected->second) << c.json;
        EXPECT_EQ(call->id, "txt-0");
    }
}

TEST(ParseTextToolCalls, FallsBackToLooseFormsOnlyWithoutEnvelopeCalls) {
    // The object never closes: the whole text goes to the loose and shorthand forms.
    auto unclosed = ToolCallTextForms::parseTextToolCalls(
        "<tool_call>{\"tool\":\"read_file\", oops\nread_file('/tmp/a')", known);
    ASSERT_EQ(unclosed.size(), 1u);
    EXPECT_EQ(unclosed[0].id, "short-0");
    EXPECT_EQ(unclosed[0].arguments.at("path"), "/tmp/a");

    // A rejected envelope followed by a bare JSON call.
    auto bare = ToolCallTextForms::parseTextToolCalls(
        envelope(R"({"tool":""})") + R"( then {"tool":"web_search","args":{"query":"q"}})", known);
    ASSERT_EQ(bare.size(), 1u);
    EXPECT_EQ(bare[0].name, "web_search");

    // An envelope call wins: the loose forms are not looked at.
    auto envelopeWins = ToolCallTextForms::parseTextToolCalls(
        envelope(R"({"tool":"a"})") + R"( {"tool":"web_search","args":{}})", known);
    EXPECT_EQ(ids(envelopeWins), (std::vector<std::string>{"txt-0"}));
}

TEST(AppendObservation, TextAndNativeForms) {
    std::vector<ProviderChatMessage> messages;
    ProviderToolCall call{"call_7", "read_file", {{"path", "a"}}};
    ToolCallTextForms::appendObservation(messages, true, call, "x");
    ToolCallTextForms::appendObservation(messages, false, call, "x");
    ASSERT_EQ(messages.size(), 2u);

    EXPECT_EQ(messages[0].role, ProviderRole::user);
    EXPECT_EQ(messages[0].content, "<tool_result tool=\"read_file\">\nx\n</tool_result>");
    EXPECT_FALSE(messages[0].toolCallID);
    EXPECT_FALSE(messages[0].toolName);
    EXPECT_FALSE(messages[0].toolCalls);

    EXPECT_EQ(messages[1].role, ProviderRole::tool);
    EXPECT_EQ(messages[1].content, "x");
    EXPECT_EQ(messages[1].toolCallID, "call_7");
    EXPECT_EQ(messages[1].toolName, "read_file");
    EXPECT_NE(messages[0].id, messages[1].id);
}
