#include "VivirovVizivurad/Appearance/RefinedElevation.h"

#include <QPainterPath>

namespace vivirov {

QColor RefinedElevation::outlineColor(const QColor& primary) const {
    if (ring) return *ring;
    QColor color = primary;
    color.setAlphaF(0.09f);
    return color;
}

void RefinedElevation::paint(QPainter& painter, const QRectF& rect, const QColor& primary) const {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    // Shadow: black at 10 %, 2 down, spread by a few faint layers in place of a blur of 6.
    for (int i = 3; i >= 1; --i) {
        QPainterPath shadow;
        shadow.addRoundedRect(rect.adjusted(-i, -i + 2, i, i + 2), corner + i, corner + i);
        painter.fillPath(shadow, QColor(0, 0, 0, int(255 * 0.1 / 3)));
    }
    QPainterPath card;
    card.addRoundedRect(rect, corner, corner);
    painter.fillPath(card, QColor(40, 40, 48, 200));
    QPen pen(outlineColor(primary), ringWidth);
    pen.setMiterLimit(10);
    painter.setPen(pen);
    painter.drawPath(card);
    painter.restore();
}

} // namespace vivirov
