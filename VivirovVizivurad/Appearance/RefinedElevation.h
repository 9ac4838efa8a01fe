#pragma once
#include <QColor>
#include <QPainter>
#include <QRectF>
#include <optional>

namespace vivirov {

// The raised card look: a translucent fill in a rounded rectangle, a thin
// outline and a soft shadow below. Paint it behind the card's content.
struct RefinedElevation {
    double corner = 16;
    std::optional<QColor> ring;  // none: the primary colour at 9 % opacity
    double ringWidth = 0.5;

    QColor outlineColor(const QColor& primary) const;
    void paint(QPainter& painter, const QRectF& rect, const QColor& primary) const;
};

} // namespace vivirov
