#pragma once
#include <QColor>
#include <QPainter>
#include <QPainterPath>
#include <QRectF>

class QWidget;

namespace vivirov {

// Small drawing helpers the chat surfaces share.
namespace ViewPaint {

QColor withAlpha(QColor color, double opacity);
// The hierarchical foreground colours over a widget's palette.
QColor primary(const QWidget* widget, double opacity = 1.0);
QColor secondary(const QWidget* widget);
QColor tertiary(const QWidget* widget);
// The platform's translucent materials, as tinted fills of the window colour.
QColor regularMaterial(const QWidget* widget);
QColor ultraThinMaterial(const QWidget* widget);

// Sets the colour a label or other widget draws its text in.
void setForeground(QWidget* widget, const QColor& color);

QPainterPath rounded(const QRectF& rect, double radius);
QPainterPath capsule(const QRectF& rect);
// A soft shadow under a rounded shape: a few faint layers in place of a blur.
void softShadow(QPainter& painter, const QRectF& rect, double radius, const QColor& color, double blur, double dy);

} // namespace ViewPaint
} // namespace vivirov
