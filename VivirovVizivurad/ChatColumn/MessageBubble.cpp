#include "VivirovVizivurad/ChatColumn/MessageBubble.h"

#include <QHBoxLayout>
#include <QLinearGradient>
#include <QPainter>
#include <QVBoxLayout>

#include <algorithm>

#include "VivirovVizivurad/Appearance/SystemFont.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/ChatColumn/InlineToolCallView.h"
#include "VivirovVizivurad/ChatColumn/ViewPaint.h"
#include "VivirovVizivurad/Markdown/FastMarkdownRenderer.h"
#include "VivirovVizivurad/Markdown/FileCitationText.h"
#include "VivirovVizivurad/Markdown/MarkdownMessage.h"

namespace vivirov {
namespace {

constexpr int kPadX = 14, kPadY = 11;
// Room for the shadow below and around the bubble.
constexpr int kShadow = 4;

// The rounded bubble behind a renderer: the cyan gradient for the user, the
// regular material with a faint white border for the assistant.
class BubbleFrame : public QWidget {
public:
    BubbleFrame(bool user, QWidget* parent) : QWidget(parent), user_(user) {
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
        setMaximumWidth(BubbleContent::maxBubbleWidth);
    }
    void setNaturalWidth(int width) {
        natural_ = std::clamp(width, 40, BubbleContent::maxBubbleWidth);
        updateGeometry();
    }
    QSize sizeHint() const override {
        QSize hint = QWidget::sizeHint();
        hint.setWidth(natural_);
        return hint;
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -kShadow - 0.5);
        ViewPaint::softShadow(painter, box, 16, QColor(0, 0, 0, int(255 * 0.1)), 7, 3);
        const QPainterPath shape = ViewPaint::rounded(box, 16);
        if (user_) {
            QLinearGradient fill(box.topLeft(), box.bottomRight());
            fill.setColorAt(0, ThemeSnapshot::palette.cyan);
            fill.setColorAt(1, QColor::fromRgbF(0.2f, 0.55f, 0.92f));
            painter.fillPath(shape, fill);
        } else {
            painter.fillPath(shape, ViewPaint::regularMaterial(this));
        }
        painter.setPen(QPen(QColor(255, 255, 255, user_ ? 0 : int(255 * 0.07)), 1));
        painter.drawPath(shape);
    }

private:
    bool user_;
    int natural_ = BubbleContent::maxBubbleWidth;
};

// The width a settled text wants: its longest line, within the bubble's limit.
int naturalWidth(const QString& text) {
    const QFontMetrics metrics(systemFont(14));
    int widest = 0;
    int lines = 0;
    for (QStringView line : QStringView(text).split(QLatin1Char('\n'))) {
        widest = std::max(widest, metrics.horizontalAdvance(line.toString()));
        if (widest >= BubbleContent::maxBubbleWidth || ++lines > 400) return BubbleContent::maxBubbleWidth;
    }
    return widest + 2 * kPadX + 8;
}

} // namespace

MessageBubble::MessageBubble(const ChatMessage& message, bool streaming, QWidget* parent)
    : QWidget(parent), role_(message.role), content_(BubbleContent::of(message, streaming)) {
    row_ = new QHBoxLayout(this);
    row_->setContentsMargins(0, 0, 0, 0);
    build(message);
}

void MessageBubble::build(const ChatMessage& message) {
    if (role_ == Role::toolCall) {
        row_->setContentsMargins(4, 0, 0, 0);
        renderWidget_ = makeRenderer(message, this);
        row_->addWidget(renderWidget_);
        row_->addSpacerItem(new QSpacerItem(BubbleContent::oppositeGap, 0, QSizePolicy::MinimumExpanding));
        return;
    }
    const bool user = role_ == Role::user;
    if (user) row_->addSpacerItem(new QSpacerItem(BubbleContent::oppositeGap, 0, QSizePolicy::MinimumExpanding));
    frame_ = new BubbleFrame(user, this);
    frameLayout_ = new QVBoxLayout(frame_);
    frameLayout_->setContentsMargins(kPadX, kPadY, kPadX, kPadY + kShadow);
    renderWidget_ = makeRenderer(message, frame_);
    frameLayout_->addWidget(renderWidget_);
    row_->addWidget(frame_, 1);
    if (!user) row_->addSpacerItem(new QSpacerItem(BubbleContent::oppositeGap, 0, QSizePolicy::MinimumExpanding));
}

QWidget* MessageBubble::makeRenderer(const ChatMessage& message, QWidget* parent) {
    using R = BubbleContent::Renderer;
    const bool user = role_ == Role::user;
    auto* frame = static_cast<BubbleFrame*>(frame_);
    switch (content_.renderer) {
    case R::toolRow: return new InlineToolCallView(ToolCallRowModel::of(message), parent);
    case R::streaming: {
        auto* renderer = new FastMarkdownRenderer(parent);
        renderer->updateContent(streamingInput());
        if (frame) frame->setNaturalWidth(BubbleContent::maxBubbleWidth);
        return renderer;
    }
    case R::fileCitation:
        if (frame) frame->setNaturalWidth(naturalWidth(content_.text));
        return new FileCitationText(content_.text, false, parent);
    case R::markdown:
        if (frame) frame->setNaturalWidth(naturalWidth(content_.text));
        return new MarkdownMessage(content_.text, user, parent);
    }
    return new QWidget(parent);
}

// The cursor goes to the renderer as a suffix it never segments, so it
// cannot be committed into the text when a long line is cut.
FastMarkdownInput MessageBubble::streamingInput() const {
    FastMarkdownInput input;
    input.text = content_.text;
    input.isStreaming = true;
    input.fontSize = 14;
    input.textColor = palette().color(QPalette::WindowText);
    input.cursorSuffix = BubbleContent::cursor;
    return input;
}

void MessageBubble::setInputs(const ChatMessage& message, bool streaming) {
    using R = BubbleContent::Renderer;
    BubbleContent next = BubbleContent::of(message, streaming);
    if (message.role != role_) {
        // A row never changes role; rebuild from scratch if it ever does.
        delete renderWidget_;
        delete frame_;
        frame_ = nullptr;
        while (row_->count()) delete row_->takeAt(0);
        role_ = message.role;
        content_ = std::move(next);
        build(message);
        return;
    }
    if (next.renderer == content_.renderer) {
        content_ = std::move(next);
        switch (content_.renderer) {
        case R::toolRow: static_cast<InlineToolCallView*>(renderWidget_)->setModel(ToolCallRowModel::of(message)); return;
        case R::streaming: static_cast<FastMarkdownRenderer*>(renderWidget_)->updateContent(streamingInput()); return;
        case R::markdown:
            static_cast<BubbleFrame*>(frame_)->setNaturalWidth(naturalWidth(content_.text));
            static_cast<MarkdownMessage*>(renderWidget_)->setContent(content_.text, role_ == Role::user);
            return;
        case R::fileCitation: break; // no setter: built again below
        }
    }
    content_ = std::move(next);
    QWidget* old = renderWidget_;
    QWidget* parent = frame_ ? frame_ : this;
    renderWidget_ = makeRenderer(message, parent);
    if (frameLayout_) frameLayout_->replaceWidget(old, renderWidget_);
    else row_->replaceWidget(old, renderWidget_);
    delete old;
}

} // namespace vivirov
