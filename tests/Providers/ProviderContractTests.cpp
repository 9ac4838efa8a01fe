#include <gtest/gtest.h>

#include "VivirovKit/Providers/LLMProviderSupport.h"
#include "VivirovKit/Providers/ProviderTypes.h"
#include "VivirovKit/Support/Text.h"

using namespace vivirov;
namespace support = vivirov::LLMProviderSupport;

TEST(ProviderTypes, RolesFromRawTextAreExact) {
    EXPECT_EQ(providerRoleFromRaw("assistant"), ProviderRole::assistant);
    EXPECT_EQ(providerRoleFromRaw("tool"), ProviderRole::tool);
    EXPECT_EQ(providerRoleFromRaw("Assistant"), std::nullopt);
    EXPECT_EQ(providerRoleFromRaw(""), std::nullopt);
    for (auto role : {ProviderRole::system, ProviderRole::user, ProviderRole::assistant, ProviderRole::tool})
        EXPECT_EQ(providerRoleFromRaw(rawValue(role)), role);
}

TEST(ProviderTypes, ValueEquality) {
    ProviderToolCall a{"c1", "read", {}};
    a.arguments["x"] = "1";
    a.arguments["y"] = "2";
    ProviderToolCall b{"c1", "read", {}};
    b.arguments["y"] = "2";
    b.arguments["x"] = "1";
    EXPECT_EQ(a, b);
    b.arguments["y"] = "3";
    EXPECT_NE(a, b);

    EXPECT_EQ(StopReason::other("x"), StopReason::other("x"));
    EXPECT_NE(StopReason::other("x"), StopReason::other("y"));
    EXPECT_NE(StopReason::other("x"), StopReason::endTurn());
    EXPECT_EQ((TokenUsage{25, 40}.total()), 65);
}

TEST(ProviderTypes, ErrorTextForms) {
    EXPECT_STREQ(LLMProviderError::http(401, "Invalid key").what(), "http 401: Invalid key");
    EXPECT_STREQ(LLMProviderError::notReady("no openai API key").what(), "provider not ready: no openai API key");
    EXPECT_STREQ(LLMProviderError::transport("x").what(), "transport error: x");
    EXPECT_STREQ(LLMProviderError::decoding("y").what(), "decoding error: y");
    auto e = LLMProviderError::http(500, "m");
    EXPECT_EQ(e.kind(), LLMProviderError::Kind::http);
    EXPECT_EQ(e.status(), 500);
    EXPECT_EQ(e.message(), "m");
}

TEST(ErrorMessage, FollowsTheMemberOrderAndCutsOnlyRenderings) {
    const std::string longMessage(400, 'q');
    struct Case { std::string body, expected; };
    const Case cases[] = {
        {R"({"error":{"message":"bad key","type":"x"}})", "bad key"},
        {R"({"message":"rate limited"})", "rate limited"},
        {R"({"error":"quota"})", "quota"},
        {R"({"error":{"message":7},"message":"m"})", "m"},
        {R"({"error":{"code":7},"error_description":"z","message":3})", R"({"error":{"code":7},"error_description":"z","message":3})"},
        // A member string is returned whole, however long.
        {R"({"message":")" + longMessage + R"("})", longMessage},
        {"", ""},
        {"plain failure", "plain failure"},
        {"bad \xFF\xFE bytes", "bad \xEF\xBF\xBD\xEF\xBF\xBD bytes"},
    };
    for (const auto& c : cases) EXPECT_EQ(support::errorMessage(c.body), c.expected) << c.body;
}

TEST(ErrorMessage, CutsRenderingsToThreeHundredCharacters) {
    std::string plain(1000, 'a');
    EXPECT_EQ(support::errorMessage(plain), std::string(300, 'a'));

    std::string array = "[" + std::string(500, '1') + "]";
    EXPECT_EQ(support::errorMessage(array), array.substr(0, 300));

    std::string object = R"({"detail":")" + std::string(500, 'd') + R"("})";
    std::string rendered = support::errorMessage(object);
    EXPECT_EQ(rendered, object.substr(0, 300));

    // Characters, not bytes: 400 two-byte letters keep 300 letters.
    std::string wide;
    for (int i = 0; i < 400; ++i) wide += "\xC3\xA9";
    EXPECT_EQ(text::graphemeCount(support::errorMessage(wide)), 300u);
    EXPECT_EQ(support::errorMessage(wide).size(), 600u);
}

TEST(ArgumentFlattening, OneRuleForEveryValue) {
    auto args = support::parseArgsJSON(R"({"path":"a.txt","limit":3,"force":true,"off":false,"x":null,
        "big":3.0,"frac":2.5,"list":[1,"a"],"obj":{"k":"v"},"neg":-7})");
    std::map<std::string, std::string> expected = {
        {"path", "a.txt"}, {"limit", "3"}, {"force", "1"}, {"off", "0"}, {"x", "<null>"}, {"big", "3"},
        {"frac", "2.5"}, {"list", R"([1,"a"])"}, {"obj", R"({"k":"v"})"}, {"neg", "-7"}};
    EXPECT_EQ(args, expected);

    for (const char* bad : {"", R"({"path":"a.t)", R"(["a"])", "nonsense", "42", "\"str\""})
        EXPECT_TRUE(support::parseArgsJSON(bad).empty()) << bad;
}

TEST(ProviderSupport, TerminalStatusesAndJsonBodies) {
    struct Case { int status; bool terminal; };
    const Case cases[] = {{399, false}, {400, true}, {401, true}, {428, true}, {429, false},
                          {430, false}, {431, true}, {499, true}, {500, false}, {200, false}};
    for (auto c : cases) EXPECT_EQ(support::isTerminalHTTP(c.status), c.terminal) << c.status;

    json::Value ok = {{"a", 1}, {"b", "x y"}};
    EXPECT_EQ(support::jsonBody(ok), std::optional<std::string>(R"({"a":1,"b":"x y"})"));
    EXPECT_EQ(support::jsonBody(json::Value{{"t", std::nan("")}}), std::nullopt);
    EXPECT_EQ(support::jsonBody(json::Value{{"t", {1, INFINITY}}}), std::nullopt);
    EXPECT_EQ(support::jsonBody(json::Value{{"s", std::string("a\xFF")}}),
              std::optional<std::string>("{\"s\":\"a\xEF\xBF\xBD\"}"));
}
