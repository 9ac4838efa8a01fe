#include "VivirovVizivurad/CoWork/DispatchManager.h"

#include "VivirovKit/Support/Clock.h"

namespace vivirov {

DispatchManager::DispatchManager(QObject* parent) : QObject(parent) {}

Dispatch* DispatchManager::find(const UUID& id) {
    for (auto& dispatch : dispatches_)
        if (dispatch.id == id) return &dispatch;
    return nullptr;
}

void DispatchManager::add(Dispatch dispatch) {
    dispatches_.insert(dispatches_.begin(), std::move(dispatch));
    emit changed();
}

void DispatchManager::cancelAll() {
    bool any = false;
    for (auto& dispatch : dispatches_) {
        if (!dispatch.isActive()) continue;
        dispatch.status = Dispatch::Status::cancelled;
        dispatch.finishedAt = Clock::current().wallSeconds();
        any = true;
    }
    if (any) emit changed();
}

} // namespace vivirov
