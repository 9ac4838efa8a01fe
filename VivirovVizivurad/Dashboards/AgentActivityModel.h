#pragma once
#include <QObject>
#include <deque>

#include "VivirovKit/Agentic/AgentEvent.h"

namespace vivirov {

// The live feed of agent activity and whether an agent turn is running.
// GUI thread only.
class AgentActivityModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)

public:
    static constexpr size_t historyLimit = 500;

    // Lives on the GUI thread (create it there first) until the process ends.
    static AgentActivityModel& shared();
    explicit AgentActivityModel(QObject* parent = nullptr);

    // Appends to the feed (oldest entries beyond the limit drop) and counts
    // turns: running from a start until every started turn finished or failed.
    void feed(const AgentEvent& event);

    const std::deque<AgentEvent>& history() const { return history_; }
    // Keeps the `count` newest entries (memory pressure).
    void trimHistory(size_t count);
    bool isRunning() const { return activeTurns_ > 0; }

signals:
    void eventFed(const vivirov::AgentEvent& event);
    void isRunningChanged(bool running);

private:
    std::deque<AgentEvent> history_;
    int activeTurns_ = 0;
};

} // namespace vivirov
