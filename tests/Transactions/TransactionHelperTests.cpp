#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "VivirovKit/Agentic/InferenceTransactionManager.h"

using namespace vivirov;
using OpenFence = InferenceTransactionManager::OpenFence;

TEST(DetectOpenFence, NeedsACompleteFenceLine) {
    struct Case {
        const char* what;
        std::string text;
        std::optional<OpenFence> fence;
    };
    const Case cases[] = {
        {"language and rest", "Intro ```python\nprint(1)", OpenFence{"Intro ", "python", "print(1)"}},
        {"blanks around the tag are trimmed, other characters kept", "``` \t Py thon\t \r\nx",
         OpenFence{"", "Py thon\t \r", "x"}},
        {"empty tag", "```\n", OpenFence{"", "", ""}},
        {"only the first fence counts", "a```js\n``` b```c\n", OpenFence{"a", "js", "``` b```c\n"}},
        {"a line feed before the fence does not end its line", "x\n```py", std::nullopt},
        {"fence line not finished", "text ```python", std::nullopt},
        {"two backticks are no fence", "``\nx", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(InferenceTransactionManager::detectOpenFence(c.text), c.fence) << c.what;
}

TEST(ExtractToolName, DisplayNames) {
    const std::pair<std::string, std::string> cases[] = {
        {R"({"tool":"execute_bash","args":{}})", "Bash"},
        {R"(  {"tool":"read_file"}  )", "Read File"},
        {R"({"tool":"write_file"})", "Write File"},
        {R"({"tool":"web_search"})", "web_search"},
        {R"({"name":"read_file"})", "tool"},
        {R"({"tool":7})", "tool"},
        {R"(["read_file"])", "tool"},
        {"not json", "tool"},
        {"", "tool"},
    };
    for (const auto& [json, name] : cases) EXPECT_EQ(InferenceTransactionManager::extractToolName(json), name) << json;
}
