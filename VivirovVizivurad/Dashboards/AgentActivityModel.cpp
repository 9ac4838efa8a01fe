#include "VivirovVizivurad/Dashboards/AgentActivityModel.h"

namespace vivirov {

AgentActivityModel& AgentActivityModel::shared() {
    static auto* instance = new AgentActivityModel();
    return *instance;
}

AgentActivityModel::AgentActivityModel(QObject* parent) : QObject(parent) {}

void AgentActivityModel::trimHistory(size_t count) {
    while (history_.size() > count) history_.pop_front();
}

void AgentActivityModel::feed(const AgentEvent& event) {
    history_.push_back(event);
    if (history_.size() > historyLimit) history_.pop_front();

    const bool wasRunning = isRunning();
    if (std::holds_alternative<AgentEvent::TurnStarted>(event.value)) {
        ++activeTurns_;
    } else if (std::holds_alternative<AgentEvent::TurnFinished>(event.value) ||
               std::holds_alternative<AgentEvent::TurnFailed>(event.value)) {
        // An end without a matching start must not push the count below zero.
        if (activeTurns_ > 0) --activeTurns_;
    }
    emit eventFed(event);
    if (isRunning() != wasRunning) emit isRunningChanged(isRunning());
}

} // namespace vivirov
