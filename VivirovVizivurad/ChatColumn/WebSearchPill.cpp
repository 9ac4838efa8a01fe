#include "VivirovVizivurad/ChatColumn/WebSearchPill.h"

#include <QPainter>
#include <QVariantAnimation>

#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/ChatColumn/ReduceMotion.h"
#include "VivirovVizivurad/ChatColumn/ViewPaint.h"

namespace vivirov {

WebSearchPill::WebSearchPill(QWidget* parent) : QAbstractButton(parent), spin_(new QVariantAnimation(this)) {
    setFixedSize(64, 28);
    setCursor(Qt::PointingHandCursor);
    setToolTip(QStringLiteral("Web search off"));
    connect(spin_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        angle_ = v.toDouble();
        update();
    });
}

bool WebSearchPill::isSpinning() const { return spin_->state() == QAbstractAnimation::Running && spin_->loopCount() < 0; }

void WebSearchPill::setOn(bool on) {
    on_ = on;
    setToolTip(on ? QStringLiteral("Web search on") : QStringLiteral("Web search off"));
    spin_->stop();
    if (on) {
        angle_ = 0;
        if (!ReduceMotion::enabled()) {
            spin_->setEasingCurve(QEasingCurve::Linear);
            spin_->setDuration(spinMilliseconds);
            spin_->setStartValue(0.0);
            spin_->setEndValue(360.0);
            spin_->setLoopCount(-1);
            spin_->start();
        }
    } else if (angle_ != 0) {
        // Back upright the short way, easing out.
        const double from = angle_ > 180 ? angle_ - 360 : angle_;
        spin_->setEasingCurve(QEasingCurve::OutQuad);
        spin_->setDuration(200);
        spin_->setStartValue(from);
        spin_->setEndValue(0.0);
        spin_->setLoopCount(1);
        spin_->start();
    }
    update();
}

void WebSearchPill::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor cyan = ThemeSnapshot::palette.cyan;
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const QPainterPath shape = ViewPaint::capsule(box);
    painter.fillPath(shape, on_ ? ViewPaint::withAlpha(cyan, 0.18) : ViewPaint::withAlpha(ViewPaint::secondary(this), 0.1));
    if (on_) {
        painter.setPen(QPen(ViewPaint::withAlpha(cyan, 0.55), 0.5));
        painter.drawPath(shape);
    }
    const QColor ink = on_ ? cyan : ViewPaint::secondary(this);
    const QFont font = ThemeSnapshot::ui(10, QFont::DemiBold, FontDesign::rounded);
    const QString text = QStringLiteral("Web");
    const double textWidth = QFontMetricsF(font).horizontalAdvance(text);
    const double total = 12 + 4 + textWidth;
    const double x = (width() - total) / 2;
    painter.save();
    painter.translate(x + 6, height() / 2.0);
    painter.rotate(angle_);
    painter.drawPixmap(QPointF(-6, -6), Symbols::pixmap(QStringLiteral("globe"), 12, ink, devicePixelRatioF()));
    painter.restore();
    painter.setFont(font);
    painter.setPen(ink);
    painter.drawText(QRectF(x + 16, 0, textWidth + 2, height()), Qt::AlignVCenter | Qt::AlignLeft, text);
}

} // namespace vivirov
