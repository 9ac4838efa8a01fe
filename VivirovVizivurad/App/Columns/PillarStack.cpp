#include "VivirovVizivurad/App/Columns/PillarStack.h"

#include <QCoreApplication>

#include "VivirovVizivurad/App/Columns/PillarTransition.h"

namespace vivirov {

PillarStack::PillarStack(AppRoute current, QWidget* parent)
    : QWidget(parent), current_(current), transition_(new PillarTransition(this)) {}

void PillarStack::setPillar(AppRoute route, QWidget* pillar) {
    delete pillars_[index(route)];
    pillars_[index(route)] = pillar;
    pillar->setParent(this);
    pillar->setGeometry(rect());
    pillar->setVisible(route == current_);
    // Route order back to front, the transition above them all.
    for (QWidget* each : pillars_)
        if (each) each->raise();
    transition_->raise();
}

void PillarStack::showRoute(AppRoute route, bool animated) {
    if (route == current_) return;
    QWidget* from = pillar(current_);
    QWidget* to = pillar(route);
    current_ = route;
    const bool draw = animated && from && to && isVisible() && !size().isEmpty();
    const QImage before = draw ? from->grab().toImage() : QImage();
    if (to) {
        to->setGeometry(rect());
        to->show();
    }
    if (from) from->hide();
    if (!draw) return;
    QCoreApplication::sendPostedEvents(to, QEvent::LayoutRequest);
    transition_->setGeometry(rect());
    transition_->start(before, to->grab().toImage());
}

void PillarStack::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    for (QWidget* each : pillars_)
        if (each) each->setGeometry(rect());
    transition_->setGeometry(rect());
}

} // namespace vivirov
