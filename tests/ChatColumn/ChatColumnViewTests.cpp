#include <gtest/gtest.h>

#include <QDragEnterEvent>
#include <QMimeData>
#include <QScrollBar>
#include <QTest>

#include <fstream>

#include "VivirovVizivurad/ChatColumn/ActivityBadge.h"
#include "VivirovVizivurad/ChatColumn/AttachmentPills.h"
#include "VivirovVizivurad/ChatColumn/ChatColumnView.h"
#include "VivirovVizivurad/ChatColumn/MessageBubble.h"
#include "VivirovVizivurad/ChatColumn/StretchableChatBar.h"
#include "VivirovVizivurad/ChatColumn/SynapticRecallStrip.h"
#include "VivirovVizivurad/ChatColumn/TranscriptModel.h"
#include "VivirovVizivurad/ChatColumn/TranscriptView.h"
#include "VivirovVizivurad/Markdown/FastMarkdownRenderer.h"
#include "tests/ChatColumn/ColumnFixture.h"

namespace vivirov::test {
namespace {

using Renderer = BubbleContent::Renderer;

class Column : public ColumnFixture {
protected:
    void open() {
        view = std::make_unique<ChatColumnView>(*vm);
        view->resize(880, 700);
        view->show();
        QCoreApplication::processEvents();
    }
    // Lets the list take the pillar's changes now.
    void settle() {
        view->transcriptModel().flushNow();
        QCoreApplication::processEvents();
    }
    TranscriptView& list() { return *view->transcript(); }
    QRect frameIn(int row) {
        QWidget* frame = list().bubbleAt(row)->bubbleFrame();
        return QRect(frame->mapTo(view.get(), QPoint(0, 0)), frame->size());
    }

    std::unique_ptr<ChatColumnView> view;
};

TEST_F(Column, TheStreamingAnswerGrowsInPlaceAndSettlesInTheSameRow) {
    const ChatMessage question = chatRow(Role::user, "What is in the notes?");
    const ChatMessage answer = chatRow(Role::assistant);
    pillar().setMessages({question, answer});
    pillar().setStreaming(true);
    open();
    settle();
    MessageBubble* bubble = list().bubbleAt(1);
    ASSERT_NE(bubble, nullptr);
    EXPECT_EQ(bubble->renderer(), Renderer::streaming);
    auto* renderer = qobject_cast<FastMarkdownRenderer*>(bubble->contentWidget());
    ASSERT_NE(renderer, nullptr);

    for (const char* piece : {"The notes ", "say hello."}) {
        pillar().append(piece, answer.id);
        settle();
    }
    EXPECT_EQ(list().bubbleAt(1), bubble) << "the row is kept, not rebuilt";
    EXPECT_EQ(bubble->contentWidget(), renderer);
    EXPECT_EQ(renderer->toPlainText(), QString::fromUtf8("The notes say hello. \xE2\x96\x8C"));

    pillar().setStreaming(false);
    settle();
    EXPECT_EQ(list().bubbleAt(1), bubble);
    EXPECT_EQ(bubble->renderer(), Renderer::markdown);
    EXPECT_FALSE(bubble->grab().isNull());

    // User bubbles hug the right edge, answers the left, each 70 points clear
    // of the other side (within the list's 22-point padding).
    const QRect user = frameIn(0), assistant = frameIn(1);
    EXPECT_GE(user.left(), TranscriptView::sidePadding + BubbleContent::oppositeGap);
    EXPECT_NEAR(user.right() + 1, view->width() - TranscriptView::sidePadding, 2);
    EXPECT_NEAR(assistant.left(), TranscriptView::sidePadding, 2);
    EXPECT_LE(assistant.right() + 1, view->width() - TranscriptView::sidePadding - BubbleContent::oppositeGap);
}

TEST_F(Column, BubblePixelsShowTheirSides) {
    pillar().setMessages({chatRow(Role::user, "Hi"), chatRow(Role::assistant, "Hello there")});
    open();
    settle();
    const QImage shot = view->grab().toImage();
    const QRect user = frameIn(0), assistant = frameIn(1);
    // The user bubble is the cyan gradient at its top-left, the answer is not.
    const QColor userCorner = shot.pixelColor(user.left() + 10, user.top() + 10);
    const QColor cyan = ThemeSnapshot::palette.cyan;
    EXPECT_LT(std::abs(userCorner.red() - cyan.red()) + std::abs(userCorner.green() - cyan.green()) +
                  std::abs(userCorner.blue() - cyan.blue()),
              40);
    const QColor answerCorner = shot.pixelColor(assistant.left() + 10, assistant.top() + 10);
    EXPECT_GT(std::abs(answerCorner.red() - userCorner.red()) + std::abs(answerCorner.green() - userCorner.green()) +
                  std::abs(answerCorner.blue() - userCorner.blue()),
              80)
        << "the answer is on the material, not the gradient";
    // Beside each bubble, towards the other side: only the background.
    EXPECT_EQ(shot.pixelColor(user.left() - 30, user.center().y()), shot.pixelColor(user.left() - 60, user.center().y()));
    EXPECT_EQ(shot.pixelColor(assistant.right() + 30, assistant.center().y()),
              shot.pixelColor(assistant.right() + 60, assistant.center().y()));
}

TEST_F(Column, ALongTranscriptBuildsOnlyTheRowsNearTheView) {
    std::vector<ChatMessage> rows;
    for (int i = 0; i < 300; ++i) rows.push_back(chatRow(i % 2 ? Role::assistant : Role::user, "row " + std::to_string(i)));
    pillar().setMessages(rows);
    open();
    settle();
    EXPECT_EQ(list().rowCount(), 300);
    EXPECT_LT(list().builtRowCount(), 40);
    EXPECT_NE(list().bubbleAt(0), nullptr) << "no scroll on first display: the top is shown";
    EXPECT_EQ(list().bubbleAt(299), nullptr);
    list().verticalScrollBar()->setValue(list().verticalScrollBar()->maximum());
    QCoreApplication::processEvents();
    EXPECT_NE(list().bubbleAt(299), nullptr);
    EXPECT_LT(list().builtRowCount(), 80);
}

TEST_F(Column, TheBadgeRowFollowsTheTransactionStateEvenAfterAUserRow) {
    open();
    pillar().setTransactionState(TransactionState::executingTool("web_search"));
    settle();
    EXPECT_EQ(list().rowCount(), 0) << "an empty list shows no placeholder";
    ASSERT_EQ(list().badgeKey(), "tool-indicator");
    auto* badge = static_cast<ActivityBadge*>(list().badgeWidget());
    EXPECT_EQ(badge->label(), QString::fromUtf8("Executing web_search\xE2\x80\xA6"));

    pillar().setMessages({chatRow(Role::user, "search it")});
    settle();
    EXPECT_EQ(list().badgeKey(), "tool-indicator");
    pillar().setTransactionState(TransactionState::validating("swift"));
    settle();
    EXPECT_EQ(list().badgeKey(), "synthesizing-indicator");
    EXPECT_EQ(static_cast<ActivityBadge*>(list().badgeWidget())->label(),
              QString::fromUtf8("Synthesizing Architecture\xE2\x80\xA6"));
    pillar().setTransactionState(TransactionState::decodingProse());
    settle();
    EXPECT_EQ(list().badgeKey(), "");
    EXPECT_EQ(list().badgeWidget(), nullptr);
}

TEST_F(Column, DropsTakeFilesAndImagesButNotText) {
    open();
    auto enter = [&](QMimeData& data) {
        QDragEnterEvent event(QPoint(400, 300), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(view.get(), &event);
        return event.isAccepted();
    };
    auto drop = [&](QMimeData& data) {
        QDropEvent event(QPointF(400, 300), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(view.get(), &event);
        return event.isAccepted();
    };
    QMimeData text;
    text.setText("just words");
    EXPECT_FALSE(enter(text));
    EXPECT_FALSE(view->dropTargeted());

    QMimeData image;
    image.setImageData(QImage(4, 4, QImage::Format_RGB32));
    EXPECT_TRUE(enter(image));
    EXPECT_TRUE(view->dropTargeted());
    EXPECT_TRUE(drop(image)) << "image data alone is taken and adds nothing";
    EXPECT_FALSE(view->dropTargeted());

    QMimeData files;
    QList<QUrl> urls;
    for (const char* name : {"a.txt", "b.md", "c.py"}) {
        std::ofstream(dir.file(name)) << name;
        urls << QUrl::fromLocalFile(QString::fromStdString(dir.file(name)));
    }
    files.setUrls(urls);
    EXPECT_TRUE(enter(files));
    EXPECT_TRUE(drop(files));
    ASSERT_TRUE(qtWaitUntil([&] { return vm->attachments().size() == 3; }));
    EXPECT_TRUE(vm->imageAttachments().empty());
}

TEST_F(Column, PillsListImagesFirstAndRemoveTheirOwnAttachment) {
    open();
    EXPECT_TRUE(view->attachmentPills()->isHidden());
    ImageAttachment image;
    image.id = UUID::random();
    image.name = "a.png";
    image.image = QImage(40, 25, QImage::Format_RGB32);
    image.width = 336;
    image.height = 210;
    vm->addPendingAttachment({UUID::random(), "notes.md", "text"});
    vm->addPendingImage(image);
    EXPECT_FALSE(view->attachmentPills()->isHidden());
    EXPECT_EQ(view->attachmentPills()->labels(),
              (QStringList{QString::fromUtf8("a.png \xC2\xB7 336\xC3\x97" "210"), "notes.md"}));
    QTest::mouseClick(view->attachmentPills()->removeButton(0), Qt::LeftButton);
    ASSERT_TRUE(qtWaitUntil([&] { return vm->imageAttachments().empty(); }));
    EXPECT_EQ(vm->attachments().size(), 1u);
    // The pills are rebuilt on the next frame: click the new first pill.
    ASSERT_TRUE(qtWaitUntil([&] { return view->attachmentPills()->labels() == QStringList{"notes.md"}; }));
    QTest::mouseClick(view->attachmentPills()->removeButton(0), Qt::LeftButton);
    ASSERT_TRUE(qtWaitUntil([&] { return vm->attachments().empty(); }));
    EXPECT_TRUE(view->attachmentPills()->isHidden());
}

TEST_F(Column, TheRecallStripNeedsItsSwitch) {
    open();
    EXPECT_EQ(view->recallStrip(), nullptr);
    env.set("VIVIROV_SHOW_RECALL", "1");
    open();
    ASSERT_NE(view->recallStrip(), nullptr);
    EXPECT_TRUE(view->recallStrip()->isHidden()) << "nothing recalled yet";
    EXPECT_NE(view->statusSlot(), nullptr);
}

// While a turn streams only the last row, the scroll and the badge change;
// the composer is not redrawn at all.
TEST_F(Column, AStreamingFlushTouchesOnlyTheLastRow) {
    std::vector<ChatMessage> rows;
    for (int i = 0; i < 20; ++i) rows.push_back(chatRow(i % 2 ? Role::assistant : Role::user, "row"));
    const ChatMessage answer = chatRow(Role::assistant);
    rows.push_back(answer);
    pillar().setMessages(rows);
    pillar().setStreaming(true);
    open();
    settle();
    list().scrollToLastRow();
    const int composerBefore = view->composer()->refreshCount();
    const int scrollsBefore = list().scrollCount();
    const int rowsBefore = list().rowRefreshCount();
    const int updatesBefore = list().updateCount();
    for (int i = 0; i < 60; ++i) {
        pillar().append("word ", answer.id);
        if (i % 2) settle(); // two flushes per frame
    }
    EXPECT_EQ(view->composer()->refreshCount(), composerBefore);
    EXPECT_EQ(list().updateCount() - updatesBefore, 30);
    EXPECT_EQ(list().rowRefreshCount() - rowsBefore, 30) << "one row per frame";
    EXPECT_EQ(list().scrollCount() - scrollsBefore, 30);
}

} // namespace
} // namespace vivirov::test
