#include "VivirovVizivurad/Inspector/StatCell.h"

#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include "VivirovVizivurad/Appearance/SystemFont.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/ChatColumn/ViewPaint.h"

namespace vivirov {

StatCell::StatCell(const QString& label, QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 4, 0, 4);
    layout->setSpacing(2);
    label_ = new QLabel(label, this);
    label_->setFont(systemFont(9, QFont::DemiBold, FontDesign::rounded));
    label_->setForegroundRole(QPalette::PlaceholderText);
    value_ = new QLabel(this);
    value_->setFont(systemFont(12 * ThemeSnapshot::scale, QFont::Normal, FontDesign::monospaced));
    QPalette cyan = value_->palette();
    cyan.setColor(QPalette::WindowText, ThemeSnapshot::palette.cyan);
    value_->setPalette(cyan);
    layout->addWidget(label_);
    layout->addWidget(value_);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

void StatCell::setValue(const QString& value) { value_->setText(value); }
QString StatCell::label() const { return label_->text(); }
QString StatCell::value() const { return value_->text(); }

void StatCell::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(QRectF(0, height() - 0.5, width(), 0.5),
                     ViewPaint::primary(this, 0.06));
}

} // namespace vivirov
