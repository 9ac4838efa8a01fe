#include "VivirovVizivurad/ChatColumn/SynapticRecallStrip.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>

#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/Appearance/SystemFont.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"

namespace vivirov {

SynapticRecallStrip::SynapticRecallStrip(QuintoraViewModel& vm, QWidget* parent) : QWidget(parent), vm_(vm) {
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(22, 6, 22, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidgetResizable(true);
    scroll->viewport()->setAutoFillBackground(false);
    auto* strip = new QWidget;
    row_ = new QHBoxLayout(strip);
    row_->setContentsMargins(0, 0, 0, 0);
    row_->setSpacing(8);
    scroll->setWidget(strip);
    outer->addWidget(scroll);
    connect(&vm_, &QuintoraViewModel::synapticRecallChanged, this, &SynapticRecallStrip::rebuild);
    rebuild();
}

void SynapticRecallStrip::rebuild() {
    while (QLayoutItem* item = row_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    titles_.clear();
    for (const auto& title : vm_.synapticRecall()) titles_ << QString::fromStdString(title);
    setVisible(!titles_.isEmpty());
    if (titles_.isEmpty()) return;
    QWidget* strip = row_->parentWidget();
    auto* icon = new QLabel(strip);
    icon->setPixmap(Symbols::pixmap(QStringLiteral("brain.head.profile"), 12, ThemeSnapshot::palette.violet,
                                    devicePixelRatioF()));
    auto* heading = new QLabel(QStringLiteral("Synaptic Recall"), strip);
    heading->setFont(systemFont(11, QFont::DemiBold, FontDesign::rounded));
    row_->addWidget(icon);
    row_->addWidget(heading);
    for (const QString& title : titles_) {
        auto* chip = new QLabel(title, strip);
        chip->setFont(systemFont(11, QFont::Medium));
        chip->setStyleSheet(QStringLiteral("QLabel { padding: 3px 8px; border-radius: 9px;"
                                           " background: rgba(127,127,127,40); }"));
        row_->addWidget(chip);
    }
    row_->addStretch(1);
}

} // namespace vivirov
