// The Accessibility operations against a real Qt window over a private
// AT-SPI bus and X server. Skipped, with the reason, where the stack is missing.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <future>

#include "VivirovKit/Support/Json.h"
#include "VivirovVizivurad/Accessibility/AtspiBackend.h"
#include "VivirovVizivurad/Accessibility/ComputerUse.h"
#include "tests/Accessibility/PrivateDesktop.h"
#include "tests/support/WaitUntil.h"

using namespace vivirov;

namespace {

constexpr const char* fixtureName = "axfixture";

class LiveAccessibility : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        auto& desktop = test::PrivateDesktop::shared();
        if (!desktop.ready()) return;
        fixturePid = desktop.launch({VIVIROV_AX_FIXTURE_APP});
        computer = std::make_shared<ComputerUse>(std::make_shared<AtspiBackend>(),
                                                 [] { return std::optional<ScreenRect>(ScreenRect{0, 0, 1280, 800}); });
        // Generous: a loaded machine may take long to start the window.
        appeared = test::waitUntil(
            [] {
                const std::string dump = computer->dumpUIMap(fixtureName, 3, 40, false, 0);
                return dump.find("\"OK\"") != std::string::npos;
            },
            std::chrono::seconds(60));
    }

    void SetUp() override {
        auto& desktop = test::PrivateDesktop::shared();
        if (!desktop.ready()) GTEST_SKIP() << "no private Accessibility desktop: " << desktop.skipReason;
        ASSERT_TRUE(appeared) << "the fixture window never appeared on the Accessibility bus";
    }

    // The status label's text: "idle", or "pressed <title>" once a button was pressed.
    std::string statusText() {
        auto doc = json::parse(computer->dumpUIMap(fixtureName, 18, 2000, false, 0));
        if (!doc) return {};
        std::string found;
        std::function<void(const json::Value&)> walk = [&](const json::Value& r) {
            const std::string title = r.value("title", "");
            if (r.value("role", "") == "AXStaticText" && (title == "idle" || title.rfind("pressed ", 0) == 0))
                found = title;
            if (r.contains("children"))
                for (const auto& c : r["children"]) walk(c);
        };
        walk((*doc)["ui"]);
        return found;
    }

    static inline pid_t fixturePid = 0;
    static inline bool appeared = false;
    static inline std::shared_ptr<ComputerUse> computer;
};

} // namespace

TEST_F(LiveAccessibility, ListsAndDumpsTheFixture) {
    EXPECT_TRUE(computer->trusted());
    EXPECT_NE(computer->runningAppsSummary().find("• axfixture  [pid " + std::to_string(fixturePid) + "]"),
              std::string::npos);

    const auto doc = json::parse(computer->dumpUIMap(fixtureName, 18, 2000, false, 0));
    ASSERT_TRUE(doc);
    EXPECT_EQ((*doc)["pid"], fixturePid);
    EXPECT_EQ((*doc)["ui"]["role"], "AXApplication");
    EXPECT_GT((*doc)["nodesSerialized"].get<int>(), 400);
    const auto& window = (*doc)["ui"]["children"][0];
    EXPECT_EQ(window["role"], "AXWindow");
    EXPECT_TRUE(window.contains("frame"));

    const auto one = json::parse(computer->dumpUIMap(fixtureName, 18, 1, false, 0));
    ASSERT_TRUE(one);
    EXPECT_EQ((*one)["nodesSerialized"], 1);
    EXPECT_EQ((*one)["truncatedAtNodeCap"], 1);
    EXPECT_FALSE((*one)["ui"].contains("children"));
    EXPECT_EQ((*one)["ui"]["childrenTruncated"], 1);
    const auto shallow = json::parse(computer->dumpUIMap(fixtureName, 0, 350, false, 0));
    ASSERT_TRUE(shallow);
    EXPECT_EQ((*shallow)["ui"]["childCount"], 1);
}

TEST_F(LiveAccessibility, ClicksAndTypes) {
    EXPECT_EQ(computer->click(fixtureName, std::nullopt, "Save"), "ok: pressed 'Save' in axfixture");
    EXPECT_TRUE(test::waitUntil([&] { return statusText() == "pressed Save"; })) << statusText();
    EXPECT_EQ(computer->click(fixtureName, std::nullopt, "ok"),
              "error: 'ok' is ambiguous in axfixture — 2 matches: AXButton 'OK'; AXButton 'ok'. Re-issue with an exact title.");
    EXPECT_EQ(computer->click(fixtureName, "AXStaticText", "pressed Save"),
              "error: 'pressed Save' has no press action (available: none/unreadable). Not firing a different action.");

    EXPECT_EQ(computer->setValue(fixtureName, std::nullopt, "Query", "hello/world"),
              "ok: set value of 'Query' in axfixture");
    EXPECT_NE(computer->dumpUIMap(fixtureName, 18, 2000, false, 0).find("\"value\":\"hello\\/world\""),
              std::string::npos);
}

TEST_F(LiveAccessibility, PlacesTheWindowOnTheLeftHalf) {
    EXPECT_EQ(computer->placeWindow(fixtureName, 0, 0, 0.5, 1), "ok: placed axfixture window at 0,0 size 640×800");
    const bool moved = test::waitUntil([&] {
        auto doc = json::parse(computer->dumpUIMap(fixtureName, 1, 5, false, 0));
        if (!doc || !(*doc)["ui"].contains("children")) return false;
        const auto& frame = (*doc)["ui"]["children"][0]["frame"];
        return frame.value("x", -1) == 0 && frame.value("y", -1) == 0 && frame.value("w", 0) == 640;
    });
    EXPECT_TRUE(moved);
}

TEST_F(LiveAccessibility, TheHeadlessCheckPrintsAndExitsZero) {
    std::array<char, 4096> buffer;
    std::string output;
    const std::string command = std::string("VIVIROV_UIDUMP=axfixture QT_QPA_PLATFORM=offscreen '") + VIVIROV_APP_BINARY + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_TRUE(pipe);
    while (size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) output.append(buffer.data(), n);
    const int status = ::pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(output.rfind("── ComputerUse headless verification ──\nAXIsProcessTrusted: true\nrunning regular apps:\n", 0), 0u)
        << output.substr(0, 400);
    EXPECT_NE(output.find("  • axfixture  pid=" + std::to_string(fixturePid) + "  active="), std::string::npos);
    EXPECT_NE(output.find("\nUI map for 'axfixture':\n{\n  \"application\" : \"axfixture\","), std::string::npos);
}

// Last: a stopped app must give an answer, not a hang.
TEST_F(LiveAccessibility, ZStoppedAppAnswersWithAnError) {
    ASSERT_EQ(::kill(fixturePid, SIGSTOP), 0);
    const std::string answer = computer->click(fixtureName, std::nullopt, "Save");
    ::kill(fixturePid, SIGCONT);
    EXPECT_EQ(answer.rfind("error: ", 0), 0u) << answer;
}
