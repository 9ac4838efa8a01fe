#pragma once
// Records what an engine hands back (hook results and pieces) and gates its
// decode steps, so a test can hold the pump inside a step while it queues
// commands, then release it.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/include/vm_engine_v2.h"
#include "engine/vm_v2/engine_wrapper.h"
#include "tests/support/WaitUntil.h"

namespace vivirov::test {

struct HookEvent {
    uint32_t agent;
    int32_t token;
    bool final;
    int tag;
};

struct PieceEvent {
    uint32_t agent;
    std::string text;
    bool final;
};

class Recorder {
public:
    // The context of one request: its tag tells same-agent requests apart.
    struct Request {
        Recorder* rec;
        int tag;
    };

    Request* request(int tag) {
        std::lock_guard lock(mu_);
        requests_.push_back(std::make_unique<Request>(Request{this, tag}));
        return requests_.back().get();
    }

    static void hook(uint32_t agent, int32_t token, bool final, void* ctx) {
        auto* r = static_cast<Request*>(ctx);
        std::lock_guard lock(r->rec->mu_);
        r->rec->hooks_.push_back({agent, token, final, r->tag});
    }

    static void piece(uint32_t agent, const char* bytes, uint32_t len, bool final, void* user) {
        auto* self = static_cast<Recorder*>(user);
        std::lock_guard lock(self->mu_);
        self->pieces_.push_back({agent, std::string(bytes, len), final});
    }

    std::vector<HookEvent> hooks() const {
        std::lock_guard lock(mu_);
        return hooks_;
    }
    std::vector<PieceEvent> pieces() const {
        std::lock_guard lock(mu_);
        return pieces_;
    }
    std::vector<HookEvent> hooksOf(int tag) const {
        std::vector<HookEvent> out;
        for (const auto& e : hooks())
            if (e.tag == tag) out.push_back(e);
        return out;
    }
    size_t finals() const {
        size_t n = 0;
        for (const auto& e : hooks()) n += e.final ? 1 : 0;
        return n;
    }
    // Generous: the race-detector build runs a DeepSeek-V4 step many times slower.
    bool waitForFinals(size_t n, std::chrono::milliseconds limit = std::chrono::minutes(2)) const {
        return waitUntil([&] { return finals() >= n; }, limit);
    }

private:
    mutable std::mutex mu_;
    std::vector<HookEvent> hooks_;
    std::vector<PieceEvent> pieces_;
    std::vector<std::unique_ptr<Request>> requests_;
};

// The pump's step seam: waits for a permit (unlimited unless closed), then
// runs the engine's own CPU step, or throws when a fault is armed.
class StepGate {
public:
    explicit StepGate(EngineWrapper* w) : w_(w) { w->engine.set_step_hook_for_testing(&StepGate::step, this); }

    void close() {
        std::lock_guard lock(mu_);
        permits_ = 0;
    }
    void open() {
        std::lock_guard lock(mu_);
        permits_ = -1;
        cv_.notify_all();
    }
    void allow(int n) {
        std::lock_guard lock(mu_);
        permits_ = std::max(permits_, 0) + n;
        cv_.notify_all();
    }
    // The step that throws: the n-th from now (1 = the next one).
    void failAfter(int n) {
        std::lock_guard lock(mu_);
        failIn_ = n;
    }
    // Replaces the model's answer with a fixed token.
    void answer(int32_t token) {
        std::lock_guard lock(mu_);
        answer_ = token;
    }
    bool waitForWaiter() {
        return waitUntil([&] {
            std::lock_guard lock(mu_);
            return waiting_ > 0;
        });
    }
    int steps() const {
        std::lock_guard lock(mu_);
        return steps_;
    }

private:
    static int32_t step(void* ctx, VMEngineV2::ActiveSequence& s) {
        auto* g = static_cast<StepGate*>(ctx);
        int32_t answer;
        {
            std::unique_lock lock(g->mu_);
            ++g->waiting_;
            g->cv_.wait(lock, [&] { return g->permits_ != 0; });
            --g->waiting_;
            if (g->permits_ > 0) --g->permits_;
            ++g->steps_;
            if (g->failIn_ > 0 && --g->failIn_ == 0) throw std::runtime_error("injected step fault");
            answer = g->answer_;
        }
        return answer >= 0 ? answer : g->w_->engine.forward_one_cpu(s);
    }

    EngineWrapper* w_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    int permits_ = -1;
    int waiting_ = 0;
    int failIn_ = 0;
    int steps_ = 0;
    int32_t answer_ = -1;
};

} // namespace vivirov::test
