// The working recipe, the fast-benchmark banner and the core-only model path
// are fixed once per process, so each row of the environment matrix runs in a
// fresh child process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "engine/include/vm_engine_v2.h"
#include "tests/support/ChildTest.h"
#include "tests/support/ScopedEnv.h"

using namespace vivirov::test;

namespace {

const char* const kRecipeVars[] = {"VIVIROV_MLOCK_WALL", "VIVIROV_AMX_PC",   "VIVIROV_QK_AMX_PC",
                                   "VIVIROV_AMX_FULL",   "VIVIROV_DENSIFY",  "VIVIROV_PROG_F32",
                                   "VIVIROV_SHEXP_F32",  "VIVIROV_LM_F32"};
const char* const kInputs[] = {"VIVIROV_SKIP_MLOCK", "VIVIROV_FAST_BENCH", "VIVIROV_BENCH_MINIMAL",
                               "VIVIROV_UVM_RING_MB"};

std::string line(const char* skip) {
    return std::string("[vm_v2] working recipe applied (unset keys only): MLOCK_WALL=1 AMX_PC=1 QK_AMX_PC=1 "
                       "densify/full/prog=0 VIVIROV_SKIP_MLOCK=") +
           skip + "\n";
}

// Child: applies the recipe twice (unsetting a variable in between) and
// prints the variables and the core-only path.
TEST(RecipeChild, Apply) {
    if (!isChildTest("RecipeChild.Apply")) GTEST_SKIP() << "runs in a child process";
    vivirov_vm_v2_apply_working_recipe();
    std::string first;
    for (const char* v : kRecipeVars) first += std::string(v) + "=" + (std::getenv(v) ? std::getenv(v) : "-") + ";";
    unsetenv("VIVIROV_DENSIFY");
    vivirov_vm_v2_apply_working_recipe();
    std::cout << first << "\nDENSIFY after=" << (std::getenv("VIVIROV_DENSIFY") ? "set" : "unset")
              << "\npath=[" << vivirov_vm_v2_core_only_model_path() << "]\n";
}

struct Row {
    const char* name;
    std::vector<std::pair<std::string, std::string>> env;
    std::string stderrText;
    std::string amxPc; // the value of VIVIROV_AMX_PC afterwards
};

TEST(Recipe, EnvironmentMatrix) {
    const std::string defaults = "VIVIROV_MLOCK_WALL=1;VIVIROV_AMX_PC=1;VIVIROV_QK_AMX_PC=1;VIVIROV_AMX_FULL=0;"
                                 "VIVIROV_DENSIFY=0;VIVIROV_PROG_F32=0;VIVIROV_SHEXP_F32=0;VIVIROV_LM_F32=0;";
    const std::string banner = "[FAST_BENCH] VIVIROV_FAST_BENCH=1 ring=%s MiB minimal=1 (UVM ring shrink, skip "
                               "full OM2 prewarm, optional MLOCK_WALL=0)\n";
    auto withRing = [&](const char* mb) {
        std::string b = banner;
        b.replace(b.find("%s"), 2, mb);
        return b;
    };
    const Row rows[] = {
        {"nothing set", {}, line("(unset, strict mlock)"), "1"},
        {"a set value is kept", {{"VIVIROV_AMX_PC", "0"}}, line("(unset, strict mlock)"), "0"},
        {"skip mlock on", {{"VIVIROV_SKIP_MLOCK", "1"}}, line("1(ring unwired OK for TPS)"), "1"},
        {"skip mlock 0 reads as unset", {{"VIVIROV_SKIP_MLOCK", "0"}}, line("(unset, strict mlock)"), "1"},
        {"fast bench banner", {{"VIVIROV_FAST_BENCH", "1"}}, withRing("512") + line("(unset, strict mlock)"), "1"},
        {"banner ring size",
         {{"VIVIROV_FAST_BENCH", "1"}, {"VIVIROV_UVM_RING_MB", "64"}},
         withRing("64") + line("(unset, strict mlock)"),
         "1"},
        {"ring size out of range",
         {{"VIVIROV_FAST_BENCH", "1"}, {"VIVIROV_UVM_RING_MB", "9000"}},
         withRing("512") + line("(unset, strict mlock)"),
         "1"},
        {"fast bench 0 is off", {{"VIVIROV_FAST_BENCH", "0"}}, line("(unset, strict mlock)"), "1"},
    };
    ScopedEnv clean;
    for (const char* v : kRecipeVars) clean.set(v, std::nullopt);
    for (const char* v : kInputs) clean.set(v, std::nullopt);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto env = row.env;
        env.emplace_back("HOME", "/Users/x");
        const auto r = runChildTest("RecipeChild.Apply", env);
        ASSERT_TRUE(r.started);
        EXPECT_EQ(r.exitStatus, 0) << r.stderrData;
        // Printed once: the second call changes nothing and says nothing.
        EXPECT_EQ(r.stderrData, row.stderrText);
        std::string expected = defaults;
        expected.replace(expected.find("VIVIROV_AMX_PC=1"), 16, "VIVIROV_AMX_PC=" + row.amxPc);
        EXPECT_NE(r.stdoutData.find(expected), std::string::npos) << r.stdoutData;
        EXPECT_NE(r.stdoutData.find("DENSIFY after=unset"), std::string::npos);
        EXPECT_NE(r.stdoutData.find("path=[/Users/x/models/DeepSeek-V4-Core/ZOV4-Core-Only.gguf]"), std::string::npos);
    }
}

TEST(Recipe, CoreOnlyPathIsEmptyWithoutHome) {
    ScopedEnv clean;
    for (const char* v : kRecipeVars) clean.set(v, std::nullopt);
    for (const char* v : kInputs) clean.set(v, std::nullopt);
    for (const char* home : std::initializer_list<const char*>{"", nullptr}) {
        clean.set("HOME", home ? std::optional<std::string>(home) : std::nullopt);
        const auto r = runChildTest("RecipeChild.Apply", {});
        ASSERT_TRUE(r.started);
        EXPECT_NE(r.stdoutData.find("path=[]"), std::string::npos) << r.stdoutData;
    }
}

} // namespace
