#include "VivirovVizivurad/ChatColumn/AgentModeBar.h"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QPainter>

#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/ChatColumn/AgentModeInfo.h"
#include "VivirovVizivurad/ChatColumn/ViewPaint.h"

namespace vivirov {

// One mode: its icon and label, in its colour on a capsule of it while selected.
class AgentModeSegment : public QAbstractButton {
public:
    AgentModeSegment(AgentMode mode, QWidget* parent) : QAbstractButton(parent), mode_(mode) {
        setText(AgentModeInfo::label(mode));
        setAccessibleName(AgentModeInfo::label(mode) + QStringLiteral(" mode"));
        setAccessibleDescription(AgentModeInfo::hint(mode));
        setCheckable(true);
        setCursor(Qt::PointingHandCursor);
        setFont(ThemeSnapshot::ui(10, QFont::DemiBold, FontDesign::rounded));
    }
    AgentMode mode() const { return mode_; }
    QColor foreground() const { return isChecked() ? AgentModeInfo::color(mode_) : ViewPaint::secondary(this); }
    QSize sizeHint() const override {
        const QFontMetrics metrics(font());
        return {8 + 11 + 4 + metrics.horizontalAdvance(text()) + 8, 4 + std::max(11, metrics.height()) + 4};
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (isChecked())
            painter.fillPath(ViewPaint::capsule(QRectF(rect())), ViewPaint::withAlpha(AgentModeInfo::color(mode_), 0.15));
        const QColor ink = foreground();
        painter.drawPixmap(QPointF(8, (height() - 11) / 2.0),
                           Symbols::pixmap(AgentModeInfo::symbol(mode_), 11, ink, devicePixelRatioF()));
        painter.setPen(ink);
        painter.setFont(font());
        painter.drawText(QRectF(8 + 11 + 4, 0, width() - 23, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
    }

private:
    AgentMode mode_;
};

AgentModeBar::AgentModeBar(std::function<AgentMode()> read, std::function<void(AgentMode)> write, QWidget* parent)
    : QWidget(parent), read_(std::move(read)), write_(std::move(write)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(2, 2, 2, 2);
    row->setSpacing(0);
    for (AgentMode mode : AgentModeInfo::allCases) {
        auto* segment = new AgentModeSegment(mode, this);
        connect(segment, &QAbstractButton::clicked, this, [this, mode] {
            write_(mode);
            refresh();
        });
        segments_.push_back(segment);
        row->addWidget(segment);
    }
    refresh();
}

void AgentModeBar::refresh() {
    const AgentMode current = read_();
    for (AgentModeSegment* s : segments_) {
        s->setChecked(s->mode() == current);
        s->setAccessibleName(AgentModeInfo::label(s->mode()) + QStringLiteral(" mode"));
        s->update();
    }
}

QWidget* AgentModeBar::segment(AgentMode mode) const {
    for (AgentModeSegment* s : segments_)
        if (s->mode() == mode) return s;
    return nullptr;
}

void AgentModeBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPainterPath shape = ViewPaint::capsule(QRectF(rect()).adjusted(0.25, 0.25, -0.25, -0.25));
    painter.fillPath(shape, ViewPaint::primary(this, 0.06));
    painter.setPen(QPen(ViewPaint::primary(this, 0.08), 0.5));
    painter.drawPath(shape);
}

} // namespace vivirov
