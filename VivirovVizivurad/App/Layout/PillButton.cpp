#include "VivirovVizivurad/App/Layout/PillButton.h"

#include <QPainter>
#include <QPainterPath>


namespace vivirov {

PillButton::PillButton(const QString& text, const QColor& tint, QWidget* parent)
    : QPushButton(text, parent), tint_(tint) {
    QFont label = font();
    label.setPixelSize(12); // 11.5 rounded to whole pixels; a fixed font
    label.setWeight(QFont::DemiBold);
    setFont(label);
    setCursor(Qt::PointingHandCursor);
}

void PillButton::setTint(const QColor& tint) {
    tint_ = tint;
    update();
}

QSize PillButton::sizeHint() const {
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text()) + 24, metrics.height() + 12};
}

void PillButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const bool pressed = isDown();
    painter.setOpacity(buttonOpacity(pressed));
    QColor fill = tint_;
    fill.setAlphaF(fillOpacity(pressed));
    const QRectF box = rect();
    QPainterPath capsule;
    capsule.addRoundedRect(box, box.height() / 2, box.height() / 2);
    painter.fillPath(capsule, fill);
    painter.setPen(tint_);
    painter.setFont(font());
    painter.drawText(box, Qt::AlignCenter, text());
}

} // namespace vivirov
