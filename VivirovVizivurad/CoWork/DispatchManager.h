#pragma once
#include <QObject>
#include <functional>
#include <vector>

#include "VivirovVizivurad/CoWork/Dispatch.h"

namespace vivirov {

// The co-work queue: its dispatches (newest first) and the two hooks the
// chat controller installs, the runner of one dispatch and the engine-busy
// test the queue waits on. GUI thread, except that the hooks are called
// from the queue's worker.
class DispatchManager : public QObject {
    Q_OBJECT

public:
    // Runs one dispatch to its end; called on the queue's worker thread.
    using Runner = std::function<void(const Dispatch&)>;
    // Whether the engine is busy; callable from any thread.
    using EngineBusy = std::function<bool()>;

    explicit DispatchManager(QObject* parent = nullptr);

    const std::vector<Dispatch>& dispatches() const { return dispatches_; }
    Dispatch* find(const UUID& id);
    // Puts a dispatch at the front of the list.
    void add(Dispatch dispatch);

    const Runner& runner() const { return runner_; }
    void setRunner(Runner runner) { runner_ = std::move(runner); }
    // False until the controller installs its test.
    bool engineBusy() const { return engineBusy_ ? engineBusy_() : false; }
    const EngineBusy& engineBusyTest() const { return engineBusy_; }
    void setEngineBusy(EngineBusy busy) { engineBusy_ = std::move(busy); }

    // Every queued or running dispatch becomes cancelled.
    void cancelAll();

signals:
    // Any change of the list.
    void changed();

private:
    std::vector<Dispatch> dispatches_;
    Runner runner_;
    EngineBusy engineBusy_;
};

} // namespace vivirov
