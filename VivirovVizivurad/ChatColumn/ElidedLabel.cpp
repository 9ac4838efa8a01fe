#include "VivirovVizivurad/ChatColumn/ElidedLabel.h"

#include <QPainter>

namespace vivirov {

ElidedLabel::ElidedLabel(Qt::TextElideMode mode, QWidget* parent) : QLabel(parent), mode_(mode) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setTextFormat(Qt::PlainText);
}

QSize ElidedLabel::minimumSizeHint() const { return {0, fontMetrics().height()}; }

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    const QRect area = contentsRect();
    painter.drawText(area, int(alignment()) | Qt::AlignVCenter,
                     fontMetrics().elidedText(text(), mode_, area.width()));
}

} // namespace vivirov
