#include "VivirovVizivurad/ChatColumn/ActivityBadge.h"

#include <QEasingCurve>
#include <cmath>

#include <QLinearGradient>
#include <QPainter>
#include <QVariantAnimation>

#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/Appearance/SystemFont.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/ChatColumn/ReduceMotion.h"
#include "VivirovVizivurad/ChatColumn/ViewPaint.h"

namespace vivirov {
namespace {

constexpr double kPadX = 15, kPadY = 11, kIcon = 12, kGap = 9;

QFont labelFont() { return systemFont(12.5, QFont::DemiBold, FontDesign::rounded); }

} // namespace

ActivityBadge::ActivityBadge(QString symbol, QString label, QColor color, Motion motion, QWidget* parent)
    : QWidget(parent), symbol_(std::move(symbol)), label_(std::move(label)), color_(std::move(color)), motion_(motion) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setAccessibleName(label_);
}

double ActivityBadge::borderOpacity() const {
    if (motion_ == Motion::shimmer) return 0.35;
    return 0.3 + 0.25 * glow_;
}

bool ActivityBadge::isAnimating() const { return animation_ != nullptr; }

QSize ActivityBadge::sizeHint() const {
    const QFontMetricsF metrics(labelFont());
    const double width = kPadX * 2 + kIcon + kGap + metrics.horizontalAdvance(label_);
    const double height = kPadY * 2 + std::max(kIcon, metrics.height());
    return QSize(int(std::ceil(width)) + 2, int(std::ceil(height)) + 4);
}

void ActivityBadge::showEvent(QShowEvent*) {
    // A badge shown again starts its motion afresh.
    glow_ = 0;
    phase_ = -1;
    if (animation_ || ReduceMotion::enabled()) return;
    animation_ = new QVariantAnimation(this);
    animation_->setLoopCount(-1);
    if (motion_ == Motion::pulse) {
        // Out and back, 0.7 s each way, eased in and out.
        animation_->setDuration(pulseMilliseconds * 2);
        animation_->setStartValue(0.0);
        animation_->setEndValue(0.0);
        QEasingCurve ease(QEasingCurve::InOutQuad);
        for (int i = 1; i < 20; ++i) {
            const double t = i / 20.0;
            const double half = t < 0.5 ? t * 2 : (1 - t) * 2;
            animation_->setKeyValueAt(t, ease.valueForProgress(half));
        }
        connect(animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
            glow_ = v.toDouble();
            update();
        });
    } else {
        animation_->setDuration(shimmerMilliseconds);
        animation_->setStartValue(-1.0);
        animation_->setEndValue(1.0);
        connect(animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
            phase_ = v.toDouble();
            update();
        });
    }
    animation_->start();
}

void ActivityBadge::hideEvent(QHideEvent*) {
    delete animation_;
    animation_ = nullptr;
}

void ActivityBadge::paintGlyphs(QPainter& painter, const QRectF& area) const {
    const QPixmap icon = Symbols::pixmap(symbol_, int(kIcon), color_, devicePixelRatioF());
    painter.drawPixmap(QPointF(area.left(), area.center().y() - kIcon / 2), icon);
    painter.setFont(labelFont());
    painter.setPen(color_);
    painter.drawText(area.adjusted(kIcon + kGap, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft, label_);
}

void ActivityBadge::paintShimmer(QPainter& painter, const QRectF& area) const {
    // The band is drawn only where the glyphs are, then added on top of them.
    const qreal dpr = devicePixelRatioF();
    QImage layer((area.size() * dpr).toSize(), QImage::Format_ARGB32_Premultiplied);
    layer.setDevicePixelRatio(dpr);
    layer.fill(Qt::transparent);
    QPainter lp(&layer);
    lp.setRenderHint(QPainter::Antialiasing);
    paintGlyphs(lp, QRectF(QPointF(0, 0), area.size()));
    lp.setCompositionMode(QPainter::CompositionMode_SourceIn);
    const double w = area.width();
    const double bandWidth = 0.55 * w;
    const double x = phase_ * 1.7 * w;
    QLinearGradient band(x, 0, x + bandWidth, 0);
    band.setColorAt(0, QColor(255, 255, 255, 0));
    band.setColorAt(0.5, QColor(255, 255, 255, int(255 * 0.9)));
    band.setColorAt(1, QColor(255, 255, 255, 0));
    lp.fillRect(QRectF(0, 0, w, area.height()), band);
    lp.end();
    painter.setCompositionMode(QPainter::CompositionMode_Plus);
    painter.drawImage(area.topLeft(), layer);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

void ActivityBadge::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(1, 1, -1, -3);
    ViewPaint::softShadow(painter, box, 8, QColor(0, 0, 0, int(255 * 0.1)), 6, 2);
    painter.fillPath(ViewPaint::rounded(box, 8), ViewPaint::regularMaterial(this));
    painter.setPen(QPen(ViewPaint::withAlpha(color_, borderOpacity()), 0.5));
    painter.drawPath(ViewPaint::rounded(box, 8));
    const QRectF area = box.adjusted(kPadX - 1, kPadY - 1, -kPadX + 1, -kPadY + 3);
    paintGlyphs(painter, area);
    if (motion_ == Motion::shimmer && animation_) paintShimmer(painter, area);
}

ToolBadge::ToolBadge(const QString& name, QWidget* parent)
    : ActivityBadge(QStringLiteral("gearshape.2.fill"), QStringLiteral("Executing ") + name + QStringLiteral("\u2026"),
                    ThemeSnapshot::palette.cyan, Motion::pulse, parent) {}

SynthesizingBadge::SynthesizingBadge(QWidget* parent)
    : ActivityBadge(QStringLiteral("sparkles"), QStringLiteral("Synthesizing Architecture\u2026"),
                    ThemeSnapshot::palette.orange, Motion::shimmer, parent) {}

} // namespace vivirov
