#include <gtest/gtest.h>

#include "VivirovKit/Verification/ScriptedVerifier.h"

namespace vivirov {
namespace {

TEST(ScriptedVerifier, AnswersTheScriptThenRepeatsTheLastVerdict) {
    const ValidationResult valid{true, std::nullopt};
    const ValidationResult invalid{false, "P"};
    struct Case {
        const char* name;
        std::vector<bool> verdicts;
        std::vector<ValidationResult> expected;
    } cases[] = {
        {"false then true", {false, true}, {invalid, valid, valid, valid}},
        {"true then false", {true, false}, {valid, invalid, invalid}},
        {"empty script", {}, {valid, valid, valid}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedVerifier verifier(c.verdicts, "P");
        for (const ValidationResult& expected : c.expected)
            EXPECT_EQ(verifier.validateCodeBlock("anything", "python"), expected);
        EXPECT_EQ(verifier.callCount(), static_cast<int64_t>(c.expected.size()));
    }
}

} // namespace
} // namespace vivirov
