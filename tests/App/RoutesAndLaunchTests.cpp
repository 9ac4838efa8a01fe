#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>

#include "VivirovVizivurad/App/AppRoute.h"
#include "VivirovVizivurad/App/LaunchSteps.h"
#include "VivirovVizivurad/App/Layout/PanelConfigurationJson.h"
#include "VivirovVizivurad/App/NavigationRouter.h"
#include "tests/support/QtHarness.h"

namespace vivirov {
namespace {

TEST(Routes, TitlesAreTheTextFormAndOnlyExactTitlesParse) {
    ASSERT_EQ(allRoutes.size(), 4u);
    EXPECT_EQ(allRoutes.front(), AppRoute::chat);
    EXPECT_EQ(allRoutes.back(), AppRoute::nexus);
    for (AppRoute route : allRoutes) EXPECT_EQ(routeFromTitle(routeTitle(route)), route);
    EXPECT_EQ(routeFromTitle(QStringLiteral("Vivirov Code")), AppRoute::code);
    for (const char* text : {"code", "vivirov code", "Vivirov Code ", "", "Nexus &amp; Integrations"})
        EXPECT_EQ(routeFromTitle(QString::fromUtf8(text)), std::nullopt) << text;
}

TEST(Routes, RouterStartsOnChatAndAnnouncesOnlyRealChanges) {
    test::qtApp();
    NavigationRouter router;
    EXPECT_EQ(router.currentRoute(), AppRoute::chat);
    QSignalSpy spy(&router, &NavigationRouter::currentRouteChanged);
    router.setCurrentRoute(AppRoute::chat);
    EXPECT_EQ(spy.count(), 0);
    router.setCurrentRoute(AppRoute::code);
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy[0][0].value<AppRoute>(), AppRoute::chat);
    EXPECT_EQ(spy[0][1].value<AppRoute>(), AppRoute::code);
}

TEST(Launch, OnlyTheExactTextOneSelectsTheConsoleRoot) {
    struct Case {
        const char* console;
        const char* proof;
        bool expected;
    } cases[] = {{"1", nullptr, true},  {nullptr, "1", true},  {"true", nullptr, false}, {"01", nullptr, false},
                 {"yes", nullptr, false}, {" 1", nullptr, false}, {"", "", false},        {nullptr, nullptr, false},
                 {"0", "1", true}};
    for (const Case& c : cases) {
        QProcessEnvironment env;
        if (c.console) env.insert(QStringLiteral("VIVIROV_RUZORAVIR"), QString::fromUtf8(c.console));
        if (c.proof) env.insert(QStringLiteral("VIVIROV_RUZORAVIR_PROOF"), QString::fromUtf8(c.proof));
        EXPECT_EQ(LaunchSteps::isConsoleRoot(env), c.expected)
            << (c.console ? c.console : "-") << " / " << (c.proof ? c.proof : "-");
    }
}

TEST(Launch, ResidentMemoryIsDecimalMegabytesFromStatm) {
    EXPECT_EQ(LaunchSteps::megabytes(1'500'000'000), 1500.0);
    EXPECT_EQ(LaunchSteps::residentBytes("91234 366211 1200 10 0 5000 0\n", 4096), 366211ull * 4096);
    EXPECT_EQ(LaunchSteps::residentBytes("", 4096), std::nullopt);
    EXPECT_EQ(LaunchSteps::residentBytes("12 pages", 4096), std::nullopt);
    EXPECT_GT(LaunchSteps::sampleResidentMegabytes(), 1.0); // this test process
}

TEST(Launch, SkipLineNamesTheStoredProvider) {
    EXPECT_EQ(LaunchSteps::bootstrapSkipLine("anthropic"),
              "[vizivurad-engine] bootstrap SKIPPED \xE2\x80\x94 anthropic is the active brain (memory diet: no "
              "local engine loads)\n");
}

TEST(PanelConfigurationJson, RoundTripsAndNeedsEverySixKeys) {
    PanelConfiguration config;
    config.leftSidebarWidth = 250.5;
    config.bottomPanelCollapsed = false;
    EXPECT_EQ(decodePanelConfiguration(encodePanelConfiguration(config)), config);

    const char* keys[] = {"leftSidebarWidth",     "rightInspectorWidth",     "bottomTerminalHeight",
                          "leftSidebarCollapsed", "rightInspectorCollapsed", "bottomPanelCollapsed"};
    const QByteArray full = encodePanelConfiguration(PanelConfiguration{});
    for (const char* key : keys) {
        QJsonObject object = QJsonDocument::fromJson(full).object();
        object.remove(QLatin1String(key));
        EXPECT_EQ(decodePanelConfiguration(QJsonDocument(object).toJson()), std::nullopt) << key;
    }
    QJsonObject extra = QJsonDocument::fromJson(full).object();
    extra.insert(QStringLiteral("theme"), QStringLiteral("midnight"));
    EXPECT_EQ(decodePanelConfiguration(QJsonDocument(extra).toJson()), PanelConfiguration{});
    EXPECT_EQ(decodePanelConfiguration(R"({"leftSidebarWidth":"240"})"), std::nullopt);
}

} // namespace
} // namespace vivirov
