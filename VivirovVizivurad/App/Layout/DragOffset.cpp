#include "VivirovVizivurad/App/Layout/DragOffset.h"

#include <cmath>

namespace vivirov {

void DragOffset::press(QPointF at) {
    origin_ = at;
    pressed_ = true;
    dragging_ = false;
}

bool DragOffset::move(QPointF to) {
    if (!pressed_) return false;
    const QPointF translation = to - origin_;
    if (!dragging_ && std::hypot(translation.x(), translation.y()) < threshold) return false;
    dragging_ = true;
    live_ = translation;
    return true;
}

bool DragOffset::release(QPointF at) {
    const bool wasDrag = move(at) || dragging_;
    if (wasDrag) {
        committed_ += live_;
        live_ = {};
    }
    pressed_ = dragging_ = false;
    return wasDrag;
}

void DragOffset::reset() {
    committed_ = live_ = {};
    pressed_ = dragging_ = false;
}

} // namespace vivirov
