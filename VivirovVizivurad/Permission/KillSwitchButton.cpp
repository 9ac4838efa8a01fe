#include "VivirovVizivurad/Permission/KillSwitchButton.h"

#include <QLinearGradient>
#include <QPainter>
#include <QVariantAnimation>

#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/ChatColumn/ReduceMotion.h"
#include "VivirovVizivurad/ChatColumn/ViewPaint.h"
#include "VivirovVizivurad/Permission/OctagonShape.h"

namespace vivirov {

namespace {
// Room around the octagon for the breathing scale and the shadow.
constexpr double kMargin = 12;
} // namespace

KillSwitchButton::KillSwitchButton(std::function<void()> action, double side, QWidget* parent)
    : QAbstractButton(parent), action_(std::move(action)), side_(side), breath_(new QVariantAnimation(this)) {
    setAccessibleName(accessibilityLabel);
    setToolTip(help);
    setCursor(Qt::PointingHandCursor);
    setFixedSize(sizeHint());
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (action_) action_();
    });
    breath_->setDuration(breathMilliseconds * 2);
    breath_->setStartValue(0.0);
    breath_->setKeyValueAt(0.5, 1.0);
    breath_->setEndValue(0.0);
    breath_->setEasingCurve(QEasingCurve::InOutSine);
    breath_->setLoopCount(-1);
    connect(breath_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        pulse_ = v.toDouble();
        update();
    });
}

QSize KillSwitchButton::sizeHint() const {
    const int s = int(std::ceil(side_ + 2 * kMargin));
    return {s, s};
}

bool KillSwitchButton::isBreathing() const { return breath_->state() == QAbstractAnimation::Running; }

void KillSwitchButton::showEvent(QShowEvent*) {
    if (!isBreathing() && !ReduceMotion::enabled()) breath_->start();
}

void KillSwitchButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const auto& palette = ThemeSnapshot::palette;
    const QPointF centre = QRectF(rect()).center();
    const double scale = 1.0 + 0.06 * pulse_;
    painter.translate(centre);
    painter.scale(scale, scale);
    const QRectF frame(-side_ / 2, -side_ / 2, side_, side_);

    // Shadow: crimson at 12 % radius 6, up to 25 % radius 10 at full breath.
    const QColor shadow = ViewPaint::withAlpha(palette.crimson, 0.12 + 0.13 * pulse_);
    const double blur = 6 + 4 * pulse_;
    const int layers = 4;
    for (int i = layers; i >= 1; --i) {
        const double grow = blur * i / layers / 2;
        painter.fillPath(OctagonShape::path(frame.adjusted(-grow, -grow + 2, grow, grow + 2)),
                         ViewPaint::withAlpha(shadow, shadow.alphaF() / layers));
    }
    QLinearGradient fill(0, frame.top(), 0, frame.bottom());
    fill.setColorAt(0, palette.crimson);
    fill.setColorAt(1, palette.crimsonDeep);
    const QPainterPath octagon = OctagonShape::path(frame);
    painter.fillPath(octagon, fill);
    painter.setPen(QPen(QColor(255, 255, 255, int(255 * 0.2)), 1));
    painter.drawPath(octagon);
    painter.drawPixmap(QPointF(-10, -10), Symbols::pixmap(QStringLiteral("stop.fill"), 20, Qt::white, devicePixelRatioF()));
}

} // namespace vivirov
