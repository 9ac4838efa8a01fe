#include "VivirovVizivurad/Permission/VerdictButton.h"

#include <QPainter>

#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/ChatColumn/ViewPaint.h"

namespace vivirov {

VerdictButton::VerdictButton(QString symbol, const QString& title, QColor tint, QWidget* parent)
    : QAbstractButton(parent), symbol_(std::move(symbol)), tint_(std::move(tint)) {
    setText(title);
    setAccessibleName(title);
    setFont(ThemeSnapshot::ui(14, QFont::Medium, FontDesign::standard));
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize VerdictButton::sizeHint() const {
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text()) + 14 + 6 + 32, metrics.height() + 24 + 4};
}

void VerdictButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const bool pressed = isDown();
    QRectF box = QRectF(rect()).adjusted(2, 1, -2, -3);
    if (pressed) {
        const QPointF c = box.center();
        box = QRectF(c.x() - box.width() * 0.49, c.y() - box.height() * 0.49, box.width() * 0.98, box.height() * 0.98);
    }
    ViewPaint::softShadow(painter, box, 8, QColor(0, 0, 0, int(255 * 0.1)), pressed ? 2 : 6, pressed ? 1 : 2);
    painter.fillPath(ViewPaint::rounded(box, 8), ViewPaint::withAlpha(tint_, pressed ? 0.78 : 1.0));
    if (hasFocus()) {
        painter.setPen(QPen(QColor(255, 255, 255, 140), 1));
        painter.drawPath(ViewPaint::rounded(box.adjusted(1.5, 1.5, -1.5, -1.5), 7));
    }
    const QFontMetricsF metrics(font());
    const double textWidth = metrics.horizontalAdvance(text());
    const double total = 14 + 6 + textWidth;
    const double x = box.center().x() - total / 2;
    painter.drawPixmap(QPointF(x, box.center().y() - 7), Symbols::pixmap(symbol_, 14, Qt::white, devicePixelRatioF()));
    painter.setPen(Qt::white);
    painter.setFont(font());
    painter.drawText(QRectF(x + 20, box.top(), textWidth + 2, box.height()), Qt::AlignVCenter | Qt::AlignLeft, text());
}

} // namespace vivirov
