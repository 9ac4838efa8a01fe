#include <gtest/gtest.h>

#include <QFontMetricsF>

#include <QFontInfo>
#include <QImage>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>

#include "VivirovVizivurad/Markdown/FastMarkdownRenderer.h"
#include "tests/support/QtHarness.h"

using namespace vivirov;


// Every glyph as wide as every other: what a code face must give. (Qt's own
// fixed-pitch flag is wrong for some monospace families fontconfig picks.)
static bool hasFixedAdvance(const QFont& font) {
    QFontMetricsF metrics(font);
    return metrics.horizontalAdvance(QLatin1Char('i')) == metrics.horizontalAdvance(QLatin1Char('W'));
}

namespace {
FastMarkdownInput input(const QString& text, bool streaming = true) {
    FastMarkdownInput in;
    in.text = text;
    in.isStreaming = streaming;
    in.fontSize = 14;
    in.textColor = Qt::white;
    return in;
}

void stream(FastMarkdownRenderer& view, const QString& text, int step) {
    for (qsizetype end = step; end < text.size() + step; end += step)
        view.updateContent(input(text.left(std::min(end, text.size()))));
}

bool hasColor(const QImage& image, const QColor& color) {
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y).rgb() == color.rgb()) return true;
    return false;
}

const QString sample = QStringLiteral(
    "Here is **the plan**:\n\nStep one, _quickly_.\n\n```python\nprint('hi')\nx = 2\n```\nDone with `code` "
    "and a [link](https://example.org).");
} // namespace

TEST(FastMarkdownRenderer, StreamedAnswerRendersWithCodeOnDarkBackground) {
    test::qtApp();
    FastMarkdownRenderer view;
    stream(view, sample, 3);
    const QString shown = view.document()->toPlainText();
    EXPECT_TRUE(shown.startsWith(QStringLiteral("Here is the plan:")));
    EXPECT_TRUE(shown.contains(QStringLiteral("print('hi')\u2029x = 2")) || shown.contains("print('hi')\nx = 2"));
    EXPECT_FALSE(shown.contains(QStringLiteral("```")));
    EXPECT_TRUE(shown.endsWith(QStringLiteral("Done with code and a link.")));

    // Styles: bold prose, a code line in the fixed colours, a link anchor.
    const QTextDocument* doc = view.document();
    auto formatAt = [&](const QString& needle) {
        QTextCursor c = doc->find(needle);
        return c.charFormat();
    };
    EXPECT_EQ(formatAt("the plan").fontWeight(), QFont::Bold);
    EXPECT_TRUE(formatAt("quickly").fontItalic());
    EXPECT_EQ(formatAt("print").background().color().rgb(), FastMarkdownRenderer::codeBackground().rgb());
    EXPECT_EQ(formatAt("link").anchorHref(), QStringLiteral("https://example.org"));
    EXPECT_TRUE(hasFixedAdvance(formatAt("code").font()));

    const QSize size = view.sizeThatFits(400);
    view.resize(size);
    const QImage image = view.grab().toImage();
    EXPECT_TRUE(hasColor(image, FastMarkdownRenderer::codeBackground()));
    EXPECT_FALSE(view.verticalScrollBar()->isVisible());
}

TEST(FastMarkdownRenderer, StreamingInStepsEqualsOneUpdate) {
    test::qtApp();
    FastMarkdownRenderer streamed, whole;
    stream(streamed, sample, 1);
    whole.updateContent(input(sample));
    EXPECT_EQ(streamed.document()->toPlainText(), whole.document()->toPlainText());
    EXPECT_EQ(streamed.committedLength(), whole.committedLength());
}

TEST(FastMarkdownRenderer, SameLengthDoesNothingAndShorterResets) {
    test::qtApp();
    FastMarkdownRenderer view;
    view.updateContent(input(QStringLiteral("first answer")));
    view.updateContent(input(QStringLiteral("other answer")));  // same length: unchanged
    EXPECT_EQ(view.document()->toPlainText(), QStringLiteral("first answer"));

    view.updateContent(input(QStringLiteral("para one\n\nmore")));
    EXPECT_EQ(view.committedLength(), 10);
    view.updateContent(input(QStringLiteral("new")));  // shorter than the committed part
    EXPECT_EQ(view.document()->toPlainText(), QStringLiteral("new"));
    EXPECT_EQ(view.committedLength(), 0);
}

TEST(FastMarkdownRenderer, CursorSuffixIsNeverCommitted) {
    test::qtApp();
    // A line that reaches the hard cut while the typing cursor follows it.
    FastMarkdownRenderer view;
    QString text(2047, u'a');
    FastMarkdownInput in = input(text);
    in.cursorSuffix = QStringLiteral(" \u258c");
    view.updateContent(in);
    in.text += QStringLiteral("bcd");
    view.updateContent(in);
    EXPECT_EQ(view.document()->toPlainText(), text + QStringLiteral("bcd \u258c"));
}

TEST(FastMarkdownRenderer, LongAnswersAreVirtualisedAndFollowTheEnd) {
    test::qtApp();
    FastMarkdownRenderer view;
    QString text;
    while (text.size() <= 40000) text += QStringLiteral("A line of streamed prose that goes on.\n\n");
    view.updateContent(input(text.left(40000)));
    const QSize below = view.sizeThatFits(500);
    EXPECT_GT(below.height(), 620);  // laid out in full at the threshold
    EXPECT_EQ(view.verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);

    view.updateContent(input(text));
    EXPECT_EQ(view.sizeThatFits(500), QSize(500, 620));
    view.resize(500, 620);
    view.show();
    view.updateContent(input(text + QStringLiteral("tail")));
    QScrollBar* bar = view.verticalScrollBar();
    EXPECT_TRUE(bar->isVisible());
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());

    EXPECT_EQ(view.sizeThatFits(std::nullopt).width(), 320);
    EXPECT_EQ(view.sizeThatFits(0).width(), 0);
}
