#include <gtest/gtest.h>

#include <QLabel>
#include <QSettings>
#include <QSignalSpy>
#include <QSplitter>
#include <QTest>

#include <thread>

#include "VivirovVizivurad/App/Columns/DetailPane.h"
#include "VivirovVizivurad/App/Columns/PillarStack.h"
#include "VivirovVizivurad/App/ContentView.h"
#include "VivirovVizivurad/App/ContentViewModel.h"
#include "VivirovVizivurad/App/NavigationRouter.h"
#include "VivirovVizivurad/App/RoutePlaceholder.h"
#include "VivirovVizivurad/App/Sidebar/NavigationSidebarView.h"
#include "VivirovVizivurad/App/Sidebar/SidebarRow.h"
#include "VivirovVizivurad/Appearance/Appearance.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/ChatColumn/ChatColumnView.h"
#include "VivirovVizivurad/Dashboards/AgentActivityModel.h"
#include "VivirovVizivurad/Dashboards/SwarmOrchestrator.h"
#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"
#include "tests/Chat/FakeServices.h"
#include "tests/support/DetachedWork.h"
#include "tests/support/QtHarness.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/StderrCapture.h"

namespace vivirov::test {
namespace {

// The real window content over the real controller, a temporary data
// folder and temporary settings, shown offscreen.
class ShellWindow : public ::testing::Test {
protected:
    ShellWindow() {
        env.set("HOME", dir.path())
            .set("XDG_CONFIG_HOME", dir.file("config"))
            .set("VIVIROV_HW_PROFILE", "16g")
            .set("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent")
            .set("VIVIROV_PROVIDER", "anthropic")
            .set("VIVIROV_SHOW_LEGACY_ENGINES", std::nullopt)
            .set("VIVIROV_DEFAULT_ASK", std::nullopt);
        qtApp();
        AgentActivityModel::shared();
        VizivuradEngine::shared();
        Appearance::shared().setTheme(ThemeKind::midnight);
        std::thread([&] { services.prepare(); }).join();
        vm = std::make_unique<QuintoraViewModel>(services);
        model = std::make_unique<ContentViewModel>(router, swarm);
        model->sampleMemory = [] { return 1500.0; };
        view = std::make_unique<ContentView>(*model, settings, [] { return std::nullopt; });
        view->resize(1280, 832);
        view->show();
        StderrCapture capture;
        model->attachController(*vm);
        startupLog = capture.text();
        QCoreApplication::processEvents();
    }
    ~ShellWindow() override {
        settleDetachedWork();
        view.reset();
        vm.reset();
    }

    NavigationSidebarView& sidebar() { return *view->sidebar(); }
    QRgb barPixel(SidebarRow* row) { return row->grab().toImage().pixel(0, row->height() / 2); }
    static QRgb cyan() { return ThemeSnapshot::palette.cyan.rgb(); }
    QString shownTitle() {
        QWidget* shown = view->detail()->pillars()->pillar(router.currentRoute());
        if (!shown->isVisible()) return QString();
        if (auto* placeholder = qobject_cast<RoutePlaceholder*>(shown)) return placeholder->title();
        return qobject_cast<ChatColumnView*>(shown) ? routeTitle(AppRoute::chat) : QString();
    }

    ScopedEnv env;
    TempDir dir;
    FakeServices services{dir};
    QSettings settings{QString::fromStdString(dir.file("app.ini")), QSettings::IniFormat};
    NavigationRouter router;
    SwarmOrchestrator swarm;
    std::unique_ptr<QuintoraViewModel> vm;
    std::unique_ptr<ContentViewModel> model;
    std::unique_ptr<ContentView> view;
    std::string startupLog;
};

TEST_F(ShellWindow, ThreeColumnsUnderTheStripAndAZeroWidthHiddenInspector) {
    EXPECT_EQ(view->titleStrip()->height(), 28);
    ASSERT_EQ(view->splitter()->count(), 3);
    const QList<int> sizes = view->splitter()->sizes();
    EXPECT_GE(sizes[0], 240);
    EXPECT_LE(sizes[0], 360);
    EXPECT_GE(sizes[1], 480);
    EXPECT_GE(sizes[2], 260);
    EXPECT_LE(sizes[2], 360);

    QTest::keyClick(view.get(), Qt::Key_I, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_FALSE(model->isInspectorPresented());
    EXPECT_EQ(view->splitter()->count(), 3);
    EXPECT_EQ(view->splitter()->widget(2)->width(), 0);
    QTest::keyClick(view.get(), Qt::Key_I, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(model->isInspectorPresented());
    EXPECT_GE(view->splitter()->sizes()[2], 260);
}

TEST_F(ShellWindow, StartupSamplesMemoryMirrorsTheRouteAndPrintsTheSkipLine) {
    EXPECT_EQ(swarm.ramMB(), 1500.0);
    EXPECT_EQ(vm->activeRoute(), AppRoute::chat);
    EXPECT_EQ(startupLog, "[vizivurad-engine] bootstrap SKIPPED \xE2\x80\x94 " + vm->router().activeProviderID() +
                              " is the active brain (memory diet: no local engine loads)\n");
}

TEST_F(ShellWindow, EachRouteShowsItsPlaceholderAndTheActiveRowIgnoresClicks) {
    EXPECT_EQ(shownTitle(), "Vizivurad Chat");
    for (AppRoute route : {AppRoute::cowork, AppRoute::code, AppRoute::nexus, AppRoute::chat}) {
        QTest::mouseClick(sidebar().routeRow(route), Qt::LeftButton);
        EXPECT_EQ(router.currentRoute(), route);
        EXPECT_EQ(shownTitle(), routeTitle(route));
        EXPECT_EQ(vm->activeRoute(), route);
    }
    QSignalSpy changes(&router, &NavigationRouter::currentRouteChanged);
    vm->setInput("kept");
    QTest::mouseClick(sidebar().routeRow(AppRoute::chat), Qt::LeftButton);
    EXPECT_EQ(changes.count(), 0);
    EXPECT_EQ(vm->input(), "kept"); // no draft swap either
    EXPECT_EQ(sidebar().routeRow(AppRoute::code)->accessibleDescription(), "Switches to the Vivirov Code page.");
}

TEST_F(ShellWindow, DraftIsKeptPerRoute) {
    vm->setInput("half a thought");
    router.setCurrentRoute(AppRoute::cowork);
    EXPECT_EQ(vm->input(), "");
    EXPECT_EQ(vm->activeRoute(), AppRoute::cowork);
    vm->setInput("cowork note");
    router.setCurrentRoute(AppRoute::chat);
    EXPECT_EQ(vm->input(), "half a thought");
    router.setCurrentRoute(AppRoute::cowork);
    EXPECT_EQ(vm->input(), "cowork note");
    // The code route keeps no draft of its own.
    router.setCurrentRoute(AppRoute::code);
    vm->setInput("code note");
    router.setCurrentRoute(AppRoute::chat);
    router.setCurrentRoute(AppRoute::code);
    EXPECT_EQ(vm->input(), "");
}

TEST_F(ShellWindow, NewChatPutsAnActiveUntitledRowOnTopAndShowsChat) {
    EXPECT_EQ(sidebar().newChatRow()->toolTip(), "Start a new chat (Ctrl+N)");
    EXPECT_EQ(sidebar().appearanceRow()->toolTip(), "Theme & font options");
    EXPECT_TRUE(sidebar().recentHeader()->isVisible());
    router.setCurrentRoute(AppRoute::code);
    const size_t before = vm->sessions().size();

    QTest::mouseClick(sidebar().newChatRow(), Qt::LeftButton);
    EXPECT_EQ(router.currentRoute(), AppRoute::chat);
    ASSERT_EQ(vm->sessions().size(), before + 1);
    QCoreApplication::processEvents();
    SidebarRow* top = sidebar().sessionRows().front();
    EXPECT_EQ(top->text(), "New chat");
    EXPECT_EQ(top->toolTip(), "New chat");
    EXPECT_TRUE(top->isActiveRow());
    EXPECT_EQ(barPixel(top), cyan());
    EXPECT_NE(barPixel(sidebar().sessionRows()[1]), cyan());

    view->activateWindow();
    QTest::keyClick(view.get(), Qt::Key_N, Qt::ControlModifier);
    EXPECT_EQ(vm->sessions().size(), before + 2);
    EXPECT_EQ(sidebar().sessionRows().size(), before + 2);
    EXPECT_TRUE(sidebar().sessionRows().front()->isActiveRow());
    EXPECT_FALSE(sidebar().sessionRows()[1]->isActiveRow());

    // A session row selects its session and returns to chat.
    router.setCurrentRoute(AppRoute::nexus);
    QTest::mouseClick(sidebar().sessionRows()[1], Qt::LeftButton);
    EXPECT_EQ(vm->activeSessionID(), vm->sessions()[1].id);
    EXPECT_EQ(router.currentRoute(), AppRoute::chat);
}

TEST_F(ShellWindow, ThemeChangeRecoloursTheBarAndKeepsTheInspectorState) {
    router.setCurrentRoute(AppRoute::code);
    model->setInspectorPresented(false);
    model->setInspectorTab(ContentViewModel::InspectorTab::neuro);
    const QRgb before = barPixel(sidebar().routeRow(AppRoute::code));
    EXPECT_EQ(before, cyan());

    Appearance::shared().setTheme(ThemeKind::solar);
    QCoreApplication::processEvents();
    const QRgb after = barPixel(sidebar().routeRow(AppRoute::code));
    EXPECT_EQ(after, cyan());
    EXPECT_NE(after, before);
    EXPECT_FALSE(model->isInspectorPresented());
    EXPECT_EQ(model->inspectorTab(), ContentViewModel::InspectorTab::neuro);
    EXPECT_EQ(view->splitter()->widget(2)->width(), 0);
    EXPECT_EQ(shownTitle(), "Vivirov Code");
}

TEST_F(ShellWindow, DeepReadShortcutFlipsTheControllerEachTime) {
    QTest::keyClick(view.get(), Qt::Key_R, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(vm->deepReadMode());
    QTest::keyClick(view.get(), Qt::Key_R, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_FALSE(vm->deepReadMode());
}

TEST_F(ShellWindow, LoadingToastShowsExactlyWhileTheEngineReportsAStatus) {
    VizivuradEngine::shared().setLoadingStatus(QStringLiteral("Loading local model"));
    EXPECT_TRUE(view->loadingToast()->isVisible());
    EXPECT_EQ(view->loadingToast()->text(), "Loading local model");
    VizivuradEngine::shared().setLoadingStatus(QString());
    EXPECT_FALSE(view->loadingToast()->isVisible());
}

} // namespace
} // namespace vivirov::test
