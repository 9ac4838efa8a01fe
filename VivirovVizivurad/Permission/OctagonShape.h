#pragma once
#include <QPainterPath>
#include <QPolygonF>
#include <QRectF>

namespace vivirov {

// A regular octagon with flat edges at the top, bottom and sides, like a
// stop sign, centred in a rectangle and sized by its smaller side.
struct OctagonShape {
    // The eight corners, from -22.5° in steps of 45° (y grows downwards).
    static QPolygonF vertices(const QRectF& rect);
    static QPainterPath path(const QRectF& rect);
};

} // namespace vivirov
