#include "VivirovVizivurad/Markdown/FittedTextView.h"

#include <QAbstractTextDocumentLayout>
#include <QScrollBar>
#include <QTextDocument>
#include <cmath>
#include <memory>

namespace vivirov {

FittedTextView::FittedTextView(QWidget* parent) : QTextBrowser(parent) {
    setFrameShape(QFrame::NoFrame);
    setOpenLinks(false);
    setOpenExternalLinks(false);
    // Selectable by mouse only, so a focused view draws no caret.
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    document()->setDocumentMargin(0);
    viewport()->setAutoFillBackground(false);
    setStyleSheet(QStringLiteral("QTextBrowser { background: transparent; }"));
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    connect(document()->documentLayout(), &QAbstractTextDocumentLayout::documentSizeChanged, this,
            [this] { fit(); });
}

void FittedTextView::setNoWrap() {
    setLineWrapMode(QTextEdit::NoWrap);
    fit();
}

int FittedTextView::heightForWidth(int width) const {
    if (lineWrapMode() == QTextEdit::NoWrap) return int(std::ceil(document()->size().height()));
    std::unique_ptr<QTextDocument> probe(document()->clone());
    probe->setTextWidth(std::max(width, 1));
    return int(std::ceil(probe->size().height()));
}

QSize FittedTextView::sizeHint() const {
    return {width() > 0 ? width() : 320, int(std::ceil(document()->size().height()))};
}

QSize FittedTextView::minimumSizeHint() const { return {0, int(std::ceil(document()->size().height()))}; }

void FittedTextView::fit() {
    const int wanted = int(std::ceil(document()->size().height()));
    if (wanted != height() || minimumHeight() != wanted) setFixedHeight(wanted);
}

void FittedTextView::resizeEvent(QResizeEvent* event) {
    QTextBrowser::resizeEvent(event);
    fit();
}

} // namespace vivirov
