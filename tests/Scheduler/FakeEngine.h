#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "VivirovKit/Scheduler/EngineDispatching.h"
#include "VivirovKit/Support/SerialQueue.h"

namespace vivirov::test {

// An engine for scheduler tests. Every callback is delivered on the engine's
// own thread, in the order the engine produced it, never under its lock.
//
// Scripted mode (the default): the test decides when tokens, completions and
// preemptions happen (emit, finish, preempt); pause only records the request.
// Streaming mode: each agent streams its prompt back one token per step,
// steps of all agents interleaved on the engine thread; a pause request turns
// the agent's next step into its preemption, and resume continues where it
// stopped.
class FakeEngine : public EngineDispatching {
public:
    using EngineDispatching::submit;

    struct Call {
        enum class Kind { submit, pause, resume } kind;
        uint32_t agentID = 0;
        bool accepted = false;
    };

    explicit FakeEngine(bool streaming = false);
    ~FakeEngine() override;

    bool submit(uint32_t agentID, const std::vector<uint32_t>& prompt, OnToken onToken, Callback onPreempt,
                Callback onDone) override;
    bool pause(uint32_t agentID) override;
    bool resume(uint32_t agentID) override;

    // Scripted answers.
    void refuseSubmits(int count);
    void refuseResumes(int count);

    // Scripted events of running agents.
    void emit(uint32_t agentID, std::vector<uint32_t> tokens);
    void finish(uint32_t agentID);
    void preempt(uint32_t agentID);

    // Waits until every callback queued so far has been delivered.
    void drain();

    std::vector<Call> calls() const;
    // Agent ids of accepted submits, in order.
    std::vector<uint32_t> started() const;
    std::vector<uint32_t> paused() const;
    std::vector<uint32_t> resumed() const;
    // The most agents the engine ever ran at once.
    int maxRunning() const;

private:
    enum class State { running, pauseAsked, paused, done };
    struct Agent {
        std::vector<uint32_t> tokens;
        size_t next = 0;
        OnToken onToken;
        Callback onPreempt, onDone;
        State state = State::running;
    };
    void step(uint32_t agentID);
    void markRunning(uint32_t agentID); // with the lock held
    void markStopped();               // with the lock held
    std::vector<uint32_t> idsOf(Call::Kind kind) const;

    const bool streaming_;
    mutable std::mutex mutex_;
    std::map<uint32_t, Agent> agents_;
    std::vector<Call> calls_;
    int refuseSubmits_ = 0, refuseResumes_ = 0;
    int running_ = 0, maxRunning_ = 0;
    SerialQueue thread_{"fake-engine"};
};

// Collects posted work and runs it when the test says so.
class ManualExecutor {
public:
    void post(std::function<void()> job) {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    // Runs jobs (and the jobs they post) until none is left; returns how many ran.
    int runAll() {
        int ran = 0;
        for (;;) {
            std::vector<std::function<void()>> batch;
            {
                std::lock_guard lock(mutex_);
                batch.swap(jobs_);
            }
            if (batch.empty()) return ran;
            for (auto& job : batch) job();
            ran += int(batch.size());
        }
    }

private:
    std::mutex mutex_;
    std::vector<std::function<void()>> jobs_;
};

} // namespace vivirov::test
