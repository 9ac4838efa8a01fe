#include "VivirovVizivurad/ChatColumn/InlineToolCallView.h"

#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVariantAnimation>

#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/Appearance/SystemFont.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/ChatColumn/ElidedLabel.h"
#include "VivirovVizivurad/ChatColumn/ReduceMotion.h"
#include "VivirovVizivurad/ChatColumn/Spinner.h"
#include "VivirovVizivurad/ChatColumn/ViewPaint.h"

namespace vivirov {
namespace {

const QColor kGreen(52, 199, 89);

QLabel* label(QWidget* parent, const QFont& font) {
    auto* l = new QLabel(parent);
    l->setFont(font);
    return l;
}


} // namespace

InlineToolCallView::InlineToolCallView(ToolCallRowModel model, QWidget* parent)
    : QWidget(parent), model_(std::move(model)) {
    setMaximumWidth(maxWidth);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 9, 12, 9);
    column->setSpacing(6);

    auto* header = new QHBoxLayout;
    header->setSpacing(8);
    icon_ = new QLabel(this);
    title_ = label(this, systemFont(12, QFont::DemiBold, FontDesign::rounded));
    args_ = new ElidedLabel(Qt::ElideMiddle, this);
    args_->setFont(systemFont(11, QFont::Normal, FontDesign::monospaced));
    spinner_ = new Spinner(12, this);
    check_ = new QLabel(this);
    check_->setPixmap(Symbols::pixmap(QStringLiteral("checkmark.circle.fill"), 12, kGreen, devicePixelRatioF()));
    header->addWidget(icon_);
    header->addWidget(title_);
    header->addWidget(args_, 1);
    header->addSpacing(4);
    header->addWidget(spinner_);
    header->addWidget(check_);
    column->addLayout(header);

    toggle_ = new QPushButton(this);
    toggle_->setFlat(true);
    toggle_->setCursor(Qt::PointingHandCursor);
    toggle_->setStyleSheet(QStringLiteral("QPushButton { border: none; background: transparent; text-align: left; }"));
    auto* toggleRow = new QHBoxLayout(toggle_);
    toggleRow->setContentsMargins(0, 0, 0, 0);
    toggleRow->setSpacing(4);
    chevron_ = new QLabel(toggle_);
    previewText_ = new ElidedLabel(Qt::ElideRight, toggle_);
    previewText_->setFont(systemFont(11, QFont::Normal, FontDesign::monospaced));
    for (QLabel* l : {chevron_, previewText_}) l->setAttribute(Qt::WA_TransparentForMouseEvents);
    toggleRow->addWidget(chevron_);
    toggleRow->addWidget(previewText_, 1);
    connect(toggle_, &QPushButton::clicked, this, &InlineToolCallView::toggle);
    column->addWidget(toggle_);

    result_ = label(this, systemFont(11, QFont::Normal, FontDesign::monospaced));
    result_->setTextFormat(Qt::PlainText);
    result_->setWordWrap(true);
    result_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    result_->setContentsMargins(8, 8, 8, 8);
    result_->setAutoFillBackground(false);
    column->addWidget(result_);
    refresh();
}

void InlineToolCallView::setModel(ToolCallRowModel model) {
    model_ = std::move(model);
    refresh();
}

void InlineToolCallView::toggle() {
    if (!model_.hasToggle()) return;
    expanded_ = !expanded_;
    refresh();
}

bool InlineToolCallView::showsSpinner() const { return !spinner_->isHidden(); }
bool InlineToolCallView::showsCheck() const { return !check_->isHidden(); }

void InlineToolCallView::refresh() {
    const QColor cyan = ThemeSnapshot::palette.cyan;
    const QColor iconColor = model_.isContext() ? ViewPaint::secondary(this) : cyan;
    icon_->setPixmap(Symbols::pixmap(model_.symbol(), 13, iconColor, devicePixelRatioF()));
    icon_->setObjectName(model_.symbol());
    title_->setText(model_.title());
    ViewPaint::setForeground(title_, ViewPaint::primary(this));
    args_->setText(model_.argsPreview);
    args_->setVisible(!model_.argsPreview.isEmpty());
    ViewPaint::setForeground(args_, ViewPaint::secondary(this));

    const auto trailing = model_.trailing();
    spinner_->setVisible(trailing == ToolCallRowModel::Trailing::spinner);
    check_->setVisible(trailing == ToolCallRowModel::Trailing::check);

    // The icon pulses while the call runs.
    if (model_.isExecuting && !ReduceMotion::enabled()) {
        if (!pulse_) {
            auto* effect = new QGraphicsOpacityEffect(icon_);
            icon_->setGraphicsEffect(effect);
            pulse_ = new QVariantAnimation(this);
            pulse_->setStartValue(1.0);
            pulse_->setKeyValueAt(0.5, 0.35);
            pulse_->setEndValue(1.0);
            pulse_->setDuration(1200);
            pulse_->setLoopCount(-1);
            connect(pulse_, &QVariantAnimation::valueChanged, effect,
                    [effect](const QVariant& v) { effect->setOpacity(v.toDouble()); });
            pulse_->start();
        }
    } else if (pulse_) {
        delete pulse_;
        pulse_ = nullptr;
        icon_->setGraphicsEffect(nullptr);
    }

    if (!model_.hasToggle()) expanded_ = false;
    toggle_->setVisible(model_.hasToggle());
    chevron_->setPixmap(Symbols::pixmap(expanded_ ? QStringLiteral("chevron.down") : QStringLiteral("chevron.right"), 9,
                                        ViewPaint::secondary(this), devicePixelRatioF()));
    previewText_->setText(expanded_ ? QStringLiteral("Hide result") : model_.preview());
    ViewPaint::setForeground(previewText_, ViewPaint::secondary(this));
    result_->setVisible(expanded_);
    result_->setText(expanded_ ? model_.result.value_or(QString()) : QString());
    ViewPaint::setForeground(result_, ViewPaint::primary(this, 0.85));
    updateGeometry();
    update();
}

void InlineToolCallView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.fillPath(ViewPaint::rounded(box, 12), ViewPaint::ultraThinMaterial(this));
    painter.setPen(QPen(ViewPaint::withAlpha(ThemeSnapshot::palette.cyan, 0.22), 1));
    painter.drawPath(ViewPaint::rounded(box, 12));
    if (expanded_ && !result_->isHidden())
        painter.fillPath(ViewPaint::rounded(result_->geometry(), 8), ViewPaint::primary(this, 0.05));
}

} // namespace vivirov
