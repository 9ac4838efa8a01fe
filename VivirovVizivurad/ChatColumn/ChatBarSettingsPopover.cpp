#include "VivirovVizivurad/ChatColumn/ChatBarSettingsPopover.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include <filesystem>

#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/Appearance/SystemFont.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/ChatColumn/ElidedLabel.h"
#include "VivirovVizivurad/ChatColumn/ViewPaint.h"

namespace vivirov {
namespace {

QLabel* iconLabel(const QString& symbol, int pixels, const QColor& color, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setPixmap(Symbols::pixmap(symbol, pixels, color, parent->devicePixelRatioF()));
    return label;
}


} // namespace

ChatBarSettingsPopover::ChatBarSettingsPopover(QuintoraViewModel& vm, QWidget* parent)
    : QFrame(parent, Qt::Popup | Qt::FramelessWindowHint), vm_(vm) {
    setAttribute(Qt::WA_TranslucentBackground);
    setFixedWidth(fixedWidth);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(16);

    auto* caption = new QLabel(tr("ACTIVE MODEL"), this);
    caption->setFont(ThemeSnapshot::ui(10, QFont::DemiBold, FontDesign::rounded));
    ViewPaint::setForeground(caption, ViewPaint::secondary(this));
    column->addWidget(caption);

    auto* modelRow = new QHBoxLayout;
    modelRow->setSpacing(8);
    modelRow->addWidget(iconLabel(QStringLiteral("cpu"), 16, ThemeSnapshot::palette.cyan, this));
    model_ = new ElidedLabel(Qt::ElideMiddle, this);
    model_->setFont(ThemeSnapshot::ui(12, QFont::Medium, FontDesign::rounded));
    modelRow->addWidget(model_, 1);
    column->addLayout(modelRow);

    auto* divider = new QFrame(this);
    divider->setFixedHeight(1);
    divider->setStyleSheet(QStringLiteral("background: rgba(127,127,127,31);"));
    column->addWidget(divider);

    sampler_ = row(QStringLiteral("slider.horizontal.3"), QStringLiteral("Sampler & Parameters"));
    manager_ = row(QStringLiteral("shippingbox"), QStringLiteral("Model Manager"));
    // Each row writes the page asked for and opens the settings sheet, which
    // is where sampler and model management live.
    connect(sampler_, &QAbstractButton::clicked, this, [this] {
        vm_.setRoute(QuintoraViewModel::Route::settings);
        vm_.setShowVault(true);
        close();
    });
    connect(manager_, &QAbstractButton::clicked, this, [this] {
        vm_.setRoute(QuintoraViewModel::Route::models);
        vm_.setShowVault(true);
        close();
    });
    column->addWidget(sampler_);
    column->addWidget(manager_);
    connect(&vm_, &QuintoraViewModel::currentModelPathChanged, this, &ChatBarSettingsPopover::refresh);
    refresh();
}

QString ChatBarSettingsPopover::modelName(const std::string& currentModelPath) {
    if (currentModelPath.empty()) return QStringLiteral("No model loaded");
    return QString::fromStdString(std::filesystem::path(currentModelPath).filename().string());
}

void ChatBarSettingsPopover::refresh() { model_->setText(modelName(vm_.currentModelPath())); }

QAbstractButton* ChatBarSettingsPopover::row(const QString& symbol, const QString& title) {
    auto* button = new QPushButton(this);
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setAccessibleName(title);
    button->setStyleSheet(QStringLiteral("QPushButton { border: none; background: transparent; }"));
    auto* layout = new QHBoxLayout(button);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    QLabel* icon = iconLabel(symbol, 14, ThemeSnapshot::palette.cyan, button);
    icon->setFixedWidth(16);
    icon->setAlignment(Qt::AlignCenter);
    auto* text = new QLabel(title, button);
    text->setFont(ThemeSnapshot::ui(13, QFont::Normal, FontDesign::standard));
    QLabel* chevron = iconLabel(QStringLiteral("chevron.right"), 10, ViewPaint::tertiary(this), button);
    for (QLabel* l : {icon, text, chevron}) l->setAttribute(Qt::WA_TransparentForMouseEvents);
    layout->addWidget(icon);
    layout->addWidget(text);
    layout->addStretch(1);
    layout->addWidget(chevron);
    button->setMinimumHeight(text->sizeHint().height() + 4);
    return button;
}

void ChatBarSettingsPopover::hideEvent(QHideEvent* event) {
    QFrame::hideEvent(event);
    emit closed();
}

void ChatBarSettingsPopover::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.fillPath(ViewPaint::rounded(box, 10), palette().color(QPalette::Window));
    painter.setPen(QPen(ViewPaint::primary(this, 0.12), 0.5));
    painter.drawPath(ViewPaint::rounded(box, 10));
}

} // namespace vivirov
