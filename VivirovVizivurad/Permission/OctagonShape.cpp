#include "VivirovVizivurad/Permission/OctagonShape.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace vivirov {

QPolygonF OctagonShape::vertices(const QRectF& rect) {
    const QPointF c = rect.center();
    const double r = std::min(rect.width(), rect.height()) / 2;
    QPolygonF corners;
    for (int i = 0; i < 8; ++i) {
        const double a = (-22.5 + 45.0 * i) * std::numbers::pi / 180.0;
        corners << QPointF(c.x() + r * std::cos(a), c.y() + r * std::sin(a));
    }
    return corners;
}

QPainterPath OctagonShape::path(const QRectF& rect) {
    QPainterPath path;
    path.addPolygon(vertices(rect));
    path.closeSubpath();
    return path;
}

} // namespace vivirov
