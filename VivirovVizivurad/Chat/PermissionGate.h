#pragma once
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "VivirovVizivurad/Chat/PendingCommand.h"
#include "VivirovVizivurad/Chat/PermissionVerdict.h"

namespace vivirov {

// The waiting verdicts of the permission card. Requests wait in arrival
// order; the card shows the oldest, and answering it shows the next, so
// requests made at once (parallel tools) are all answerable.
//
// GUI thread only. Every request ends exactly once: by its verdict, by its
// withdrawal (the asking run was stopped), by denyAll (the kill switch) or
// by the gate's end, the last three as a refusal.
class PermissionGate {
public:
    // `onCardChanged` runs after the shown request changes (not from the destructor).
    explicit PermissionGate(std::function<void()> onCardChanged = {});
    ~PermissionGate();
    PermissionGate(const PermissionGate&) = delete;
    PermissionGate& operator=(const PermissionGate&) = delete;

    // Stores the request's verdict, then shows it if nothing else is shown.
    // A verdict already delivered (its run was stopped) is not stored.
    void enqueue(PendingCommand request, std::shared_ptr<PermissionVerdict> verdict);
    // Delivers the user's answer; an id that no longer waits changes nothing.
    void resolve(const UUID& id, bool approved);
    // Refuses a request whose caller stopped waiting and takes it off the card.
    void withdraw(const UUID& id);
    // Refuses everything waiting and clears the card.
    void denyAll();

    const std::optional<PendingCommand>& pendingCommand() const { return shown_; }
    size_t waitingCount() const { return waiting_.size(); }

private:
    struct Waiting {
        PendingCommand request;
        std::shared_ptr<PermissionVerdict> verdict;
    };
    // Removes the entry and delivers `approved` to it; false when there was none.
    bool finish(const UUID& id, bool approved);
    void showHead();

    std::deque<Waiting> waiting_;
    std::optional<PendingCommand> shown_;
    std::function<void()> onCardChanged_;
};

} // namespace vivirov
