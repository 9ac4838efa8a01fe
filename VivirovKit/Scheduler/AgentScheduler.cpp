#include "VivirovKit/Scheduler/AgentScheduler.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <future>
#include <limits>
#include <mutex>
#include <thread>

#include "VivirovKit/Support/Clock.h"
#include "VivirovKit/Support/WorkerPool.h"

namespace vivirov {

namespace {

using AgentJob = AgentScheduler::AgentJob;
using Lane = AgentScheduler::Lane;
using JobSummary = AgentScheduler::SchedulerSnapshot::JobSummary;

// One enqueued job from its queueing to its end. The engine's reports find
// the job through this record, never through its agent id or the slot it
// first ran in: ids may repeat, and a resumed agent may sit in another slot.
struct Run {
    explicit Run(AgentJob j) : job(std::move(j)) {}
    const AgentJob job;
    std::atomic<bool> ended{false};
    // Guarded by the scheduler's mutex.
    int64_t slot = -1;
    bool pauseAsked = false;

    // The job's own onDone, at most once whoever ends the job.
    void end() {
        if (!ended.exchange(true) && job.onDone) job.onDone();
    }
};
using RunPtr = std::shared_ptr<Run>;

struct SlotState {
    AgentScheduler::AgentSlot info;
    RunPtr run;
};

struct Parked {
    AgentScheduler::PausedAgent info;
    RunPtr run;
};

// Gathers the tokens of one runAgent call; engine threads append, the
// completion copies.
struct TokenBox {
    std::mutex lock;
    std::vector<uint32_t> tokens;
};

// An engine that throws is treated as one that refused.
template <class F>
bool askEngine(F&& call) {
    try {
        return call();
    } catch (...) {
        return false;
    }
}

// Depth of job completion callbacks running on this thread. Work a job's
// onDone hands back to the scheduler is placed from another thread, so the
// engine is never called from inside its own callback.
thread_local int insideOnDone = 0;

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
    return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max() : a + b;
}

} // namespace

class AgentScheduler::Core : public std::enable_shared_from_this<Core> {
public:
    Core(int64_t count, Context ctx) : slotCount(std::max<int64_t>(0, count)), context(std::move(ctx)) {
        slots.resize(size_t(slotCount));
        for (int64_t i = 0; i < slotCount; ++i) slots[size_t(i)].info.id = i;
    }

    uint64_t now() const { return context.clock ? context.clock->uptimeNanos() : Clock::current().uptimeNanos(); }

    // Runs placement passes until no one asked for another. Only one thread
    // places at a time; a request that arrives meanwhile makes the placing
    // thread run one more pass instead of waiting for it.
    void pump() {
        if (insideOnDone > 0) {
            std::unique_lock lock(mutex);
            schedulePump(lock);
            return;
        }
        {
            std::lock_guard lock(mutex);
            if (pumping) {
                pumpAgain = true;
                return;
            }
            pumping = true;
        }
        for (;;) {
            placementPass();
            std::lock_guard lock(mutex);
            if (!pumpAgain || closed) {
                pumping = false;
                return;
            }
            pumpAgain = false;
        }
    }

    void enqueue(AgentJob job) {
        auto run = std::make_shared<Run>(std::move(job));
        RunPtr victim;
        std::shared_ptr<EngineDispatching> eng;
        {
            std::lock_guard lock(mutex);
            if (run->job.lane == Lane::background) {
                rr.push_back(run);
            } else {
                const bool anyFree = std::any_of(slots.begin(), slots.end(), [](const SlotState& s) { return !s.run; });
                edfPush(run);
                if (!anyFree && engine) {
                    // One pause per waiting user job: skip agents already asked,
                    // or two user jobs would wait on the same slot, and agents
                    // already finishing, whose slot frees by itself.
                    for (auto& slot : slots) {
                        if (slot.run && slot.info.lane == Lane::background && !slot.run->pauseAsked &&
                            !slot.run->ended.load()) {
                            victim = slot.run;
                            victim->pauseAsked = true;
                            eng = engine;
                            break;
                        }
                    }
                }
            }
        }
        if (victim) {
            if (insideOnDone > 0) {
                std::weak_ptr<Core> weak = weak_from_this();
                post([weak, victim, eng] {
                    if (auto core = weak.lock()) core->askPause(victim, eng);
                });
            } else {
                askPause(victim, eng);
            }
        }
        pump();
    }

    void askPause(const RunPtr& victim, const std::shared_ptr<EngineDispatching>& eng) {
        if (askEngine([&] { return eng->pause(victim->job.agentID); })) return;
        std::lock_guard lock(mutex);
        victim->pauseAsked = false; // another user job may ask it again
    }

    // The engine paused `run`: park it and free its slot.
    void recordPreempt(const RunPtr& run) {
        std::unique_lock lock(mutex);
        if (closed) {
            lock.unlock();
            run->end(); // nothing will ever resume it
            return;
        }
        const int64_t i = slotOf(run);
        if (i < 0) return; // stale or duplicate report
        if (int64_t(paused.size()) >= maxPaused) {
            // Keeping the slot for an agent the engine has paused would lose
            // the slot for good; give the agent up and end its job instead.
            clearSlot(i);
            ++failedTotal;
            schedulePump(lock);
            run->end();
            return;
        }
        paused.push_back({{run->job.agentID, i, now()}, run});
        clearSlot(i);
        run->pauseAsked = false;
        ++preemptCount;
        schedulePump(lock);
    }

    // The engine finished `run` (its onDone has run).
    void release(const RunPtr& run) {
        std::unique_lock lock(mutex);
        if (closed) return;
        const int64_t i = slotOf(run);
        if (i >= 0) {
            clearSlot(i);
            ++completedTotal;
            schedulePump(lock);
            return;
        }
        // An agent that finished after reporting its preemption must not be resumed.
        auto it = std::find_if(paused.begin(), paused.end(), [&](const Parked& p) { return p.run == run; });
        if (it != paused.end()) {
            paused.erase(it);
            ++completedTotal;
        }
    }

    void shutdown() {
        std::vector<RunPtr> orphans;
        std::shared_ptr<EngineDispatching> eng;
        {
            std::lock_guard lock(mutex);
            closed = true;
            orphans.insert(orphans.end(), edfHeap.begin(), edfHeap.end());
            orphans.insert(orphans.end(), rr.begin(), rr.end());
            for (auto& p : paused) orphans.push_back(p.run);
            edfHeap.clear();
            rr.clear();
            paused.clear();
            eng = std::move(engine);
        }
        for (auto& run : orphans) run->end();
    }

    // Callbacks handed to the engine hold the scheduler weakly: the engine
    // may report after the scheduler is gone, and the job must still end.
    EngineDispatching::Callback makeOnPreempt(const RunPtr& run) {
        std::weak_ptr<Core> weak = weak_from_this();
        return [weak, run] {
            if (auto core = weak.lock())
                core->recordPreempt(run);
            else
                run->end();
        };
    }

    EngineDispatching::Callback makeOnDone(const RunPtr& run) {
        std::weak_ptr<Core> weak = weak_from_this();
        return [weak, run] {
            {
                struct Depth {
                    Depth() { ++insideOnDone; }
                    ~Depth() { --insideOnDone; }
                } depth;
                run->end();
            }
            if (auto core = weak.lock()) core->release(run);
        };
    }

    // State; guarded by `mutex` unless constant.
    mutable std::mutex mutex;
    const int64_t slotCount;
    const Context context;
    std::vector<SlotState> slots;
    std::vector<RunPtr> edfHeap; // binary min-heap on deadline: the user lane
    std::deque<RunPtr> rr;       // the background lane, first in, first out
    std::deque<Parked> paused;   // parked agents, oldest first
    std::shared_ptr<EngineDispatching> engine;
    uint32_t nextID = 1;
    int64_t preemptCount = 0;
    int64_t resumeCount = 0;
    std::vector<uint64_t> preemptLatencyNanos;
    int64_t completedTotal = 0;
    int64_t failedTotal = 0;
    bool closed = false;
    bool pumping = false;
    bool pumpAgain = false;
    bool pumpPosted = false;

    int64_t freeCount() const {
        return std::count_if(slots.begin(), slots.end(), [](const SlotState& s) { return !s.run; });
    }

    // Heap order as the swarm console shows it: a job equal to its parent
    // does not rise, and a child replaces its parent only when strictly
    // earlier (the left child on a tie).
    void edfPush(RunPtr run) {
        edfHeap.push_back(std::move(run));
        size_t i = edfHeap.size() - 1;
        while (i > 0) {
            size_t p = (i - 1) / 2;
            if (edfHeap[i]->job.deadline >= edfHeap[p]->job.deadline) break;
            std::swap(edfHeap[i], edfHeap[p]);
            i = p;
        }
    }

    RunPtr edfPop() {
        if (edfHeap.empty()) return nullptr;
        RunPtr top = std::move(edfHeap.front());
        RunPtr last = std::move(edfHeap.back());
        edfHeap.pop_back();
        if (edfHeap.empty()) return top;
        edfHeap.front() = std::move(last);
        size_t c = 0;
        const size_t n = edfHeap.size();
        for (;;) {
            size_t best = c;
            size_t l = 2 * c + 1, r = 2 * c + 2;
            if (l < n && edfHeap[l]->job.deadline < edfHeap[c]->job.deadline) best = l;
            if (r < n && edfHeap[r]->job.deadline < edfHeap[best]->job.deadline) best = r;
            if (best == c) break;
            std::swap(edfHeap[c], edfHeap[best]);
            c = best;
        }
        return top;
    }

private:
    int64_t slotOf(const RunPtr& run) const {
        const int64_t i = run->slot;
        return i >= 0 && i < slotCount && slots[size_t(i)].run == run ? i : -1;
    }

    void occupy(int64_t i, const RunPtr& run, Lane lane, uint64_t at) {
        auto& slot = slots[size_t(i)];
        slot.run = run;
        slot.info.agentID = run->job.agentID;
        slot.info.quantumStart = at;
        slot.info.lane = lane;
        run->slot = i;
    }

    void clearSlot(int64_t i) {
        auto& slot = slots[size_t(i)];
        if (slot.run) slot.run->slot = -1;
        slot.run.reset();
        slot.info.agentID.reset();
        slot.info.lane = Lane::user;
    }

    // Called with the lock held by an engine report: the placement it makes
    // possible runs elsewhere, never inside the engine's callback.
    void schedulePump(std::unique_lock<std::mutex>& lock) {
        if (pumping) {
            pumpAgain = true;
            lock.unlock();
            return;
        }
        if (pumpPosted) {
            lock.unlock();
            return;
        }
        pumpPosted = true;
        lock.unlock();
        std::weak_ptr<Core> weak = weak_from_this();
        post([weak] {
            if (auto core = weak.lock()) {
                {
                    std::lock_guard guard(core->mutex);
                    core->pumpPosted = false;
                }
                core->pump();
            }
        });
    }

    void post(std::function<void()> task) {
        if (context.post)
            context.post(std::move(task));
        else
            WorkerPool::shared().submit(std::move(task));
    }

    // One pass over the slots in index order. Each free slot goes to the
    // earliest-deadline user job, else to the oldest parked agent, else to
    // the next background job: a preemption made for a user job serves that
    // job, and parked agents still come before new background work.
    void placementPass() {
        std::unique_lock lock(mutex);
        if (closed || !engine) return;
        const auto eng = engine;
        for (int64_t i = 0; i < slotCount; ++i) {
            while (!closed && !slots[size_t(i)].run) {
                if (!edfHeap.empty() || paused.empty()) {
                    RunPtr run = edfPop();
                    if (!run && !rr.empty()) {
                        run = std::move(rr.front());
                        rr.pop_front();
                    }
                    if (!run) return;
                    if (!submit(lock, eng, i, run)) return;
                } else {
                    resume(lock, eng, i);
                }
            }
        }
    }

    // Places `run` on slot i and hands it to the engine. False when the
    // engine refused: the job is first in its lane again and the pass ends.
    bool submit(std::unique_lock<std::mutex>& lock, const std::shared_ptr<EngineDispatching>& eng, int64_t i,
                const RunPtr& run) {
        occupy(i, run, run->job.lane, now());
        run->pauseAsked = false;
        lock.unlock();
        const bool accepted = askEngine([&] {
            return eng->submit(run->job.agentID, run->job.prompt, run->job.onToken, makeOnPreempt(run),
                               makeOnDone(run));
        });
        lock.lock();
        if (accepted) return true;
        if (slotOf(run) >= 0) clearSlot(i);
        if (closed) {
            lock.unlock();
            run->end();
            lock.lock();
            return false;
        }
        if (run->job.lane == Lane::background)
            rr.push_front(run);
        else
            edfPush(run);
        return false;
    }

    // Continues the oldest parked agent on slot i. A resumed agent runs in
    // the background lane whatever lane it came from.
    void resume(std::unique_lock<std::mutex>& lock, const std::shared_ptr<EngineDispatching>& eng, int64_t i) {
        Parked parked = std::move(paused.front());
        paused.pop_front();
        const uint64_t at = now();
        occupy(i, parked.run, Lane::background, at);
        lock.unlock();
        const bool accepted = askEngine([&] { return eng->resume(parked.info.agentID); });
        lock.lock();
        if (accepted) {
            ++resumeCount;
            if (preemptLatencyNanos.size() >= 1024)
                preemptLatencyNanos.erase(preemptLatencyNanos.begin(), preemptLatencyNanos.begin() + 256);
            preemptLatencyNanos.push_back(at - parked.info.preemptedAtNanos);
            return;
        }
        // The engine will not continue the agent: end its job so that no
        // submitter waits forever, and keep the slot for other work.
        if (slotOf(parked.run) >= 0) clearSlot(i);
        ++failedTotal;
        lock.unlock();
        parked.run->end();
        lock.lock();
    }
};

AgentScheduler& AgentScheduler::shared() {
    // Never destroyed: the engine it holds lives until the process ends.
    static AgentScheduler* instance = new AgentScheduler(12);
    return *instance;
}

AgentScheduler::AgentScheduler(int64_t slotCount, std::shared_ptr<EngineDispatching> engine)
    : AgentScheduler(slotCount, std::move(engine), Context{}) {}

AgentScheduler::AgentScheduler(int64_t slotCount, std::shared_ptr<EngineDispatching> engine, Context context)
    : core_(std::make_shared<Core>(slotCount, std::move(context))) {
    if (engine) setEngine(std::move(engine));
}

AgentScheduler::~AgentScheduler() { core_->shutdown(); }

void AgentScheduler::setEngine(std::shared_ptr<EngineDispatching> engine) {
    {
        std::lock_guard lock(core_->mutex);
        core_->engine = std::move(engine);
    }
    core_->pump();
}

uint32_t AgentScheduler::mintAgentID() {
    std::lock_guard lock(core_->mutex);
    return core_->nextID++;
}

int64_t AgentScheduler::slotCount() const { return core_->slotCount; }

int64_t AgentScheduler::freeLaneCount() const {
    std::lock_guard lock(core_->mutex);
    return core_->freeCount();
}

int64_t AgentScheduler::pendingCount() const {
    std::lock_guard lock(core_->mutex);
    return int64_t(core_->edfHeap.size() + core_->rr.size());
}

int64_t AgentScheduler::pausedCount() const {
    std::lock_guard lock(core_->mutex);
    return int64_t(core_->paused.size());
}

std::vector<AgentScheduler::ActiveAgent> AgentScheduler::activeAgents() const {
    std::lock_guard lock(core_->mutex);
    std::vector<ActiveAgent> out;
    for (const auto& slot : core_->slots)
        if (slot.run) out.push_back({slot.run->job.agentID, slot.run->job.role, slot.info.lane});
    return out;
}

void AgentScheduler::enqueue(AgentJob job) { core_->enqueue(std::move(job)); }

void AgentScheduler::tick() { core_->pump(); }

void AgentScheduler::yieldIfExhausted() {
    bool waiting;
    {
        std::lock_guard lock(core_->mutex);
        waiting = !core_->edfHeap.empty() || !core_->rr.empty();
    }
    if (!waiting) return;
    if (core_->context.yield)
        core_->context.yield();
    else
        std::this_thread::yield();
}

std::vector<uint32_t> AgentScheduler::runAgent(std::vector<uint32_t> prompt, Lane lane,
                                               uint64_t deadlineFromNowNanos) {
    auto box = std::make_shared<TokenBox>();
    auto result = std::make_shared<std::promise<std::vector<uint32_t>>>();
    auto tokens = result->get_future();

    AgentJob job;
    {
        std::lock_guard lock(core_->mutex);
        job.agentID = core_->nextID++;
        // Saturating: a generous relative deadline must not wrap into an
        // early one and jump ahead of urgent work.
        job.deadline = saturatingAdd(core_->now(), deadlineFromNowNanos);
    }
    job.role = AgentRole::coordinator;
    job.prompt = std::move(prompt);
    job.lane = lane;
    job.onToken = [box](uint32_t token) {
        std::lock_guard lock(box->lock);
        box->tokens.push_back(token);
    };
    job.onDone = [box, result] {
        std::vector<uint32_t> copy;
        {
            std::lock_guard lock(box->lock);
            copy = box->tokens;
        }
        result->set_value(std::move(copy));
    };
    enqueue(std::move(job));
    return tokens.get();
}

AgentScheduler::SchedulerSnapshot AgentScheduler::snapshot() const {
    std::lock_guard lock(core_->mutex);
    const Core& c = *core_;
    SchedulerSnapshot snap;
    snap.takenAtNanos = c.now();
    for (const auto& slot : c.slots) {
        if (!slot.run) continue;
        snap.runningJobs.push_back({slot.run->job.agentID, slot.run->job.role, slot.info.lane, JobSummary::State::running,
                                    slot.info.id, 0, slot.info.quantumStart});
    }
    for (const auto& run : c.edfHeap) {
        if (snap.queuedJobsPreview.size() >= maxPreviewRows) break;
        snap.queuedJobsPreview.push_back({run->job.agentID, run->job.role, Lane::user, JobSummary::State::queuedUser,
                                          std::nullopt, run->job.deadline, 0});
    }
    for (const auto& run : c.rr) {
        if (snap.queuedJobsPreview.size() >= maxPreviewRows) break;
        snap.queuedJobsPreview.push_back({run->job.agentID, run->job.role, Lane::background,
                                          JobSummary::State::queuedBackground, std::nullopt, run->job.deadline, 0});
    }
    snap.laneCount = c.slotCount;
    snap.runningCount = int64_t(snap.runningJobs.size());
    snap.queuedUserCount = int64_t(c.edfHeap.size());
    snap.queuedBackgroundCount = int64_t(c.rr.size());
    snap.pausedCount = int64_t(c.paused.size());
    snap.completedTotal = c.completedTotal;
    snap.failedTotal = c.failedTotal;
    snap.preemptionsTotal = c.preemptCount;
    snap.currentQuantumMicros = quantumNanos / 1000;
    snap.queuedPreviewTruncated =
        std::max<int64_t>(0, snap.queuedUserCount + snap.queuedBackgroundCount - int64_t(snap.queuedJobsPreview.size()));
    return snap;
}

int64_t AgentScheduler::preemptCount() const {
    std::lock_guard lock(core_->mutex);
    return core_->preemptCount;
}

int64_t AgentScheduler::resumeCount() const {
    std::lock_guard lock(core_->mutex);
    return core_->resumeCount;
}

std::vector<uint64_t> AgentScheduler::preemptLatencyNanos() const {
    std::lock_guard lock(core_->mutex);
    return core_->preemptLatencyNanos;
}

int64_t AgentScheduler::completedTotal() const {
    std::lock_guard lock(core_->mutex);
    return core_->completedTotal;
}

int64_t AgentScheduler::failedTotal() const {
    std::lock_guard lock(core_->mutex);
    return core_->failedTotal;
}

void AgentScheduler::resetMultiplexingStats() {
    std::lock_guard lock(core_->mutex);
    core_->preemptCount = 0;
    core_->resumeCount = 0;
    core_->preemptLatencyNanos.clear();
}

} // namespace vivirov
