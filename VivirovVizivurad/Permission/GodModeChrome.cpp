#include "VivirovVizivurad/Permission/GodModeChrome.h"

#include <QLinearGradient>
#include <QPainter>
#include <QVariantAnimation>

#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/ChatColumn/ReduceMotion.h"
#include "VivirovVizivurad/ChatColumn/ViewPaint.h"

namespace vivirov {
namespace {
QFont bannerFont() {
    QFont font = ThemeSnapshot::ui(10, QFont::DemiBold, FontDesign::rounded);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 2);
    return font;
}
} // namespace

GodModeChrome::GodModeChrome(bool active, QWidget* parent)
    : QWidget(parent), sweepAnimation_(new QVariantAnimation(this)) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    sweepAnimation_->setDuration(sweepMilliseconds);
    sweepAnimation_->setStartValue(0.0);
    sweepAnimation_->setEndValue(1.0);
    sweepAnimation_->setLoopCount(-1);
    connect(sweepAnimation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        sweep_ = v.toDouble();
        update(0, 0, width(), 2);
    });
    setActive(active);
}

bool GodModeChrome::isSweeping() const { return sweepAnimation_->state() == QAbstractAnimation::Running; }

int GodModeChrome::bannerHeight() const { return 2 + 8 + QFontMetrics(bannerFont()).height() + 8; }

void GodModeChrome::setActive(bool active) {
    active_ = active;
    sweepAnimation_->stop();
    sweep_ = 0;
    setVisible(active);
    // The banner restarts its sweep each time it comes on screen.
    if (active && !ReduceMotion::enabled()) sweepAnimation_->start();
    update();
}

void GodModeChrome::paintEvent(QPaintEvent*) {
    if (!active_) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const auto& palette = ThemeSnapshot::palette;
    QLinearGradient tint(0, 0, 0, height());
    tint.setColorAt(0, ViewPaint::withAlpha(palette.crimson, 0.16));
    tint.setColorAt(1, ViewPaint::withAlpha(palette.crimsonDeep, 0.10));
    painter.fillRect(rect(), tint);

    // The scan line: a bright segment 36 % as wide as the line, from just
    // left of it to just past its right end.
    const double segment = 0.36 * width();
    const double x = -segment + sweep_ * (width() + segment);
    QLinearGradient line(x, 0, x + segment, 0);
    line.setColorAt(0, ViewPaint::withAlpha(palette.crimson, 0));
    line.setColorAt(0.5, ViewPaint::withAlpha(palette.crimson, 0.85));
    line.setColorAt(1, ViewPaint::withAlpha(palette.crimson, 0));
    painter.fillRect(QRectF(x, 0, segment, 2), line);

    const QRectF banner(0, 2, width(), bannerHeight() - 2);
    painter.fillRect(banner, ViewPaint::ultraThinMaterial(this));
    painter.fillRect(banner, ViewPaint::withAlpha(palette.crimsonDeep, 0.2));
    const QFont font = bannerFont();
    const double textWidth = QFontMetricsF(font).horizontalAdvance(bannerText);
    const double total = 10 + 8 + textWidth;
    const double left = (width() - total) / 2;
    painter.drawPixmap(QPointF(left, banner.center().y() - 5),
                       Symbols::pixmap(QStringLiteral("bolt.shield.fill"), 10, palette.crimson, devicePixelRatioF()));
    painter.setFont(font);
    painter.setPen(palette.crimson);
    painter.drawText(QRectF(left + 18, banner.top(), textWidth + 4, banner.height()), Qt::AlignVCenter | Qt::AlignLeft,
                     bannerText);
}

} // namespace vivirov
