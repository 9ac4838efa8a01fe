#include "VivirovVizivurad/ChatColumn/ViewPaint.h"

#include <QWidget>

#include <algorithm>

namespace vivirov::ViewPaint {

QColor withAlpha(QColor color, double opacity) {
    color.setAlphaF(float(std::clamp(opacity, 0.0, 1.0)));
    return color;
}

QColor primary(const QWidget* widget, double opacity) {
    return withAlpha(widget->palette().color(QPalette::WindowText), opacity);
}
QColor secondary(const QWidget* widget) { return primary(widget, 0.62); }
QColor tertiary(const QWidget* widget) { return primary(widget, 0.38); }

QColor regularMaterial(const QWidget* widget) {
    return withAlpha(widget->palette().color(QPalette::Window).lighter(112), 0.86);
}
QColor ultraThinMaterial(const QWidget* widget) {
    return withAlpha(widget->palette().color(QPalette::Window).lighter(118), 0.55);
}

void setForeground(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    widget->setPalette(palette);
}

QPainterPath rounded(const QRectF& rect, double radius) {
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

QPainterPath capsule(const QRectF& rect) {
    const double r = std::min(rect.width(), rect.height()) / 2;
    return rounded(rect, r);
}

void softShadow(QPainter& painter, const QRectF& rect, double radius, const QColor& color, double blur, double dy) {
    if (color.alpha() == 0) return;
    painter.save();
    painter.setPen(Qt::NoPen);
    const int layers = std::max(1, int(blur / 2));
    QColor layer = withAlpha(color, color.alphaF() / layers);
    for (int i = layers; i >= 1; --i) {
        const double grow = blur * i / layers / 2;
        painter.fillPath(rounded(rect.adjusted(-grow, -grow + dy, grow, grow + dy), radius + grow), layer);
    }
    painter.restore();
}

} // namespace vivirov::ViewPaint
