#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "VivirovKit/Verification/TreeSitterGrammars.h"
#include "VivirovKit/Verification/UniversalASTVerifier.h"

namespace vivirov {
namespace {

std::string penaltyFor(const std::string& kind, int byte, const std::string& near,
                       const std::string& identifier) {
    std::string text = "\n// PARSER " + kind + " at byte [" + std::to_string(byte) + "]";
    if (!near.empty()) text += " near '" + near + "'";
    return text + ": structurally invalid " + identifier +
           ". Close all brackets, quotes, and blocks; emit strictly valid syntax. Retry block.\n";
}

// A verifier whose grammars did not load would pass everything and look
// green; this fails loudly instead.
TEST(UniversalASTVerifier, EveryGrammarLoadsIntoTheRuntime) {
    struct Grammar {
        const char* name;
        const TSLanguage* language;
    } grammars[] = {{"c", tree_sitter_c()},
                    {"javascript", tree_sitter_javascript()},
                    {"python", tree_sitter_python()}};
    TSParser* parser = ts_parser_new();
    for (const Grammar& g : grammars) {
        SCOPED_TRACE(g.name);
        ASSERT_NE(g.language, nullptr);
        EXPECT_GE(ts_language_version(g.language), TREE_SITTER_MIN_COMPATIBLE_LANGUAGE_VERSION);
        EXPECT_LE(ts_language_version(g.language), TREE_SITTER_LANGUAGE_VERSION);
        EXPECT_TRUE(ts_parser_set_language(parser, g.language))
            << "the tree-sitter runtime refuses the " << g.name << " grammar";
    }
    ts_parser_delete(parser);
}

struct BlockCase {
    const char* name;
    std::string identifier;
    std::string code;
    bool valid;
    std::string penalty; // exact, when invalid
};

TEST(UniversalASTVerifier, ParsesEachLanguageAndNamesTheFirstError) {
    const std::vector<BlockCase> cases = {
        {"valid C", "c", "int main(void) { return 0; }\n", true, ""},
        {"C unclosed parameter list before a brace", "c", "int main(void { return 0; }\n", false,
         penaltyFor("MISSING TOKEN", 13, "", "c")},
        {"C missing operand", "c", "int f(int a) { return a + ; }\n", false,
         penaltyFor("MISSING TOKEN", 25, "", "c")},
        {"valid JavaScript", "js", "function f(a, b) { return a + b; }\n", true, ""},
        {"JavaScript unclosed string", "javascript", "let s = \"abc;\n", false,
         penaltyFor("SYNTAX ERROR", 0, "let s = \"abc;", "javascript")},
        {"TypeScript goes through the JavaScript grammar", "ts", "let x: number = 1;\n", false,
         ""},
        {"valid Python", "python", "def f(a, b):\n    return a + b\n", true, ""},
        {"Python unclosed parameter list", "python", "def f(a, b:\n    return a\n", false,
         penaltyFor("SYNTAX ERROR", 0, "def f(a, b:\n    return a", "python")},
        {"Python unclosed call", "py", "print('hello'\n", false,
         penaltyFor("SYNTAX ERROR", 0, "print('hello'", "py")},
        {"empty block", "python", "", true, ""},
        {"unknown language", "ruby", "def (((", true, ""},
        {"empty identifier", "", "int main( {", true, ""},
        {"identifier in capitals selects the grammar; the text keeps them", "PYTHON",
         "print('hello'\n", false, penaltyFor("SYNTAX ERROR", 0, "print('hello'", "PYTHON")},
        {"snippet cut to 48 characters after trimming", "c",
         "int x = 1 " + std::string(60, '@') + ";\n", false,
         penaltyFor("SYNTAX ERROR", 10, std::string(48, '@'), "c")},
    };
    UniversalASTVerifier verifier;
    for (const BlockCase& c : cases) {
        SCOPED_TRACE(c.name);
        const ValidationResult result = verifier.validateCodeBlock(c.code, c.identifier);
        EXPECT_EQ(result.isValid, c.valid);
        if (c.valid) {
            EXPECT_EQ(result.penaltyString, std::nullopt);
        } else if (!c.penalty.empty()) {
            EXPECT_EQ(result.penaltyString, c.penalty);
        } else {
            ASSERT_TRUE(result.penaltyString.has_value());
            EXPECT_EQ(result.penaltyString->rfind("\n// PARSER ", 0), 0u);
        }
    }
}

// Thousands of unclosed brackets make a very deep error tree; the walk must
// not recurse on the stack, and the runtime must not see input large enough
// to break it.
TEST(UniversalASTVerifier, SurvivesDeeplyNestedAndOversizedInput) {
    UniversalASTVerifier verifier;
    const std::string deep(UniversalASTVerifier::kMaxCheckedBytes, '(');
    const ValidationResult nested = verifier.validateCodeBlock(deep, "python");
    EXPECT_FALSE(nested.isValid);

    const std::string huge(UniversalASTVerifier::kMaxCheckedBytes + 1, '(');
    EXPECT_TRUE(verifier.validateCodeBlock(huge, "python").isValid);

    // The parser stays usable afterwards.
    EXPECT_TRUE(verifier.validateCodeBlock("x = 1\n", "python").isValid);
}

TEST(UniversalASTVerifier, ConcurrentCallsShareOneParserSafely) {
    UniversalASTVerifier verifier;
    const ValidationResult brokenC = verifier.validateCodeBlock("int main(void { }", "c");
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                if (!verifier.validateCodeBlock("x = [1, 2]\n", "python").isValid) ++failures[t];
                if (verifier.validateCodeBlock("int main(void { }", "c") != brokenC) ++failures[t];
                if (!verifier.validateCodeBlock("const a = () => 1;", "js").isValid) ++failures[t];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

} // namespace
} // namespace vivirov
