#include "VivirovVizivurad/App/Columns/KillSwitchLayer.h"

#include <QGraphicsOpacityEffect>
#include <QVBoxLayout>
#include <QVariantAnimation>

#include <algorithm>
#include <cmath>

#include "VivirovVizivurad/Permission/KillSwitchButton.h"

namespace vivirov {

KillSwitchLayer::KillSwitchLayer(std::function<void()> stop, QWidget* parent)
    : QWidget(parent), stop_(std::move(stop)), fade_(new QGraphicsOpacityEffect(this)),
      animation_(new QVariantAnimation(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    button_ = new KillSwitchButton(
        [this] {
            if (stop_) stop_();
        },
        side, this);
    button_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    layout->addWidget(button_);

    fade_->setOpacity(1);
    setGraphicsEffect(fade_);
    animation_->setDuration(fadeMs);
    animation_->setEasingCurve(QEasingCurve::InOutQuad);
    connect(animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) { grow(v.toDouble()); });
    connect(animation_, &QVariantAnimation::finished, this, [this] {
        if (!present_) hide();
    });
    hide();
}

void KillSwitchLayer::place(const QSize& pane) {
    home_ = QRect(pane.width() - rightMargin - side, pane.height() - bottomMargin - side, side, side);
    if (animation_->state() != QAbstractAnimation::Running) setGeometry(home_);
}

void KillSwitchLayer::grow(double amount) {
    // From a point at the centre (the smallest size the toolkit draws) to full size.
    const int edge = std::max(1, int(std::lround(side * amount)));
    QRect box(0, 0, edge, edge);
    box.moveCenter(home_.center());
    setGeometry(box);
    fade_->setOpacity(amount);
}

void KillSwitchLayer::setPresent(bool present, bool animated) {
    if (present == present_) return;
    present_ = present;
    animation_->stop();
    // A leaving button takes no clicks, also while it shrinks.
    setAttribute(Qt::WA_TransparentForMouseEvents, !present);
    if (!animated) {
        grow(1);
        setVisible(present);
        return;
    }
    animation_->setStartValue(present ? 0.0 : 1.0);
    animation_->setEndValue(present ? 1.0 : 0.0);
    show();
    raise();
    animation_->start();
}

} // namespace vivirov
