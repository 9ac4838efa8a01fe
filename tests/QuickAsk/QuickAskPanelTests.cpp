#include <gtest/gtest.h>

#include <QLabel>
#include <QScrollBar>
#include <QSettings>
#include <QTest>
#include <QToolButton>

#include "VivirovVizivurad/App/ContentView.h"
#include "VivirovVizivurad/App/ContentViewModel.h"
#include "VivirovVizivurad/App/NavigationRouter.h"
#include "VivirovVizivurad/QuickAsk/QuickAskContentView.h"
#include "VivirovVizivurad/QuickAsk/QuickAskController.h"
#include "VivirovVizivurad/QuickAsk/QuickAskPanel.h"
#include "tests/Chat/TurnFixture.h"
#include "tests/support/DetachedWork.h"

namespace vivirov::test {
namespace {

// The main window's content over a controller whose turns go to a loopback
// model server; its Quick Ask controller is the one under test.
class QuickAskWindow : public TurnFixture {
protected:
    QuickAskWindow() {
        build();
        model = std::make_unique<ContentViewModel>(router, SwarmOrchestrator::shared());
        model->sampleMemory = [] { return 0.0; };
        view = std::make_unique<ContentView>(*model, settings, [] { return std::nullopt; });
        view->resize(1280, 832);
        view->show();
        model->attachController(*vm);
        quickAsk().screens = [] { return QList<QuickAskLayout::Screen>{{QRect(0, 0, 1920, 1080), QRect(0, 0, 1920, 1080)}}; };
        quickAsk().pointer = [] { return QPoint(10, 10); };
        QCoreApplication::processEvents();
    }
    ~QuickAskWindow() override {
        settleDetachedWork();
        view.reset();
        model.reset();
        vm.reset();
    }

    QuickAskController& quickAsk() { return view->quickAsk(); }
    QuickAskContentView& content() { return *quickAsk().panel()->content(); }
    void pressKey(QWidget* where) { QTest::keyClick(where, Qt::Key_J, Qt::ControlModifier | Qt::ShiftModifier); }
    bool panelOnScreen() { return quickAsk().panel() && quickAsk().panel()->isVisible(); }

    QSettings settings{QString::fromStdString(dir.file("app.ini")), QSettings::IniFormat};
    NavigationRouter router;
    std::unique_ptr<ContentViewModel> model;
    std::unique_ptr<ContentView> view;
};

TEST_F(QuickAskWindow, TheKeyTogglesThePanelAndTheDraftSurvivesHiding) {
    quickAsk().hide(); // before any show: only the flag
    EXPECT_FALSE(quickAsk().isVisible());
    EXPECT_EQ(quickAsk().panel(), nullptr);

    pressKey(view.get());
    ASSERT_TRUE(quickAsk().isVisible());
    ASSERT_TRUE(panelOnScreen());
    EXPECT_EQ(quickAsk().panel()->geometry(), QRect(640, 359, 640, 102));
    QTest::keyClicks(content().field(), "half a question");
    EXPECT_EQ(quickAsk().draft(), "half a question");

    pressKey(content().field()); // in the panel itself the key is ours too
    EXPECT_FALSE(quickAsk().isVisible());
    EXPECT_TRUE(qtWaitUntil([&] { return !panelOnScreen(); }));
    pressKey(view.get());
    EXPECT_TRUE(panelOnScreen());
    EXPECT_EQ(content().field()->toPlainText(), "half a question");
    EXPECT_EQ(content().hints(), QStringList({"Ctrl+Shift+J", "to summon", "Ctrl+Return", "to send"}));
}

TEST_F(QuickAskWindow, GrowsAtItsBottomEdgeAndScrollsFromSixLines) {
    quickAsk().show();
    const QPoint topLeft = quickAsk().panel()->geometry().topLeft();
    quickAsk().setDraft("one\ntwo\nthree");
    ASSERT_TRUE(qtWaitUntil([&] { return quickAsk().panel()->height() == 146; }));
    EXPECT_EQ(quickAsk().panel()->geometry().topLeft(), topLeft);
    EXPECT_FALSE(content().lineCountLabel()->isVisible());

    QStringList lines;
    for (int i = 1; i <= 40; ++i) lines << QString::number(i);
    quickAsk().setDraft(lines.join('\n'));
    ASSERT_TRUE(qtWaitUntil([&] { return quickAsk().panel()->height() == 190; }));
    EXPECT_EQ(quickAsk().panel()->geometry().topLeft(), topLeft);
    EXPECT_EQ(content().field()->height(), 116);
    EXPECT_EQ(content().editorRow()->height(), 132);
    EXPECT_TRUE(content().field()->verticalScrollBar()->isVisible());
    EXPECT_TRUE(content().lineCountLabel()->isVisible());
    EXPECT_EQ(content().lineCountLabel()->text(), "40 lines");
}

TEST_F(QuickAskWindow, ReturnSendsFromCoWorkIntoTheChatAndKeepsTheComposerDraft) {
    enqueue(sseStream({sseContent("Sure."), sseFinish("stop", 3, 1)}));
    vm->setInput("my unsent chat draft");
    router.setCurrentRoute(AppRoute::cowork);
    vm->setInput("co-work note");
    quickAsk().show();

    QTest::keyClicks(content().field(), "  what now?");
    QTest::keyClick(content().field(), Qt::Key_Return, Qt::ShiftModifier);
    EXPECT_EQ(quickAsk().draft(), "  what now?\n");
    EXPECT_TRUE(content().sendButton()->isEnabled());
    QTest::keyClick(content().field(), Qt::Key_Return);

    EXPECT_EQ(router.currentRoute(), AppRoute::chat);
    ASSERT_FALSE(vm->chatContext().messages().empty());
    EXPECT_EQ(vm->chatContext().messages().front().content, "what now?");
    EXPECT_EQ(quickAsk().draft(), "");
    EXPECT_FALSE(quickAsk().isVisible());
    EXPECT_EQ(vm->input(), "my unsent chat draft");
    EXPECT_TRUE(turnEnded(vm->chatContext()));
    router.setCurrentRoute(AppRoute::cowork);
    EXPECT_EQ(vm->input(), "co-work note");
}

TEST_F(QuickAskWindow, ACommitThatCannotBeSentNowKeepsThePanelAndItsDraft) {
    quickAsk().show();
    vm->chatContext().setStreaming(true);
    quickAsk().setDraft("later, please");
    QTest::keyClick(content().field(), Qt::Key_Return, Qt::ControlModifier);
    EXPECT_TRUE(quickAsk().isVisible());
    EXPECT_EQ(quickAsk().draft(), "later, please");
    EXPECT_EQ(vm->chatContext().messages().size(), 0u);
    vm->chatContext().setStreaming(false);

    quickAsk().setDraft(" \n\t");
    EXPECT_FALSE(content().sendButton()->isEnabled());
    EXPECT_FALSE(quickAsk().commit());
    EXPECT_EQ(quickAsk().draft(), " \n\t");
}

TEST_F(QuickAskWindow, AShowDuringTheFadeOutLeavesThePanelShown) {
    quickAsk().show();
    quickAsk().hide();
    quickAsk().show();
    QTest::qWait(QuickAskController::fadeOutMs * 3);
    EXPECT_TRUE(quickAsk().isVisible());
    EXPECT_TRUE(panelOnScreen());
    pressKey(content().field());
    EXPECT_TRUE(qtWaitUntil([&] { return !panelOnScreen(); }));
}

} // namespace
} // namespace vivirov::test
