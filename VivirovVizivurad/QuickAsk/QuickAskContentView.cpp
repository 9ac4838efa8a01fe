#include "VivirovVizivurad/QuickAsk/QuickAskContentView.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/Appearance/SystemFont.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/ChatColumn/ViewPaint.h"
#include "VivirovVizivurad/QuickAsk/QuickAskController.h"
#include "VivirovVizivurad/QuickAsk/QuickAskLayout.h"

namespace vivirov {
namespace {

constexpr int kRadius = 16;

QLinearGradient accent(const QRectF& box) {
    QLinearGradient gradient(box.topLeft(), box.bottomRight());
    gradient.setColorAt(0, ThemeSnapshot::palette.cyan);
    gradient.setColorAt(0.5, ThemeSnapshot::palette.violet);
    gradient.setColorAt(1, ThemeSnapshot::palette.orange);
    return gradient;
}

// The sparkle symbol filled with the accent gradient.
QPixmap sparkle(qreal ratio) {
    QPixmap mask = Symbols::pixmap(QStringLiteral("sparkle.magnifyingglass"), 20, Qt::black, ratio);
    QPixmap out(mask.size());
    out.fill(Qt::transparent);
    out.setDevicePixelRatio(ratio);
    QPainter painter(&out);
    painter.drawPixmap(0, 0, mask);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(QRectF(0, 0, 20, 20), accent(QRectF(0, 0, 20, 20)));
    return out;
}

} // namespace

void QuickAskField::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && !(event->modifiers() & Qt::ShiftModifier)) {
        emit submitted();
        return;
    }
    if (enter) { // Shift+Return: a plain line break
        insertPlainText(QStringLiteral("\n"));
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

QuickAskContentView::QuickAskContentView(QuickAskController& controller, QWidget* parent)
    : QWidget(parent), controller_(controller) {
    setFixedWidth(QuickAskLayout::panelWidth);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 16, 24, 16);
    column->setSpacing(8);

    editorRow_ = new QWidget(this);
    auto* row = new QHBoxLayout(editorRow_);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(16);
    auto* icon = new QLabel(editorRow_);
    icon->setPixmap(sparkle(devicePixelRatioF()));
    icon->setFixedWidth(24);
    icon->setAlignment(Qt::AlignCenter);
    row->addWidget(icon);
    field_ = new QuickAskField(editorRow_);
    field_->setPlaceholderText(QStringLiteral("Ask anything\u2026"));
    field_->setFrameShape(QFrame::NoFrame);
    field_->setFont(ThemeSnapshot::ui(14, QFont::Normal, FontDesign::standard));
    field_->viewport()->setAutoFillBackground(false);
    field_->setStyleSheet(QStringLiteral("QPlainTextEdit { background: transparent; }"));
    field_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    row->addWidget(field_, 1);
    send_ = new QToolButton(editorRow_);
    send_->setAutoRaise(true);
    send_->setIconSize(QSize(24, 24));
    send_->setFixedWidth(32);
    send_->setToolTip(QStringLiteral("Send to Vivirov (Ctrl+Return)"));
    row->addWidget(send_);
    column->addWidget(editorRow_);

    auto* hintRow = new QHBoxLayout;
    hintRow->setSpacing(8);
    auto addHint = [&](const QString& key, const QString& label) {
        auto* keyText = new QLabel(key, this);
        keyText->setFont(systemFont(10.5 * ThemeSnapshot::scale, QFont::Normal, FontDesign::monospaced));
        const QColor keyColour = ViewPaint::withAlpha(ThemeSnapshot::palette.cyan, 0.9);
        keyText->setStyleSheet(QStringLiteral("color: %1").arg(keyColour.name(QColor::HexArgb)));
        auto* labelText = new QLabel(label, this);
        labelText->setFont(ThemeSnapshot::ui(11, QFont::Normal, FontDesign::standard));
        labelText->setForegroundRole(QPalette::PlaceholderText);
        auto* chip = new QHBoxLayout;
        chip->setSpacing(4);
        chip->addWidget(keyText);
        chip->addWidget(labelText);
        hintRow->addLayout(chip);
        hintLabels_ << keyText << labelText;
    };
    addHint(QStringLiteral("Ctrl+Shift+J"), QStringLiteral("to summon"));
    auto* dot = new QLabel(QStringLiteral("\u2022"), this);
    dot->setForegroundRole(QPalette::PlaceholderText);
    hintRow->addWidget(dot);
    addHint(QStringLiteral("Ctrl+Return"), QStringLiteral("to send"));
    hintRow->addStretch(1);
    lines_ = new QLabel(this);
    lines_->setFont(ThemeSnapshot::ui(10, QFont::DemiBold, FontDesign::rounded));
    lines_->setForegroundRole(QPalette::PlaceholderText);
    hintRow->addWidget(lines_);
    auto* hints = new QWidget(this);
    hints->setFixedHeight(18);
    hints->setLayout(hintRow);
    hintRow->setContentsMargins(0, 0, 0, 0);
    column->addWidget(hints);

    connect(field_, &QPlainTextEdit::textChanged, this, [this] { controller_.setDraft(field_->toPlainText()); });
    connect(field_, &QuickAskField::submitted, &controller_, &QuickAskController::commit);
    connect(send_, &QToolButton::clicked, &controller_, &QuickAskController::commit);
    connect(&controller_, &QuickAskController::draftChanged, this, &QuickAskContentView::draftChanged);
    draftChanged();
}

QStringList QuickAskContentView::hints() const {
    QStringList out;
    for (QLabel* label : hintLabels_) out << label->text();
    return out;
}

void QuickAskContentView::draftChanged() {
    const QString& draft = controller_.draft();
    if (field_->toPlainText() != draft) {
        const QSignalBlocker quiet(field_);
        field_->setPlainText(draft);
        field_->moveCursor(QTextCursor::End);
    }
    const int lines = QuickAskLayout::lineCount(draft);
    const bool scrolling = lines >= QuickAskLayout::scrollingLines;
    const int editor = QuickAskLayout::editorHeight(lines);
    editorRow_->setFixedHeight(editor);
    field_->setFixedHeight(scrolling ? QuickAskLayout::scrollingFieldHeight : editor);
    field_->setVerticalScrollBarPolicy(scrolling ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    lines_->setText(scrolling ? QStringLiteral("%1 lines").arg(lines) : QString());
    lines_->setVisible(scrolling);
    const bool sendable = QuickAskLayout::committed(draft).has_value();
    send_->setEnabled(sendable);
    send_->setIcon(Symbols::icon(QStringLiteral("arrow.up.circle.fill"),
                                 sendable ? ThemeSnapshot::palette.cyan : palette().color(QPalette::PlaceholderText), 24));
    controller_.sizePanelToDraft(true);
}

void QuickAskContentView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    field_->setFocus(Qt::OtherFocusReason);
}

void QuickAskContentView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.25, 0.25, -0.25, -0.25);
    const QPainterPath shape = ViewPaint::rounded(box, kRadius);
    painter.fillPath(shape, palette().color(QPalette::Window));
    painter.fillPath(shape, ViewPaint::withAlpha(ThemeSnapshot::palette.cyan, 0.05));
    painter.setPen(QPen(ViewPaint::primary(this, 0.09), 0.5));
    painter.drawPath(shape);
    const QRectF hairline(24, 0, width() - 48, 2);
    painter.setOpacity(0.55);
    painter.fillPath(ViewPaint::capsule(hairline), accent(hairline));
}

} // namespace vivirov
