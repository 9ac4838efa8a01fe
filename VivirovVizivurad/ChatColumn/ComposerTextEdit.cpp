#include "VivirovVizivurad/ChatColumn/ComposerTextEdit.h"

#include <QAbstractTextDocumentLayout>
#include <QKeyEvent>
#include <QTextBlock>

#include <algorithm>

namespace vivirov {

ComposerTextEdit::ComposerTextEdit(QWidget* parent) : QPlainTextEdit(parent) {
    setFrameShape(QFrame::NoFrame);
    setPlaceholderText(QStringLiteral("Ask Vivirov\u2026"));
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setTabChangesFocus(true);
    viewport()->setAutoFillBackground(false);
    setStyleSheet(QStringLiteral("QPlainTextEdit { background: transparent; }"));
    document()->setDocumentMargin(2);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(this, &QPlainTextEdit::textChanged, this, &ComposerTextEdit::fitHeight);
    fitHeight();
}

int ComposerTextEdit::lineCount() const {
    int lines = 0;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next())
        lines += std::max(1, block.layout() ? block.layout()->lineCount() : 1);
    return std::max(1, lines);
}

int ComposerTextEdit::visibleLines() const { return std::min(lineCount(), maxLines); }

QSize ComposerTextEdit::sizeHint() const {
    const int line = fontMetrics().lineSpacing();
    const int margins = int(2 * document()->documentMargin()) + contentsMargins().top() + contentsMargins().bottom();
    return {200, visibleLines() * line + margins};
}

void ComposerTextEdit::fitHeight() {
    setFixedHeight(sizeHint().height());
    updateGeometry();
}

void ComposerTextEdit::resizeEvent(QResizeEvent* event) {
    QPlainTextEdit::resizeEvent(event);
    fitHeight();
}

void ComposerTextEdit::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && !(event->modifiers() & Qt::ShiftModifier)) {
        emit submitted();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

} // namespace vivirov
