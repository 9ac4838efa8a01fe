#include "VivirovVizivurad/Markdown/MarkdownMessage.h"

#include <QVBoxLayout>

#include "VivirovVizivurad/Markdown/CodeBlock.h"
#include "VivirovVizivurad/Markdown/ProseView.h"
#include "VivirovVizivurad/Markdown/Segment.h"

namespace vivirov {

MarkdownMessage::MarkdownMessage(const QString& content, bool isUser, QWidget* parent) : QWidget(parent) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(9);
    setContent(content, isUser);
}

void MarkdownMessage::setContent(const QString& content, bool isUser) {
    content_ = content;
    auto* column = static_cast<QVBoxLayout*>(layout());
    while (QLayoutItem* item = column->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (const Segment& segment : Segment::parse(content)) {
        if (segment.kind == Segment::Kind::code) {
            column->addWidget(new CodeBlock(segment.lang, segment.text, this));
        } else {
            auto* prose = new ProseView(segment.text, isUser, this);
            connect(prose, &ProseView::linkActivated, this, &MarkdownMessage::linkActivated);
            column->addWidget(prose);
        }
    }
}

} // namespace vivirov
