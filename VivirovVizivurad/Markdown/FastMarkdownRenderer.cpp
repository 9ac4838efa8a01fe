#include "VivirovVizivurad/Markdown/FastMarkdownRenderer.h"

#include <QAbstractTextDocumentLayout>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <cmath>

#include "VivirovVizivurad/Appearance/SystemFont.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"

namespace vivirov {

namespace {
QTextBlockFormat codeBlockFormat() {
    QTextBlockFormat format;
    format.setLeftMargin(10);
    format.setRightMargin(10);
    format.setTopMargin(4);
    format.setBottomMargin(4);
    return format;
}
} // namespace

FastMarkdownRenderer::FastMarkdownRenderer(QWidget* parent) : QTextEdit(parent) {
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse);
    setFrameShape(QFrame::NoFrame);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setLineWrapMode(QTextEdit::FixedPixelWidth);
    setLineWrapColumnOrWidth(containerWidth_);
    setUndoRedoEnabled(false);
    document()->setDocumentMargin(0);
    viewport()->setAutoFillBackground(false);
    setStyleSheet(QStringLiteral("QTextEdit { background: transparent; }"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

QColor FastMarkdownRenderer::codeText() { return QColor::fromRgbF(0.86f, 0.90f, 0.96f); }
QColor FastMarkdownRenderer::codeBackground() { return QColor::fromRgbF(0.08f, 0.09f, 0.13f); }

qsizetype FastMarkdownRenderer::storageLength() const { return document()->characterCount() - 1; }

void FastMarkdownRenderer::renderInline(QTextCursor& cursor, QStringView text, double size,
                                        const QColor& color) {
    QTextCharFormat base;
    base.setFont(systemFont(size));
    base.setForeground(color);
    InlineMarkdown::insert(cursor, text, base, ThemeSnapshot::palette.cyan);
}

void FastMarkdownRenderer::renderCode(QTextCursor& cursor, QStringView text, double size) {
    QTextCharFormat format;
    format.setFont(systemFont(size - 1, QFont::Normal, FontDesign::monospaced));
    format.setForeground(codeText());
    format.setBackground(codeBackground());
    cursor.insertText(text.toString(), format);
}

void FastMarkdownRenderer::appendSegment(QTextCursor& cursor, const FMSegment& segment) {
    const bool code = segment.kind == FMBlockKind::code;
    // New blocks inherit the block above: set each segment's own so that code
    // margins never leak into the prose after it.
    if (cursor.atBlockStart()) cursor.setBlockFormat(code ? codeBlockFormat() : QTextBlockFormat());
    if (code) renderCode(cursor, segment.text, input_.fontSize);
    else renderInline(cursor, segment.text, input_.fontSize, input_.textColor);
}

void FastMarkdownRenderer::updateContent(const FastMarkdownInput& input) {
    const qsizetype length = input.text.size();
    if (length < incr_.committedSrc) {
        document()->clear();
        incr_ = FMIncrementalState{};
        committedDst_ = 0;
        lastLen_ = 0;
    }
    if (length == lastLen_ && didFirstRender_) return;
    didFirstRender_ = true;
    lastLen_ = length;
    input_ = input;

    FMAdvance step = FMIncremental::advance(input.text, incr_);
    QTextCursor cursor(document());
    cursor.beginEditBlock();
    if (storageLength() > committedDst_) {
        cursor.setPosition(int(committedDst_));
        cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    cursor.movePosition(QTextCursor::End);
    for (const FMSegment& segment : step.commit) appendSegment(cursor, segment);
    // The document may store a CR LF as one separator: count what it holds.
    committedDst_ = storageLength();
    incr_ = step.state;
    if (!step.open.text.isEmpty()) appendSegment(cursor, step.open);
    if (!input.cursorSuffix.isEmpty())
        appendSegment(cursor, FMSegment{input.cursorSuffix, FMBlockKind::prose, std::nullopt});
    cursor.endEditBlock();

    if (input.isStreaming && length > input.virtualizeThreshold) {
        // Lay out to the end so the scroll range is current, then follow it.
        document()->documentLayout()->blockBoundingRect(document()->lastBlock());
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    }
    updateGeometry();
}

QSize FastMarkdownRenderer::sizeThatFits(std::optional<int> width) {
    const int proposed = width.value_or(320);
    const int container = std::max(proposed, 1);
    if (std::abs(containerWidth_ - container) > 0) {
        containerWidth_ = container;
        setLineWrapColumnOrWidth(container);
    }
    if (lastLen_ > input_.virtualizeThreshold) {
        if (verticalScrollBarPolicy() != Qt::ScrollBarAlwaysOn)
            setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        return {proposed, int(std::ceil(input_.maxVirtualHeight))};
    }
    if (verticalScrollBarPolicy() != Qt::ScrollBarAlwaysOff)
        setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    const QSizeF laidOut = document()->documentLayout()->documentSize();
    return {proposed, int(std::ceil(laidOut.height()))};
}

int FastMarkdownRenderer::heightForWidth(int width) const {
    return const_cast<FastMarkdownRenderer*>(this)->sizeThatFits(width).height();
}

QSize FastMarkdownRenderer::sizeHint() const {
    return const_cast<FastMarkdownRenderer*>(this)->sizeThatFits(width() > 0 ? width() : 320);
}

} // namespace vivirov
