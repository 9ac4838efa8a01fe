// The in-app browser on an off-screen Qt WebEngine page: navigation
// answers, local files and a loopback fixture page, text extraction, the
// glass style, reloads of a shown file, and the hub the host tools use.
#include <gtest/gtest.h>

#include <QWebEnginePage>

#include <filesystem>
#include <fstream>
#include <future>

#include "VivirovVizivurad/Browser/BrowserHub.h"
#include "VivirovVizivurad/Browser/GlassBrowserModel.h"
#include "VivirovVizivurad/HostTools/PublicAddressCheck.h"
#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/QtHarness.h"
#include "tests/support/WebEngineApp.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace vivirov::test {
namespace {

class Browser : public ::testing::Test {
protected:
    Browser() {
        webApp();
        env.set("HOME", home.path());
        BrowserHub::shared()->attach(model);
    }
    ~Browser() override { PublicAddressCheck::allowLoopbackPortForTesting(0); }

    std::string write(const std::string& name, const std::string& html) {
        std::ofstream(home.file(name)) << html;
        return home.file(name);
    }
    bool loaded() { return qtWaitUntil([&] { return !model.isLoading(); }, 20000); }
    // Runs a script in the page and waits for its answer.
    QVariant evaluate(const QString& script) {
        QVariant answer;
        bool done = false;
        model.page().runJavaScript(script, [&](const QVariant& v) {
            answer = v;
            done = true;
        });
        qtWaitUntil([&] { return done; });
        return answer;
    }
    std::string bodyText() { return BrowserHub::shared()->extractText(); }

    ScopedEnv env;
    TempDir home;
    GlassBrowserModel model;
};

TEST_F(Browser, NavigationAnswersTheRequestAndRefusesWhatItCannotOpen) {
    EXPECT_EQ(model.reloadPage(),
              "note: nothing is loaded yet \xE2\x80\x94 call browser_navigate with a URL or file path first");
    EXPECT_FALSE(model.isLoading());
    EXPECT_EQ(model.navigate(" \n\t"), "error: empty navigation target");
    EXPECT_EQ(model.urlString(), GlassBrowserModel::initialURL);

    struct Case {
        std::string target, answer;
    };
    const std::string page = write("page.html", "<p>hello</p>");
    const Case cases[] = {
        {"~/missing.html", "error: no file at " + home.file("missing.html")},
        {"/nowhere/x.html", "error: no file at /nowhere/x.html"},
        {"http://exa mple.com/", "error: invalid URL 'http://exa mple.com/'"},
        {"http://localhost:1/", "error: refusing to open a local or private network address in the in-app browser: "
                                "http://localhost:1/"},
        {"http://169.254.169.254/latest", "error: refusing to open a local or private network address in the "
                                          "in-app browser: http://169.254.169.254/latest"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(model.navigate(c.target), c.answer);
        EXPECT_EQ(model.urlString(), GlassBrowserModel::initialURL) << c.target;
        EXPECT_FALSE(model.isLoading()) << c.target;
    }

    EXPECT_EQ(model.navigate("  example.invalid  "), "ok: navigating to https://example.invalid");
    EXPECT_EQ(model.urlString(), "https://example.invalid");
    EXPECT_TRUE(model.isLoading());
    ASSERT_TRUE(loaded());
    EXPECT_FALSE(model.statusLine().empty()) << "the failed load says why";
    const std::string failure = model.statusLine();

    for (const std::string& target : {std::string("~/page.html"), "file://" + page, page}) {
        EXPECT_EQ(model.navigate(target), "ok: opening file " + page + " in the in-app browser");
        EXPECT_EQ(model.urlString(), "file://" + page);
        ASSERT_TRUE(loaded());
        EXPECT_EQ(bodyText(), "hello");
    }
    EXPECT_EQ(model.statusLine(), failure) << "a later success keeps the last failure";
    EXPECT_TRUE(model.reloadPage().starts_with("ok: reloaded file://"));
}

TEST_F(Browser, ALoopbackFixturePageIsReadStyledOnceAndCutAt8000Characters) {
    HttpTestServer server;
    const std::string longText(10000, 'a');
    server.setHandler([&](const RecordedRequest& request) {
        if (request.path() == "/long") return ScriptedResponse::text(200, "<p>" + longText + "</p>", "text/html");
        return ScriptedResponse::text(200, "<html><head></head><body><h1>Fixture</h1></body></html>", "text/html");
    });
    EXPECT_TRUE(model.navigate(server.baseURL() + "/").starts_with("error: refusing")) << "loopback needs the allowance";
    PublicAddressCheck::allowLoopbackPortForTesting(server.port());

    EXPECT_EQ(model.navigate(server.baseURL() + "/"), "ok: navigating to " + server.baseURL() + "/");
    ASSERT_TRUE(loaded());
    EXPECT_EQ(bodyText(), "Fixture");
    EXPECT_EQ(evaluate(QStringLiteral("document.querySelectorAll('#__vivirov_glass').length")).toInt(), 1);
    EXPECT_EQ(evaluate(QStringLiteral("getComputedStyle(document.body).color")).toString(),
              QStringLiteral("rgba(255, 255, 255, 0.86)"));

    model.navigate(server.baseURL() + "/long");
    ASSERT_TRUE(loaded());
    EXPECT_EQ(bodyText(), std::string(8000, 'a'));
    EXPECT_TRUE(model.canGoBack());

    // A page without a body: the hub says there is nothing to read yet.
    const std::string bare = write("bare.svg", "<svg xmlns='http://www.w3.org/2000/svg'/>");
    model.navigate(bare);
    ASSERT_TRUE(loaded());
    EXPECT_EQ(bodyText(), BrowserHub::noTextYet);
}

TEST_F(Browser, AShownFileReloadsWhenWrittenUntilAWebAddressReplacesIt) {
    const std::string page = write("live.html", "<p>first</p>");
    std::filesystem::create_directories(home.file("sub"));
    model.navigate(page);
    ASSERT_TRUE(loaded());
    ASSERT_EQ(bodyText(), "first");

    // The watcher alone reloads on a change made by anything else.
    std::ofstream(page) << "<p>changed</p>";
    EXPECT_TRUE(qtWaitUntil([&] { return bodyText() == "changed"; }));

    // The executor's write_file names the page through "." and "..".
    HostToolBackends backends;
    backends.browser = BrowserHub::shared();
    ToolExecutionManager executor(std::move(backends));
    const std::string roundabout = home.file("sub/../.") + "/live.html";
    // As in the app, the tool runs on a worker and waits for the GUI thread.
    auto written = std::async(std::launch::async, [&] {
        return executor.handle(R"({"tool":"write_file","args":{"path":")" + roundabout +
                               R"(","content":"<p>second</p>"}})");
    });
    ASSERT_TRUE(qtWaitUntil([&] { return written.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    const std::string answer = written.get();
    EXPECT_NE(answer.find("live-reloaded the in-app browser"), std::string::npos) << answer;
    EXPECT_TRUE(qtWaitUntil([&] { return bodyText() == "second"; }));

    model.navigate("example.invalid");
    ASSERT_TRUE(loaded());
    EXPECT_FALSE(model.refreshIfShowing(page));
    std::ofstream(page) << "<p>fourth</p>";
    qtWaitUntil([] { return false; }, 500);
    EXPECT_FALSE(model.isLoading()) << "a page no longer shown is not reloaded";
}

TEST(BrowserHubAlone, WithoutAModelEveryEntryPointSaysSo) {
    webApp();
    {
        GlassBrowserModel gone;
        BrowserHub::shared()->attach(gone);
    }
    auto& hub = *BrowserHub::shared();
    EXPECT_EQ(hub.navigate("example.invalid"), BrowserHub::noBrowserText);
    EXPECT_EQ(hub.refresh(), BrowserHub::noBrowserText);
    EXPECT_EQ(hub.extractText(), BrowserHub::noBrowserText);
    EXPECT_EQ(hub.refreshIfShowing("/tmp/x.html"), std::nullopt);
    // From another thread the answer comes the same way.
    auto fromWorker = std::async(std::launch::async, [&] { return hub.navigate("x"); });
    ASSERT_TRUE(qtWaitUntil([&] { return fromWorker.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_EQ(fromWorker.get(), BrowserHub::noBrowserText);
}

} // namespace
} // namespace vivirov::test
