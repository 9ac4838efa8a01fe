#include "VivirovVizivurad/App/Sidebar/SidebarRow.h"

#include <QPainter>

#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"

namespace vivirov {

SidebarRow::SidebarRow(Style style, const QString& text, QWidget* parent)
    : QAbstractButton(parent), style_(std::move(style)) {
    setText(text);
    setAttribute(Qt::WA_Hover);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    QFont rowFont = font();
    rowFont.setPixelSize(qRound(style_.fontSize));
    setFont(rowFont);
}

void SidebarRow::setLook(bool active, const QColor& symbolColor, const QColor& textColor, QFont::Weight weight) {
    active_ = active;
    symbolColor_ = symbolColor;
    textColor_ = textColor;
    barColor_ = style_.hasBar && active ? ThemeSnapshot::palette.cyan : QColor(Qt::transparent);
    QFont rowFont = font();
    rowFont.setWeight(weight);
    setFont(rowFont);
    updateGeometry();
    update();
}

QSize SidebarRow::sizeHint() const {
    const QFontMetrics metrics(font());
    return {200, std::max(metrics.height(), qRound(style_.fontSize)) + 2 * style_.verticalPadding};
}

void SidebarRow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (showsHoverTint()) {
        QColor tint = palette().color(QPalette::WindowText);
        tint.setAlphaF(0.05);
        painter.fillRect(rect(), tint);
    }
    int x = 0;
    if (style_.hasBar) {
        if (barColor_.alpha() > 0) painter.fillRect(QRect(0, 3, 2, height() - 6), barColor_);
        x = 2;
    }
    x += 12;
    const int iconPixels = qRound(style_.fontSize);
    const QPixmap icon = Symbols::pixmap(style_.symbol, iconPixels, symbolColor_, devicePixelRatioF());
    painter.drawPixmap(x + (style_.symbolBox - iconPixels) / 2, (height() - iconPixels) / 2, icon);
    x += style_.symbolBox + style_.spacing;
    int right = width() - 12;
    if (style_.swatch) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(swatch_);
        painter.drawEllipse(QRectF(right - 8, (height() - 8) / 2.0, 8, 8));
        right -= 8 + style_.spacing;
    }
    painter.setPen(textColor_);
    painter.setFont(font());
    const QRect textBox(x, 0, std::max(0, right - x), height());
    painter.drawText(textBox, Qt::AlignVCenter | Qt::AlignLeft,
                     fontMetrics().elidedText(text(), Qt::ElideRight, textBox.width()));
}

void SidebarRow::enterEvent(QEnterEvent* event) {
    QAbstractButton::enterEvent(event);
    update();
}

void SidebarRow::leaveEvent(QEvent* event) {
    QAbstractButton::leaveEvent(event);
    update();
}

} // namespace vivirov
