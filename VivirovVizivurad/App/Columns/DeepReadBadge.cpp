#include "VivirovVizivurad/App/Columns/DeepReadBadge.h"

#include <QGraphicsOpacityEffect>
#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>

#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/Appearance/SystemFont.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/ChatColumn/ViewPaint.h"

namespace vivirov {
namespace {

constexpr int kPadX = 10, kPadY = 5, kIcon = 12, kGap = 5;
const QString kText = QStringLiteral("Deep Read");

QFont badgeFont() { return systemFont(11, QFont::DemiBold); }

} // namespace

DeepReadBadge::DeepReadBadge(QWidget* parent)
    : QWidget(parent), fade_(new QGraphicsOpacityEffect(this)), animation_(new QPropertyAnimation(fade_, "opacity", this)) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    fade_->setOpacity(0);
    setGraphicsEffect(fade_);
    animation_->setDuration(fadeMs);
    animation_->setEasingCurve(QEasingCurve::InOutQuad);
    connect(animation_, &QPropertyAnimation::finished, this, [this] {
        if (!shown_) hide();
    });
    resize(sizeHint());
    hide();
}

QSize DeepReadBadge::sizeHint() const {
    const QFontMetrics metrics(badgeFont());
    return {kPadX * 2 + kIcon + kGap + metrics.horizontalAdvance(kText), kPadY * 2 + metrics.height()};
}

void DeepReadBadge::place(const QSize& pane) {
    resize(sizeHint());
    move(pane.width() - rightMargin - width(), topMargin);
}

void DeepReadBadge::setShown(bool shown) {
    if (shown == shown_) return;
    shown_ = shown;
    animation_->stop();
    animation_->setStartValue(fade_->opacity());
    animation_->setEndValue(shown ? 1.0 : 0.0);
    show();
    raise();
    animation_->start();
}

void DeepReadBadge::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor cyan = ThemeSnapshot::palette.cyan;
    const QPainterPath path = ViewPaint::capsule(QRectF(rect()).adjusted(0.25, 0.25, -0.25, -0.25));
    painter.fillPath(path, ViewPaint::withAlpha(cyan, 0.18));
    painter.setPen(QPen(ViewPaint::withAlpha(cyan, 0.4), 0.5));
    painter.drawPath(path);
    const QPixmap icon = Symbols::pixmap(QStringLiteral("book.fill"), kIcon, cyan, devicePixelRatioF());
    painter.drawPixmap(kPadX, (height() - kIcon) / 2, icon);
    painter.setFont(badgeFont());
    painter.setPen(cyan);
    painter.drawText(QRect(kPadX + kIcon + kGap, 0, width(), height()), Qt::AlignVCenter | Qt::AlignLeft, kText);
}

} // namespace vivirov
