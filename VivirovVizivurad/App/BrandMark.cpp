#include "VivirovVizivurad/App/BrandMark.h"

#include <QPainter>

#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"

namespace vivirov {

BrandMark::BrandMark(bool active, int size, QWidget* parent) : QWidget(parent), active_(active) {
    setFixedSize(size, size);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void BrandMark::setActive(bool active) {
    if (active == active_) return;
    active_ = active;
    update();
}

void BrandMark::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor ring = ThemeSnapshot::palette.cyan;
    ring.setAlphaF(active_ ? 1.0 : 0.6);
    const QRectF box = QRectF(rect()).adjusted(2, 2, -2, -2);
    painter.setPen(QPen(ring, 2));
    painter.drawEllipse(box);
    painter.setPen(Qt::NoPen);
    painter.setBrush(active_ ? ThemeSnapshot::palette.cyan : ThemeSnapshot::palette.violet);
    painter.drawEllipse(box.center(), box.width() / 5, box.width() / 5);
}

} // namespace vivirov
