#include "VivirovVizivurad/ChatColumn/ChatIconButton.h"

#include <QPainter>

#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/ChatColumn/ViewPaint.h"

namespace vivirov {

ChatIconButton::ChatIconButton(QString systemName, double size, QColor tint, bool active, QColor accent, QString help,
                               QWidget* parent)
    : QAbstractButton(parent), size_(size) {
    setFixedSize(32, 32);
    setCursor(Qt::PointingHandCursor);
    setLook(std::move(systemName), std::move(tint), active, std::move(accent), std::move(help));
}

void ChatIconButton::setLook(QString systemName, QColor tint, bool active, QColor accent, QString help) {
    systemName_ = std::move(systemName);
    tint_ = std::move(tint);
    active_ = active;
    accent_ = std::move(accent);
    setToolTip(help);
    setAccessibleName(help);
    update();
}

void ChatIconButton::enterEvent(QEnterEvent*) {
    hovering_ = true;
    update();
}

void ChatIconButton::leaveEvent(QEvent*) {
    hovering_ = false;
    update();
}

void ChatIconButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.25, 0.25, -0.25, -0.25);
    const QPainterPath shape = ViewPaint::rounded(box, 8);
    if (active_) painter.fillPath(shape, ViewPaint::withAlpha(accent_, 0.14));
    if (hovering_) painter.fillPath(shape, ViewPaint::primary(this, 0.08));
    if (active_) {
        painter.setPen(QPen(ViewPaint::withAlpha(accent_, 0.5), 0.5));
        painter.drawPath(shape);
    }
    const int side = int(std::round(size_));
    const QPixmap icon = Symbols::pixmap(systemName_, side, iconColor(), devicePixelRatioF());
    painter.drawPixmap(QPointF((width() - side) / 2.0, (height() - side) / 2.0), icon);
}

} // namespace vivirov
