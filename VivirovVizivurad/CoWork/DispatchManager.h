#pragma once
#include <QObject>
#include <QTimer>

#include <functional>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "VivirovVizivurad/Chat/GuiThread.h"
#include "VivirovVizivurad/CoWork/Dispatch.h"

namespace vivirov {

// The co-work queue: every dispatch since launch (newest first), run one at
// a time, oldest first, each once the engine is not busy. The owner installs
// the runner of one job and the engine-busy test before the first enqueue.
//
// GUI thread only. A job's runner runs on its own thread; everything else,
// including the wait for a busy engine, happens on the GUI thread.
class DispatchManager : public QObject {
    Q_OBJECT

public:
    // Runs one dispatch to its end on the job's own thread, given the job as
    // dequeued. It writes the job's progress and outcome through `update` on
    // the GUI thread, and ends it as cancelled once `stop` is requested.
    using Runner = std::function<void(const Dispatch&, std::stop_token stop)>;
    // Whether the engine is busy; called on the GUI thread.
    using EngineBusy = std::function<bool()>;

    // How long the queue waits before it asks a busy engine again.
    static constexpr int busyPollMilliseconds = 200;

    explicit DispatchManager(QObject* parent = nullptr);
    // Asks the running job to stop and lets its thread end on its own: its
    // runner may be waiting for this very thread.
    ~DispatchManager() override;

    const std::vector<Dispatch>& dispatches() const { return dispatches_; }
    Dispatch* find(const UUID& id);
    // Changes the first dispatch with `id`, if any, and announces it.
    void update(const UUID& id, const std::function<void(Dispatch&)>& change);

    // Queued and running dispatches, newest first.
    std::vector<Dispatch> active() const;
    // Finished dispatches, newest enqueued first.
    std::vector<Dispatch> history() const;

    // Adds a job for the trimmed objective; a blank one is ignored.
    void enqueue(const std::string& objective);
    // A queued job is cancelled at once; the running one is asked to stop.
    void cancel(const UUID& id);
    void cancelAll();

    // At the owner's end: stops the running job and waits for its thread,
    // for runners that never wait on the GUI thread once stopped.
    void shutdown();

    const Runner& runner() const { return runner_; }
    void setRunner(Runner runner) { runner_ = std::move(runner); }
    // False until the owner installs its test.
    bool engineBusy() const { return engineBusy_ ? engineBusy_() : false; }
    const EngineBusy& engineBusyTest() const { return engineBusy_; }
    void setEngineBusy(EngineBusy busy) { engineBusy_ = std::move(busy); }

    bool workerRunning() const { return workerRunning_; }
    const std::optional<UUID>& runningID() const { return runningID_; }

signals:
    // Any change of the list.
    void changed();

private:
    void drain();
    std::optional<Dispatch> oldestQueued() const;
    void start(const Dispatch& next);
    void finishRunning();
    void markCancelled(const UUID& id);

    std::vector<Dispatch> dispatches_;
    Runner runner_;
    EngineBusy engineBusy_;
    bool workerRunning_ = false;
    std::optional<UUID> runningID_;
    std::jthread runningTask_;
    std::set<UUID> cancelledIDs_;
    // The job the worker holds while the engine is busy, and its wait.
    std::optional<Dispatch> waiting_;
    QTimer busyTimer_;
    GuiLife<DispatchManager> life_{this};
};

} // namespace vivirov
