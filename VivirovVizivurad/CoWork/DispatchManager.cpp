#include "VivirovVizivurad/CoWork/DispatchManager.h"

#include "VivirovKit/Support/Clock.h"

namespace vivirov {

namespace {

std::string trimmed(const std::string& text) {
    const char* blanks = " \t\n\r\v\f";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

} // namespace

DispatchManager::DispatchManager(QObject* parent) : QObject(parent) {
    busyTimer_.setSingleShot(true);
    busyTimer_.setInterval(busyPollMilliseconds);
    connect(&busyTimer_, &QTimer::timeout, this, &DispatchManager::drain);
}

DispatchManager::~DispatchManager() {
    if (runningTask_.joinable()) {
        runningTask_.request_stop();
        runningTask_.detach();
    }
}

void DispatchManager::shutdown() {
    busyTimer_.stop();
    workerRunning_ = false;
    if (runningTask_.joinable()) {
        runningTask_.request_stop();
        runningTask_.join();
    }
    runningTask_ = std::jthread();
}

Dispatch* DispatchManager::find(const UUID& id) {
    for (auto& dispatch : dispatches_)
        if (dispatch.id == id) return &dispatch;
    return nullptr;
}

void DispatchManager::update(const UUID& id, const std::function<void(Dispatch&)>& change) {
    auto* dispatch = find(id);
    if (!dispatch) return;
    change(*dispatch);
    emit changed();
}

std::vector<Dispatch> DispatchManager::active() const {
    std::vector<Dispatch> result;
    for (const auto& dispatch : dispatches_)
        if (dispatch.isActive()) result.push_back(dispatch);
    return result;
}

std::vector<Dispatch> DispatchManager::history() const {
    std::vector<Dispatch> result;
    for (const auto& dispatch : dispatches_)
        if (!dispatch.isActive()) result.push_back(dispatch);
    return result;
}

void DispatchManager::enqueue(const std::string& objective) {
    auto text = trimmed(objective);
    if (text.empty()) return;
    Dispatch dispatch;
    dispatch.id = UUID::random();
    dispatch.objective = std::move(text);
    dispatch.createdAt = Clock::current().wallSeconds();
    dispatch.status = Dispatch::Status::queued;
    dispatch.activity = "Queued";
    dispatches_.insert(dispatches_.begin(), std::move(dispatch));
    emit changed();
    if (workerRunning_) return;
    workerRunning_ = true;
    // The worker starts in a later turn, as a task would.
    QMetaObject::invokeMethod(this, &DispatchManager::drain, Qt::QueuedConnection);
}

void DispatchManager::cancel(const UUID& id) {
    cancelledIDs_.insert(id);
    if (runningID_ == id) {
        runningTask_.request_stop();
        return;
    }
    const auto* dispatch = find(id);
    if (dispatch && dispatch->status == Dispatch::Status::queued) markCancelled(id);
}

void DispatchManager::cancelAll() {
    for (const auto& dispatch : active()) cancelledIDs_.insert(dispatch.id);
    runningTask_.request_stop();
    for (const auto& dispatch : active())
        if (dispatch.status == Dispatch::Status::queued) markCancelled(dispatch.id);
}

void DispatchManager::markCancelled(const UUID& id) {
    update(id, [](Dispatch& dispatch) {
        dispatch.status = Dispatch::Status::cancelled;
        dispatch.activity = "Cancelled";
        dispatch.finishedAt = Clock::current().wallSeconds();
    });
}

std::optional<Dispatch> DispatchManager::oldestQueued() const {
    for (auto it = dispatches_.rbegin(); it != dispatches_.rend(); ++it)
        if (it->status == Dispatch::Status::queued) return *it;
    return std::nullopt;
}

// The worker: called when it starts, when the busy wait ends and when a job
// has ended; it either starts one job, waits for the engine, or ends.
void DispatchManager::drain() {
    if (!workerRunning_ || runningID_) return;
    while (true) {
        std::optional<Dispatch> next = waiting_ ? std::exchange(waiting_, std::nullopt) : oldestQueued();
        if (!next) {
            workerRunning_ = false;
            return;
        }
        if (cancelledIDs_.count(next->id)) {
            markCancelled(next->id);
            continue;
        }
        if (engineBusy()) {
            waiting_ = std::move(next);
            busyTimer_.start();
            return;
        }
        start(*next);
        if (runningID_) return;
    }
}

void DispatchManager::start(const Dispatch& next) {
    update(next.id, [](Dispatch& dispatch) {
        dispatch.status = Dispatch::Status::running;
        dispatch.activity = "Starting";
    });
    if (!runner_) {
        // Nobody would ever end the job: it fails rather than show "Starting" forever.
        update(next.id, [](Dispatch& dispatch) {
            dispatch.status = Dispatch::Status::failed;
            dispatch.activity = "Failed";
            dispatch.summary = "No runner is set up for co-work jobs.";
            dispatch.finishedAt = Clock::current().wallSeconds();
        });
        return;
    }
    runningID_ = next.id;
    runningTask_ = std::jthread([runner = runner_, next, weak = life_.weak()](std::stop_token stop) {
        try {
            runner(next, stop);
        } catch (...) {
            // A runner that throws has ended its job as far as the queue goes.
        }
        postToGui([weak] {
            if (auto* manager = GuiLife<DispatchManager>::resolve(weak)) manager->finishRunning();
        });
    });
}

void DispatchManager::finishRunning() {
    if (runningTask_.joinable()) runningTask_.join();
    runningTask_ = std::jthread();
    runningID_.reset();
    drain();
}

} // namespace vivirov
