#include "tests/Scheduler/FakeEngine.h"

#include <algorithm>

namespace vivirov::test {

FakeEngine::FakeEngine(bool streaming) : streaming_(streaming) {}

FakeEngine::~FakeEngine() {
    {
        std::lock_guard lock(mutex_);
        agents_.clear(); // queued steps find nothing left to run
    }
    drain();
}

bool FakeEngine::submit(uint32_t agentID, const std::vector<uint32_t>& prompt, OnToken onToken,
                        Callback onPreempt, Callback onDone) {
    std::lock_guard lock(mutex_);
    if (refuseSubmits_ > 0) {
        --refuseSubmits_;
        calls_.push_back({Call::Kind::submit, agentID, false});
        return false;
    }
    calls_.push_back({Call::Kind::submit, agentID, true});
    agents_[agentID] = Agent{prompt, 0, std::move(onToken), std::move(onPreempt), std::move(onDone), State::running};
    markRunning(agentID);
    return true;
}

bool FakeEngine::pause(uint32_t agentID) {
    std::lock_guard lock(mutex_);
    auto it = agents_.find(agentID);
    bool accepted = it != agents_.end() && it->second.state == State::running;
    if (accepted && streaming_) it->second.state = State::pauseAsked;
    calls_.push_back({Call::Kind::pause, agentID, accepted});
    return accepted;
}

bool FakeEngine::resume(uint32_t agentID) {
    std::lock_guard lock(mutex_);
    auto it = agents_.find(agentID);
    bool accepted = refuseResumes_ == 0 && it != agents_.end() && it->second.state == State::paused;
    if (refuseResumes_ > 0) --refuseResumes_;
    calls_.push_back({Call::Kind::resume, agentID, accepted});
    if (accepted) {
        it->second.state = State::running;
        markRunning(agentID);
    }
    return accepted;
}

void FakeEngine::markRunning(uint32_t agentID) {
    maxRunning_ = std::max(maxRunning_, ++running_);
    if (streaming_) thread_.async([this, agentID] { step(agentID); });
}

void FakeEngine::markStopped() { --running_; }

void FakeEngine::step(uint32_t agentID) {
    std::unique_lock lock(mutex_);
    auto it = agents_.find(agentID);
    if (it == agents_.end()) return;
    Agent& agent = it->second;
    if (agent.state == State::pauseAsked) {
        agent.state = State::paused;
        markStopped();
        Callback onPreempt = agent.onPreempt;
        lock.unlock();
        onPreempt();
        return;
    }
    if (agent.state != State::running) return;
    if (agent.next < agent.tokens.size()) {
        uint32_t token = agent.tokens[agent.next++];
        OnToken onToken = agent.onToken;
        lock.unlock();
        onToken(token);
        thread_.async([this, agentID] { step(agentID); });
        return;
    }
    markStopped();
    Callback onDone = std::move(agent.onDone);
    agents_.erase(it);
    lock.unlock();
    onDone();
}

void FakeEngine::refuseSubmits(int count) {
    std::lock_guard lock(mutex_);
    refuseSubmits_ = count;
}

void FakeEngine::refuseResumes(int count) {
    std::lock_guard lock(mutex_);
    refuseResumes_ = count;
}

void FakeEngine::emit(uint32_t agentID, std::vector<uint32_t> tokens) {
    thread_.async([this, agentID, tokens = std::move(tokens)] {
        OnToken onToken;
        {
            std::lock_guard lock(mutex_);
            auto it = agents_.find(agentID);
            if (it == agents_.end()) return;
            onToken = it->second.onToken;
        }
        for (uint32_t token : tokens) onToken(token);
    });
}

void FakeEngine::finish(uint32_t agentID) {
    thread_.async([this, agentID] {
        Callback onDone;
        {
            std::lock_guard lock(mutex_);
            auto it = agents_.find(agentID);
            if (it == agents_.end()) return;
            if (it->second.state == State::running) markStopped();
            onDone = std::move(it->second.onDone);
            agents_.erase(it);
        }
        onDone();
    });
}

void FakeEngine::preempt(uint32_t agentID) {
    thread_.async([this, agentID] {
        Callback onPreempt;
        {
            std::lock_guard lock(mutex_);
            auto it = agents_.find(agentID);
            if (it == agents_.end() || it->second.state != State::running) return;
            it->second.state = State::paused;
            markStopped();
            onPreempt = it->second.onPreempt;
        }
        onPreempt();
    });
}

void FakeEngine::drain() {
    thread_.sync([] {});
}

std::vector<FakeEngine::Call> FakeEngine::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<uint32_t> FakeEngine::idsOf(Call::Kind kind) const {
    std::lock_guard lock(mutex_);
    std::vector<uint32_t> ids;
    for (const auto& call : calls_)
        if (call.kind == kind && (call.accepted || kind == Call::Kind::pause)) ids.push_back(call.agentID);
    return ids;
}

std::vector<uint32_t> FakeEngine::started() const { return idsOf(Call::Kind::submit); }
std::vector<uint32_t> FakeEngine::paused() const { return idsOf(Call::Kind::pause); }
std::vector<uint32_t> FakeEngine::resumed() const { return idsOf(Call::Kind::resume); }

int FakeEngine::maxRunning() const {
    std::lock_guard lock(mutex_);
    return maxRunning_;
}

} // namespace vivirov::test
