#include "VivirovVizivurad/Markdown/ProseView.h"

#include <QApplication>
#include <QPalette>
#include <QTextCursor>

#include "VivirovVizivurad/Appearance/SystemFont.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/Markdown/InlineMarkdown.h"

namespace vivirov {

QColor ProseView::noticeColor() { return QColor(255, 149, 0); }

ProseView::ProseView(const QString& text, bool isUser, QWidget* parent) : FittedTextView(parent) {
    render(*document(), text, isUser);
    connect(this, &QTextBrowser::anchorClicked, this, &ProseView::linkActivated);
}

void ProseView::render(QTextDocument& document, const QString& text, bool isUser) {
    document.clear();
    QTextCharFormat base;
    base.setFont(systemFont(14));
    base.setForeground(isUser ? QColor(Qt::white) : QApplication::palette().color(QPalette::WindowText));
    QTextCursor cursor(&document);
    InlineMarkdown::insert(cursor, text, base, ThemeSnapshot::palette.cyan);

    const QTextCursor found = document.find(validationNotice, 0, QTextDocument::FindCaseSensitively);
    if (!found.isNull()) {
        QTextCharFormat notice;
        notice.setForeground(noticeColor());
        notice.setFont(systemFont(13, QFont::Bold, FontDesign::monospaced));
        QTextCursor mark = found;
        mark.mergeCharFormat(notice);
    }
}

} // namespace vivirov
