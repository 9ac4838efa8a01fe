#include <gtest/gtest.h>

#include <QLabel>
#include <QScrollBar>
#include <QSettings>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTest>
#include <QTextBrowser>
#include <QTextCursor>

#include <filesystem>

#include "VivirovVizivurad/App/Columns/DetailPane.h"
#include "VivirovVizivurad/App/Columns/PillarStack.h"
#include "VivirovVizivurad/App/ContentView.h"
#include "VivirovVizivurad/App/ContentViewModel.h"
#include "VivirovVizivurad/App/NavigationRouter.h"
#include "VivirovVizivurad/Appearance/Appearance.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/ChatColumn/ChatColumnView.h"
#include "VivirovVizivurad/ChatColumn/InlineToolCallView.h"
#include "VivirovVizivurad/ChatColumn/MessageBubble.h"
#include "VivirovVizivurad/ChatColumn/ReduceMotion.h"
#include "VivirovVizivurad/ChatColumn/StretchableChatBar.h"
#include "VivirovVizivurad/ChatColumn/ComposerTextEdit.h"
#include "VivirovVizivurad/ChatColumn/TranscriptView.h"
#include "VivirovVizivurad/Markdown/FastMarkdownRenderer.h"
#include "VivirovVizivurad/Permission/CommandCardOverlay.h"
#include "VivirovVizivurad/Permission/VerdictButton.h"
#include "tests/Chat/TurnFixture.h"

namespace vivirov::test {
namespace {

// The real window over the real controller in ask mode, whose model is an
// OpenAI-style stream from a loopback server.
class ChatRoute : public TurnFixture {
protected:
    ChatRoute() {
        env.set("XDG_CONFIG_HOME", dir.file("config"));
        Appearance::shared().setTheme(ThemeKind::midnight);
        ReduceMotion::force(true);
        build();
        vm->setAgentMode(AgentMode::ask);
        model = std::make_unique<ContentViewModel>(router, swarm);
        model->sampleMemory = [] { return 1000.0; };
        view = std::make_unique<ContentView>(*model, settings, [] { return std::nullopt; });
        view->resize(1280, 832);
        view->show();
        // The history load ends by naming the active conversation again.
        QSignalSpy loaded(&vm->chatContext(), &PillarContext::activeConversationIDChanged);
        model->attachController(*vm);
        // The stored history loads first; the test's earlier messages come after it.
        EXPECT_TRUE(qtWaitUntil([&] { return loaded.count() > 0; }));
        // Earlier messages, so the list has to scroll to follow the answer.
        std::vector<ChatMessage> history;
        for (int i = 0; i < 24; ++i) {
            ChatMessage m;
            m.id = UUID::random();
            m.role = i % 2 ? Role::assistant : Role::user;
            m.content = "earlier message " + std::to_string(i);
            history.push_back(m);
        }
        vm->chatContext().setMessages(history);
        QCoreApplication::processEvents();
        column = qobject_cast<ChatColumnView*>(view->detail()->pillars()->pillar(AppRoute::chat));
        card = view->findChild<CommandCardOverlay*>();
    }
    ~ChatRoute() override {
        view.reset();
        model.reset();
        vm.reset();
        ReduceMotion::force(std::nullopt);
    }

    // A first round that says a few words, waits, then asks for the shell.
    void scriptShellRound(const std::string& command) {
        // Long enough to pass the loop's hold-back of a possible tool tag.
        const std::string opening = "Let me look at what this folder holds before answering. ";
        const std::string first = "data: " + sseContent(opening) + "\n\n";
        auto round = sseStream({sseContent(opening), sseContent("One moment."),
                                sseToolCall(0, "c1", "execute_bash", json::dump(json::Value{{"command", command}})),
                                sseFinish("tool_calls", 5, 5)});
        enqueue(round.splitAt({first.size()}, std::chrono::milliseconds(1500)));
        enqueue(sseStream({sseContent("All done."), sseFinish("stop", 5, 5)}));
    }
    void ask(const char* question) {
        QWidget* field = column->composer()->textField();
        field->setFocus();
        QTest::keyClicks(field, question);
        QTest::keyClick(field, Qt::Key_Return);
    }
    TranscriptView& list() { return *column->transcript(); }
    const ChatMessage* lastTool() {
        const auto& rows = vm->chatContext().messages();
        for (auto it = rows.rbegin(); it != rows.rend(); ++it)
            if (it->role == Role::toolCall) return &*it;
        return nullptr;
    }
    InlineToolCallView* toolView() {
        const auto& rows = vm->chatContext().messages();
        for (int i = int(rows.size()) - 1; i >= 0; --i)
            if (rows[size_t(i)].role == Role::toolCall) {
                column->transcriptModel().flushNow();
                list().scrollToLastRow();
                MessageBubble* bubble = list().bubbleAt(i);
                return bubble ? qobject_cast<InlineToolCallView*>(bubble->contentWidget()) : nullptr;
            }
        return nullptr;
    }

    QSettings settings{QString::fromStdString(dir.file("app.ini")), QSettings::IniFormat};
    NavigationRouter router;
    SwarmOrchestrator swarm;
    std::unique_ptr<ContentViewModel> model;
    std::unique_ptr<ContentView> view;
    ChatColumnView* column = nullptr;
    CommandCardOverlay* card = nullptr;
};

TEST_F(ChatRoute, AQuestionStreamsRunsTheApprovedCommandAndSettles) {
    ASSERT_NE(column, nullptr) << "the chat route shows the chat column";
    ASSERT_NE(card, nullptr);
    scriptShellRound("echo hi");
    ask("What is here?");

    // The question: right-aligned in the cyan bubble.
    const int question = 24, answer = 25;
    ASSERT_TRUE(qtWaitUntil([&] { return vm->chatContext().messages().size() >= 26; }));
    column->transcriptModel().flushNow();
    MessageBubble* asked = list().bubbleAt(question);
    ASSERT_NE(asked, nullptr);
    EXPECT_TRUE(asked->isUser());
    QWidget* frame = asked->bubbleFrame();
    const int right = frame->mapTo(list().viewport(), QPoint(frame->width(), 0)).x();
    EXPECT_NEAR(right, list().viewport()->width() - TranscriptView::sidePadding, 2);
    const QImage shot = frame->grab().toImage();
    const QColor corner = shot.pixelColor(12, 12), cyan = ThemeSnapshot::palette.cyan;
    EXPECT_LT(std::abs(corner.green() - cyan.green()) + std::abs(corner.blue() - cyan.blue()), 40);

    // The answer streams into a left bubble with the cursor, the list at its end.
    FastMarkdownRenderer* renderer = nullptr;
    ASSERT_TRUE(qtWaitUntil([&] {
        column->transcriptModel().flushNow();
        MessageBubble* b = list().bubbleAt(answer);
        renderer = b ? qobject_cast<FastMarkdownRenderer*>(b->contentWidget()) : nullptr;
        return renderer && renderer->toPlainText().startsWith("Let me");
    })) << ::testing::PrintToString(rowTexts(vm->chatContext()));
    EXPECT_TRUE(renderer->toPlainText().endsWith(QString::fromUtf8(" \xE2\x96\x8C")));
    EXPECT_FALSE(list().bubbleAt(answer)->isUser());
    MessageBubble* streaming = list().bubbleAt(answer);
    EXPECT_EQ(streaming->mapTo(list().viewport(), QPoint(0, streaming->height())).y(), list().viewport()->height())
        << "the answer's row sits on the bottom edge";

    // The shell call waits on the card: the tool's badge and the coloured command.
    ASSERT_TRUE(qtWaitUntil([&] { return card->shown().has_value(); }, 15000));
    EXPECT_FALSE(card->isHidden());
    EXPECT_EQ(card->toolLabel()->text(), "Bash");
    EXPECT_TRUE(card->findChild<QLabel*>() != nullptr);
    bool headed = false;
    for (QLabel* label : card->findChildren<QLabel*>()) headed |= label->text() == "Permission requested";
    EXPECT_TRUE(headed);
    EXPECT_EQ(card->commandText()->toPlainText(), "echo hi");
    QTextCursor first(card->commandText()->document());
    first.setPosition(1);
    EXPECT_EQ(first.charFormat().foreground().color(), ThemeSnapshot::palette.crimson) << "echo is a command word";

    // Execute on each card (the loop's, then the shell tool's own).
    int cards = 0;
    ASSERT_TRUE(qtWaitUntil([&] {
        if (card->shown() && !card->isHidden()) {
            if (cards == 1) {
                InlineToolCallView* running = toolView();
                EXPECT_TRUE(running && running->showsSpinner()) << "the row spins while the call waits and runs";
            }
            QTest::mouseClick(card->executeButton(), Qt::LeftButton);
            ++cards;
        }
        const ChatMessage* tool = lastTool();
        return tool && tool->toolResult.has_value();
    }, 15000));
    EXPECT_EQ(cards, 2);
    ASSERT_TRUE(qtWaitUntil([&] {
        InlineToolCallView* done = toolView();
        return done && done->showsCheck();
    }));
    InlineToolCallView* done = toolView();
    EXPECT_FALSE(done->showsSpinner());
    EXPECT_TRUE(done->previewLabel()->text().contains("exit_code: 0")) << done->previewLabel()->text().toStdString();

    // The answer settles without the cursor.
    ASSERT_TRUE(turnEnded(vm->chatContext()));
    column->transcriptModel().flushNow();
    MessageBubble* settled = list().bubbleAt(answer);
    list().verticalScrollBar()->setValue(0);
    ASSERT_NE(settled, nullptr);
    EXPECT_NE(settled->renderer(), BubbleContent::Renderer::streaming);
    EXPECT_EQ(vm->chatContext().messages()[size_t(answer)].content.find("\xE2\x96\x8C"), std::string::npos);
    EXPECT_TRUE(card->isHidden());
}

TEST_F(ChatRoute, DenyLeavesTheCommandUnrunWithTheLoopsRefusal) {
    const std::string marker = dir.file("ran");
    scriptShellRound("touch " + marker);
    ask("Make a file");
    ASSERT_TRUE(qtWaitUntil([&] { return card->shown().has_value(); }, 15000));
    QTest::mouseClick(card->denyButton(), Qt::LeftButton);
    ASSERT_TRUE(turnEnded(vm->chatContext()));
    EXPECT_FALSE(std::filesystem::exists(marker));
    const ChatMessage* tool = lastTool();
    ASSERT_NE(tool, nullptr);
    EXPECT_EQ(tool->toolResult, "error: the user denied this tool call.");
    InlineToolCallView* row = toolView();
    ASSERT_NE(row, nullptr);
    EXPECT_TRUE(row->showsCheck());
    EXPECT_TRUE(row->previewLabel()->text().startsWith("error: the user denied"));
}

} // namespace
} // namespace vivirov::test
