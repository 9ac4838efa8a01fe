#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "VivirovKit/Scheduler/EngineDispatching.h"
#include "VivirovKit/Support/SerialQueue.h"

namespace vivirov::test {

// An engine for swarm runs, whose jobs are told apart by their prompts. In
// echo mode every job answers its own prompt and ends at once; otherwise a
// job runs until the test completes it. Callbacks arrive on the engine's own
// thread, never under its lock. Pausing is refused: swarm jobs are never
// preempted by one another.
class SwarmEngine : public EngineDispatching {
public:
    using EngineDispatching::submit;
    using Prompt = std::vector<uint32_t>;

    explicit SwarmEngine(bool echo = false) : echo_(echo) {}
    ~SwarmEngine() override { drain(); }

    bool submit(uint32_t, const Prompt& prompt, OnToken onToken, Callback, Callback onDone) override {
        std::lock_guard lock(mutex_);
        started_.push_back(prompt);
        running_[prompt] = Job{std::move(onToken), std::move(onDone)};
        maxRunning_ = std::max(maxRunning_, int(running_.size()));
        if (echo_) complete(prompt, prompt, lock);
        return true;
    }
    bool pause(uint32_t) override { return false; }
    bool resume(uint32_t) override { return false; }

    // Delivers `tokens` to the running job with this prompt, then ends it.
    void complete(const Prompt& prompt, Prompt tokens) {
        std::lock_guard lock(mutex_);
        complete(prompt, std::move(tokens), lock);
    }

    std::vector<Prompt> started() const {
        std::lock_guard lock(mutex_);
        return started_;
    }
    int maxRunning() const {
        std::lock_guard lock(mutex_);
        return maxRunning_;
    }
    void drain() { thread_.sync([] {}); }

private:
    struct Job {
        OnToken onToken;
        Callback onDone;
    };

    void complete(const Prompt& prompt, Prompt tokens, const std::lock_guard<std::mutex>&) {
        auto it = running_.find(prompt);
        if (it == running_.end()) return;
        Job job = std::move(it->second);
        running_.erase(it);
        thread_.async([job = std::move(job), tokens = std::move(tokens)] {
            for (uint32_t token : tokens) job.onToken(token);
            job.onDone();
        });
    }

    const bool echo_;
    mutable std::mutex mutex_;
    std::vector<Prompt> started_;
    std::map<Prompt, Job> running_;
    int maxRunning_ = 0;
    SerialQueue thread_{"swarm-engine"};
};

} // namespace vivirov::test
