#pragma once
#include <QString>
#include <QTextDocument>

#include "VivirovVizivurad/Markdown/FittedTextView.h"

namespace vivirov {

// A prose block of a finished message: inline Markdown, selectable, wrapped
// to the offered width, as tall as its text.
class ProseView : public FittedTextView {
    Q_OBJECT
public:
    static inline const QString validationNotice =
        QStringLiteral("[SYSTEM: Code validation failed after 3 attempts]");

    ProseView(const QString& text, bool isUser, QWidget* parent = nullptr);

    // Fills the document with the rendered prose; the first exact occurrence
    // of the validation notice is set apart in orange, bold and monospaced.
    static void render(QTextDocument& document, const QString& text, bool isUser);
    static QColor noticeColor();

signals:
    void linkActivated(const QUrl& url);
};

} // namespace vivirov
