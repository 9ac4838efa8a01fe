#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QTextCursor>
#include <QTextDocument>
#include <QToolButton>

#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/Markdown/CodeBlock.h"
#include "VivirovVizivurad/Markdown/MarkdownMessage.h"
#include "VivirovVizivurad/Markdown/ProseView.h"
#include "tests/support/QtHarness.h"

using namespace vivirov;

TEST(MarkdownMessage, BuildsProseAndCodeBlocks) {
    test::qtApp();
    MarkdownMessage message(QStringLiteral("Intro **text**\n```json\n{\"a\": 1}\n```\nOutro"), false);
    const auto blocks = message.findChildren<CodeBlock*>();
    ASSERT_EQ(blocks.size(), 1);
    EXPECT_EQ(blocks[0]->label(), QStringLiteral("JSON"));
    EXPECT_EQ(message.findChildren<ProseView*>().size(), 2);
    message.resize(400, 300);
    message.show();
    EXPECT_TRUE(test::qtWaitUntil([&] { return blocks[0]->height() > 40; }));
}

TEST(ProseView, HighlightsOnlyTheFirstExactValidationNotice) {
    test::qtApp();
    QTextDocument doc;
    const QString notice = ProseView::validationNotice;
    ProseView::render(doc, "before " + notice + " and " + notice, false);
    const QTextCursor first = doc.find(notice);
    const QTextCursor second = doc.find(notice, first.selectionEnd());
    QTextCursor inFirst(&doc), inSecond(&doc);
    inFirst.setPosition(first.selectionStart() + 2);
    inSecond.setPosition(second.selectionStart() + 2);
    EXPECT_EQ(inFirst.charFormat().foreground().color(), ProseView::noticeColor());
    EXPECT_NE(inSecond.charFormat().foreground().color(), ProseView::noticeColor());

    ProseView::render(doc, "[system: Code validation failed after 3 attempts]", false);
    QTextCursor lower(&doc);
    lower.setPosition(3);
    EXPECT_NE(lower.charFormat().foreground().color(), ProseView::noticeColor());
}

TEST(CodeBlock, CopyFeedbackEndsWithTheFirstPressTimer) {
    test::qtApp();
    std::vector<std::pair<int, std::function<void()>>> scheduled;
    CodeBlock block(std::nullopt, QStringLiteral("echo hi"));
    block.setScheduler([&](int ms, std::function<void()> job) { scheduled.emplace_back(ms, std::move(job)); });
    EXPECT_EQ(block.label(), QStringLiteral("CODE"));
    EXPECT_EQ(block.copyText(), QStringLiteral("Copy"));

    block.copyButton()->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("echo hi"));
    EXPECT_EQ(block.copyText(), QStringLiteral("Copied"));
    block.copyButton()->click();  // a second press, a second second later
    ASSERT_EQ(scheduled.size(), 2u);
    EXPECT_EQ(scheduled[0].first, 1600);

    scheduled[0].second();  // the first press's 1.6 s are over
    EXPECT_EQ(block.copyText(), QStringLiteral("Copy"));
    EXPECT_FALSE(block.copied());
}

TEST(CodeBlock, RealTimerResetsTheLabel) {
    test::qtApp();
    CodeBlock block(QStringLiteral("sh"), QStringLiteral("ls"));
    block.copy();
    EXPECT_TRUE(block.copied());
    EXPECT_TRUE(test::qtWaitUntil([&] { return !block.copied(); }, 20000));
}
