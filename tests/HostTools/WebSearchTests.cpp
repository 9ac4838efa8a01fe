#include <gtest/gtest.h>

#include <filesystem>
#include <future>

#include "VivirovVizivurad/HostTools/ProcessRegistry.h"
#include "VivirovVizivurad/HostTools/PublicWebTools.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitUntil.h"

namespace vivirov {
namespace {

struct SearchFixture : ::testing::Test {
    test::TempDir dir;
    ProcessRegistry registry;
    PublicWebTools tools{dir.file("missing-bundled.py")};
    test::ScopedEnv env{"VIVIROV_WEBSEARCH_SCRIPT", std::nullopt};

    std::string script(const std::string& name, const std::string& body) {
        return dir.write(name, "import sys\n" + body);
    }
};

TEST_F(SearchFixture, OutcomesOfTheScript) {
    struct Case {
        std::string body, expected;
    };
    const std::vector<Case> cases = {
        {"print('results here')\nprint('warn', file=sys.stderr)\n", "results here\n"},
        {"sys.stdout.write('   ')\n", "   "},
        {"print('it broke', file=sys.stderr)\nsys.exit(1)\n", "web_search error: it broke\n"},
        {"sys.exit(2)\n", "web_search returned no output (exit 2)."},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        test::ScopedEnv use("VIVIROV_WEB_SEARCH_SCRIPT", script("s" + std::to_string(i) + ".py", cases[i].body));
        EXPECT_EQ(tools.webSearch(" query ", registry, {}), cases[i].expected) << cases[i].body;
    }
}

TEST_F(SearchFixture, QueryReachesTheScriptAsOneArgument) {
    test::ScopedEnv use("VIVIROV_WEB_SEARCH_SCRIPT",
                        script("echo.py", "print(len(sys.argv) - 1)\nprint(sys.argv[1])\n"));
    EXPECT_EQ(tools.webSearch("it's a; $HOME `id` \"q\"\n", registry, {}), "1\nit's a; $HOME `id` \"q\"\n");
}

TEST_F(SearchFixture, ScriptLookupAndRefusals) {
    EXPECT_EQ(tools.webSearch(" \n\t", registry, {}), "error: empty web_search query");
    {
        test::ScopedEnv missing("VIVIROV_WEB_SEARCH_SCRIPT", dir.file("nope.py"));
        EXPECT_EQ(tools.webSearch("q", registry, {}).rfind("error: web_search helper script not found \xE2\x80\x94 "
                                                           "checked $VIVIROV_WEB_SEARCH_SCRIPT",
                                                           0),
                  0u);
        // The second variable is the fallback, then the bundled script.
        test::ScopedEnv second("VIVIROV_WEBSEARCH_SCRIPT", script("second.py", "print('second')\n"));
        EXPECT_EQ(tools.webSearch("q", registry, {}), "second\n");
    }
    PublicWebTools bundled{script("bundled.py", "print('bundled')\n")};
    test::ScopedEnv empty("VIVIROV_WEB_SEARCH_SCRIPT", "");
    EXPECT_EQ(bundled.webSearch("q", registry, {}), "bundled\n");
}

TEST_F(SearchFixture, KillSwitchEndsAHangingScript) {
    const std::string marker = dir.file("started");
    test::ScopedEnv use("VIVIROV_WEB_SEARCH_SCRIPT",
                        script("hang.py", "import time\nopen('" + marker + "', 'w').close()\ntime.sleep(600)\n"));
    auto result = std::async(std::launch::async, [&] { return tools.webSearch("q", registry, {}); });
    ASSERT_TRUE(test::waitUntil([&] { return std::filesystem::exists(marker); }, std::chrono::seconds(60)));
    registry.terminateAll(250);
    EXPECT_EQ(result.get().rfind("web_search returned no output (exit 1", 0), 0u);
}

} // namespace
} // namespace vivirov
