#include "VivirovVizivurad/ChatColumn/ShapeBackground.h"

#include <QPainter>

#include "VivirovVizivurad/ChatColumn/ViewPaint.h"

namespace vivirov {

ShapeBackground::ShapeBackground(LookFor look, QWidget* parent) : QWidget(parent), look_(std::move(look)) {}

void ShapeBackground::paintEvent(QPaintEvent*) {
    const Look look = look_(this);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double inset = look.strokeWidth / 2;
    const QRectF box = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
    const QPainterPath shape = look.radius < 0 ? ViewPaint::capsule(box) : ViewPaint::rounded(box, look.radius);
    painter.fillPath(shape, look.fill);
    if (look.strokeWidth > 0 && look.stroke.alpha() > 0) {
        painter.setPen(QPen(look.stroke, look.strokeWidth));
        painter.drawPath(shape);
    }
}

} // namespace vivirov
