#include "VivirovVizivurad/ChatColumn/Spinner.h"

#include <QPainter>

#include "VivirovVizivurad/ChatColumn/ReduceMotion.h"
#include "VivirovVizivurad/ChatColumn/ViewPaint.h"

namespace vivirov {

Spinner::Spinner(int side, QWidget* parent) : QWidget(parent), side_(side) {
    setFixedSize(side, side);
    timer_.setInterval(60);
    connect(&timer_, &QTimer::timeout, this, [this] {
        angle_ = (angle_ + 30) % 360;
        update();
    });
}

void Spinner::showEvent(QShowEvent*) {
    if (!ReduceMotion::enabled()) timer_.start();
}

void Spinner::hideEvent(QHideEvent*) { timer_.stop(); }

void Spinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
    painter.setPen(QPen(ViewPaint::primary(this, 0.15), 1.6));
    painter.drawEllipse(box);
    painter.setPen(QPen(ViewPaint::secondary(this), 1.6, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(box, -angle_ * 16, 100 * 16);
}

} // namespace vivirov
