#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QTest>

#include "VivirovVizivurad/App/Columns/DeepReadBadge.h"
#include "VivirovVizivurad/App/Columns/DeepReadSwitch.h"
#include "VivirovVizivurad/App/Columns/DetailPane.h"
#include "VivirovVizivurad/App/Columns/KillSwitchLayer.h"
#include "VivirovVizivurad/App/Columns/PillarStack.h"
#include "VivirovVizivurad/App/Columns/PillarTransition.h"
#include "VivirovVizivurad/App/ContentView.h"
#include "VivirovVizivurad/App/ContentViewModel.h"
#include "VivirovVizivurad/App/NavigationRouter.h"
#include "VivirovVizivurad/Permission/GodModeChrome.h"
#include "tests/Chat/TurnFixture.h"
#include "tests/support/DetachedWork.h"

namespace vivirov::test {
namespace {

using Mode = QuintoraViewModel::PermissionMode;

// A route screen that counts the clicks it receives.
class ClickTarget : public QWidget {
public:
    int clicks = 0;

protected:
    void mousePressEvent(QMouseEvent*) override { ++clicks; }
};

// The real window content over a controller whose turns go to a loopback
// model server.
class ColumnsWindow : public TurnFixture {
protected:
    ColumnsWindow() {
        build();
        model = std::make_unique<ContentViewModel>(router, SwarmOrchestrator::shared());
        model->sampleMemory = [] { return 0.0; };
        view = std::make_unique<ContentView>(*model, settings, [] { return std::nullopt; });
        view->resize(1280, 832);
        view->show();
        model->attachController(*vm);
        QCoreApplication::processEvents();
        for (AppRoute route : allRoutes) {
            targets[size_t(route)] = new ClickTarget;
            pillars().setPillar(route, targets[size_t(route)]);
        }
    }
    ~ColumnsWindow() override {
        settleDetachedWork();
        view.reset();
        model.reset();
        vm.reset();
    }

    DetailPane& pane() { return *view->detail(); }
    PillarStack& pillars() { return *pane().pillars(); }
    QPoint paneCentre() { return pane().rect().center(); }
    // Clicks whatever sits at the pane's centre, as a user would.
    void clickCentre() {
        QWidget* target = pane().childAt(paneCentre());
        ASSERT_NE(target, nullptr);
        QTest::mouseClick(target, Qt::LeftButton, {}, target->mapFrom(&pane(), paneCentre()));
    }
    int clicksOn(AppRoute route) { return targets[size_t(route)]->clicks; }
    bool buttonShown() { return pane().killSwitch()->isVisible(); }

    QSettings settings{QString::fromStdString(dir.file("app.ini")), QSettings::IniFormat};
    NavigationRouter router;
    std::unique_ptr<ContentViewModel> model;
    std::unique_ptr<ContentView> view;
    std::array<ClickTarget*, 4> targets{};
};

TEST_F(ColumnsWindow, OnlyTheShownScreenTakesAClickEvenWhileTheChangeIsDrawn) {
    clickCentre();
    EXPECT_EQ(clicksOn(AppRoute::chat), 1);

    router.setCurrentRoute(AppRoute::code);
    ASSERT_TRUE(pillars().transition()->isRunning());
    clickCentre(); // mid-transition: the drawing lies over the screens but takes nothing
    EXPECT_EQ(clicksOn(AppRoute::code), 1);
    EXPECT_EQ(clicksOn(AppRoute::chat), 1);
    ASSERT_TRUE(qtWaitUntil([&] { return !pillars().transition()->isRunning(); }));
    clickCentre();
    EXPECT_EQ(clicksOn(AppRoute::code), 2);
    for (AppRoute other : {AppRoute::cowork, AppRoute::nexus}) EXPECT_EQ(clicksOn(other), 0);
}

TEST_F(ColumnsWindow, ReturningShowsTheSameScreenAtItsScrollPosition) {
    auto* scroll = new QScrollArea;
    auto* tall = new QWidget;
    tall->setFixedSize(200, 5000);
    scroll->setWidget(tall);
    pillars().setPillar(AppRoute::chat, scroll);
    QWidget* chat = scroll;
    scroll->verticalScrollBar()->setValue(1234);

    router.setCurrentRoute(AppRoute::nexus);
    EXPECT_FALSE(chat->isVisible());
    router.setCurrentRoute(AppRoute::chat);
    EXPECT_EQ(pillars().pillar(AppRoute::chat), chat);
    EXPECT_TRUE(chat->isVisible());
    EXPECT_EQ(scroll->verticalScrollBar()->value(), 1234);
}

TEST_F(ColumnsWindow, DecorationsLetClicksThroughToTheScreen) {
    vm->setPermissionMode(Mode::god);
    vm->setDeepReadMode(true);
    ASSERT_TRUE(pane().godChrome()->isVisible());
    ASSERT_TRUE(pane().deepReadBadge()->isVisible());
    const QPoint badge = pane().deepReadBadge()->geometry().center();
    for (QPoint at : {paneCentre(), badge}) {
        QWidget* target = pane().childAt(at);
        ASSERT_NE(target, nullptr);
        EXPECT_EQ(target, pillars().pillar(AppRoute::chat));
    }
}

TEST_F(ColumnsWindow, KillSwitchFollowsTheRuleAndSitsAboveTheBottomRight) {
    struct Case {
        const char* name;
        Mode mode;
        bool chat, cowork, shown;
    };
    for (const Case& c : {Case{"ask, idle", Mode::ask, false, false, false},
                          Case{"accept, idle", Mode::accept, false, false, false},
                          Case{"god, idle", Mode::god, false, false, true},
                          Case{"chat streams", Mode::ask, true, false, true},
                          Case{"only co-work streams", Mode::accept, false, true, true}}) {
        vm->setPermissionMode(c.mode);
        vm->chatContext().setStreaming(c.chat);
        vm->coworkContext().setStreaming(c.cowork);
        EXPECT_EQ(model->killSwitchVisible(), c.shown) << c.name;
        EXPECT_TRUE(qtWaitUntil([&] { return buttonShown() == c.shown; })) << c.name;
    }
    ASSERT_TRUE(qtWaitUntil([&] { return pane().killSwitch()->width() == 56; }));
    const QRect box = pane().killSwitch()->geometry();
    EXPECT_EQ(box.size(), QSize(56, 56));
    EXPECT_EQ(pane().width() - box.right() - 1, 22);
    EXPECT_EQ(pane().height() - box.bottom() - 1, 150);
    EXPECT_EQ(pane().childAt(box.center()), pane().killSwitch()->button());
}

TEST_F(ColumnsWindow, OneClickStopsAStreamingTurnAndTheButtonLeavesExceptInGodMode) {
    vm->setAgentMode(AgentMode::ask);
    for (Mode mode : {Mode::ask, Mode::god}) {
        vm->setPermissionMode(mode);
        enqueue(ScriptedResponse::neverAnswer());
        vm->setInput("take your time");
        vm->send();
        ASSERT_TRUE(qtWaitUntil([&] { return vm->chatContext().isStreaming() && buttonShown(); }));
        QTest::mouseClick(pane().killSwitch()->button(), Qt::LeftButton);
        EXPECT_TRUE(turnEnded(vm->chatContext()));
        EXPECT_EQ(vm->lastStats(), "\xE2\x96\xA0 hard-stopped (kill switch)");
        EXPECT_EQ(qtWaitUntil([&] { return !buttonShown(); }, 1000), mode != Mode::god);
    }
}

TEST_F(ColumnsWindow, DeepReadDarkensTheWindowAndGivesBackTheLookFromBeforeTheFirstOn) {
    const QPoint probe = pane().mapTo(view.get(), QPoint(pane().width() / 2, 8));
    const auto pixel = [&] { return view->grab().toImage().pixel(probe); };
    const QRgb before = pixel();
    ASSERT_NE(before, DeepReadSwitch::darkBackground.rgb());

    vm->setDeepReadMode(true);
    EXPECT_EQ(pixel(), DeepReadSwitch::darkBackground.rgb());
    view->applyDeepRead(true); // the automation hook's second "on"
    vm->setDeepReadMode(false);
    EXPECT_EQ(pixel(), before);
    EXPECT_TRUE(qtWaitUntil([&] { return !pane().deepReadBadge()->isVisible(); }));

    view->applyDeepRead(false); // nothing saved: nothing changes
    EXPECT_EQ(pixel(), before);
}

TEST(DeepReadSwitch, NeverChoosesTheQuickAskPanel) {
    qtApp();
    QWidget panel, plain, hidden;
    DeepReadSwitch::markQuickAskPanel(&panel);
    panel.show();
    plain.show();
    DeepReadSwitch deepRead;
    EXPECT_EQ(deepRead.apply(true, nullptr, {&panel, &hidden, &plain}), &plain);
    EXPECT_FALSE(deepRead.hasSavedLook(&panel));
    EXPECT_EQ(deepRead.apply(true, nullptr, {&panel, &hidden}), &hidden);
    EXPECT_EQ(deepRead.apply(true, nullptr, {&panel}), nullptr);
    EXPECT_EQ(deepRead.apply(false, &panel, {&plain}), &panel); // the host is taken as given
}

} // namespace
} // namespace vivirov::test
