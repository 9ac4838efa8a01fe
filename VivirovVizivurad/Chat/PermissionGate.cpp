#include "VivirovVizivurad/Chat/PermissionGate.h"

#include <algorithm>

namespace vivirov {

PermissionGate::PermissionGate(std::function<void()> onCardChanged) : onCardChanged_(std::move(onCardChanged)) {}

PermissionGate::~PermissionGate() {
    auto waiting = std::move(waiting_);
    for (auto& entry : waiting) entry.verdict->deliver(false);
}

void PermissionGate::enqueue(PendingCommand request, std::shared_ptr<PermissionVerdict> verdict) {
    if (verdict->delivered()) return;
    waiting_.push_back({std::move(request), std::move(verdict)});
    showHead();
}

void PermissionGate::resolve(const UUID& id, bool approved) {
    finish(id, approved);
    showHead();
}

void PermissionGate::withdraw(const UUID& id) {
    finish(id, false);
    showHead();
}

void PermissionGate::denyAll() {
    // Emptied before anyone is resumed, so a resumed caller sees no stale entry.
    auto waiting = std::move(waiting_);
    waiting_.clear();
    for (auto& entry : waiting) entry.verdict->deliver(false);
    showHead();
}

bool PermissionGate::finish(const UUID& id, bool approved) {
    auto it = std::find_if(waiting_.begin(), waiting_.end(),
                           [&](const Waiting& entry) { return entry.request.id == id; });
    if (it == waiting_.end()) return false;
    auto verdict = std::move(it->verdict);
    waiting_.erase(it);
    verdict->deliver(approved);
    return true;
}

void PermissionGate::showHead() {
    std::optional<PendingCommand> head;
    if (!waiting_.empty()) head = waiting_.front().request;
    if (head == shown_) return;
    shown_ = std::move(head);
    if (onCardChanged_) onCardChanged_();
}

} // namespace vivirov
