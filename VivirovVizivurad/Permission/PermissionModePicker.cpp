#include "VivirovVizivurad/Permission/PermissionModePicker.h"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QPainter>

#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/Appearance/SystemFont.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/ChatColumn/ViewPaint.h"

namespace vivirov {

// One mode: symbol and name on a capsule, filled with the mode's tint
// while it is the current mode.
class PermissionSegment : public QAbstractButton {
public:
    PermissionSegment(PermissionModePicker::Mode mode, QWidget* parent) : QAbstractButton(parent), mode_(mode) {
        setText(PermissionModePicker::name(mode));
        setToolTip(PermissionModePicker::tooltip(mode));
        setAccessibleName(text());
        setCheckable(true);
        setCursor(Qt::PointingHandCursor);
        setFont(ThemeSnapshot::ui(12, QFont::Medium, FontDesign::rounded));
    }
    PermissionModePicker::Mode mode() const { return mode_; }
    QColor foreground() const {
        if (isChecked()) return Qt::white;
        return mode_ == PermissionModePicker::Mode::god ? ThemeSnapshot::palette.crimson : ViewPaint::secondary(this);
    }
    QSize sizeHint() const override {
        const QFontMetrics metrics(font());
        return {16 + 11 + 4 + metrics.horizontalAdvance(text()) + 16, 8 + std::max(11, metrics.height()) + 8};
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (isChecked()) painter.fillPath(ViewPaint::capsule(QRectF(rect())), PermissionModePicker::tint(mode_));
        const QColor ink = foreground();
        painter.drawPixmap(QPointF(16, (height() - 11) / 2.0),
                           Symbols::pixmap(PermissionModePicker::symbol(mode_), 11, ink, devicePixelRatioF()));
        painter.setPen(ink);
        painter.setFont(font());
        painter.drawText(QRectF(16 + 11 + 4, 0, width() - 31, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
    }

private:
    PermissionModePicker::Mode mode_;
};

PermissionModePicker::PermissionModePicker(QuintoraViewModel& vm, QWidget* parent) : QWidget(parent), vm_(vm) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(4, 4, 4, 4);
    row->setSpacing(4);
    for (Mode mode : {Mode::ask, Mode::accept, Mode::god}) {
        auto* segment = new PermissionSegment(mode, this);
        connect(segment, &QAbstractButton::clicked, this, [this, mode] {
            vm_.setPermissionMode(mode);
            refresh();
        });
        segments_.push_back(segment);
        row->addWidget(segment);
    }
    connect(&vm_, &QuintoraViewModel::permissionModeChanged, this, &PermissionModePicker::refresh);
    refresh();
}

QString PermissionModePicker::symbol(Mode mode) {
    switch (mode) {
    case Mode::ask: return QStringLiteral("hand.raised");
    case Mode::accept: return QStringLiteral("checkmark.shield");
    case Mode::god: return QStringLiteral("bolt.shield");
    }
    return {};
}

QString PermissionModePicker::name(Mode mode) {
    switch (mode) {
    case Mode::ask: return QStringLiteral("Ask");
    case Mode::accept: return QStringLiteral("Accept");
    case Mode::god: return QStringLiteral("God");
    }
    return {};
}

QString PermissionModePicker::tooltip(Mode mode) {
    switch (mode) {
    case Mode::ask: return QStringLiteral("Every host tool call asks for permission first");
    case Mode::accept: return QStringLiteral("Trusted: tool calls run automatically, no prompt");
    case Mode::god: return QStringLiteral("Autonomous: tool calls run automatically and the window arms");
    }
    return {};
}

QColor PermissionModePicker::tint(Mode mode) {
    return mode == Mode::god ? ThemeSnapshot::palette.crimson : ThemeSnapshot::palette.cyan;
}

QWidget* PermissionModePicker::segment(Mode mode) const {
    for (PermissionSegment* s : segments_)
        if (s->mode() == mode) return s;
    return nullptr;
}

void PermissionModePicker::refresh() {
    for (PermissionSegment* s : segments_) {
        s->setChecked(s->mode() == vm_.permissionMode());
        s->update();
    }
}

void PermissionModePicker::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPainterPath shape = ViewPaint::capsule(QRectF(rect()).adjusted(0.25, 0.25, -0.25, -0.25));
    painter.fillPath(shape, ViewPaint::regularMaterial(this));
    painter.setPen(QPen(ViewPaint::primary(this, 0.09), 0.5));
    painter.drawPath(shape);
}

} // namespace vivirov
