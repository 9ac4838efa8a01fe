#pragma once
// A test double of LLMProvider that plays a list of scripted turns and
// records what it was sent.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "VivirovKit/Providers/ProviderTypes.h"
#include "VivirovKit/Support/Cancellation.h"
#include "VivirovKit/Support/Clock.h"

namespace vivirov::test {

struct ScriptedTurn {
    std::vector<std::string> textPieces;   // streamed as text deltas before returning
    std::string content;                   // defaults to the joined pieces when empty
    std::vector<ProviderToolCall> toolCalls;
    StopReason stopReason = StopReason::endTurn();
    std::optional<TokenUsage> usage;
    std::optional<LLMProviderError> failure; // thrown after the pieces
    bool hangUntilCancelled = false;          // streams the pieces, then waits for cancellation

    static ScriptedTurn text(std::string s, StopReason stop = StopReason::endTurn()) {
        ScriptedTurn t;
        t.textPieces = {s};
        t.stopReason = stop;
        return t;
    }
    static ScriptedTurn calls(std::vector<ProviderToolCall> c) {
        ScriptedTurn t;
        t.toolCalls = std::move(c);
        t.stopReason = StopReason::toolUse();
        return t;
    }
};

class ScriptedProvider : public LLMProvider {
public:
    explicit ScriptedProvider(std::vector<ScriptedTurn> turns, bool ready = true)
        : turns_(turns.begin(), turns.end()), ready_(ready) {}

    std::string id() const override { return "scripted"; }
    std::string displayName() const override { return "Scripted"; }
    bool isReady() const override { return ready_; }
    bool supportsVision() const override { return false; }
    std::optional<std::string> apiKey() const override { return std::nullopt; }
    void setApiKey(std::optional<std::string>) override {}
    std::string model() const override { return "scripted-model"; }
    void setModel(std::string) override {}

    ProviderResponse stream(const std::vector<ProviderChatMessage>& messages, const std::vector<ToolSchema>& tools,
                            double, const OnDelta& onDelta, std::stop_token cancel) override {
        ScriptedTurn turn;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(messages);
            offeredTools_ = tools;
            if (turns_.empty()) throw LLMProviderError::transport("script exhausted");
            turn = turns_.front();
            turns_.pop_front();
        }
        std::string joined;
        for (const auto& piece : turn.textPieces) {
            onDelta(StreamDelta::text(piece));
            joined += piece;
        }
        if (turn.hangUntilCancelled) {
            cancellableSleep(std::chrono::hours(1), cancel);
            throw CancellationError();
        }
        if (turn.failure) throw *turn.failure;
        ProviderResponse r;
        r.content = turn.content.empty() ? joined : turn.content;
        r.toolCalls = turn.toolCalls;
        r.stopReason = turn.stopReason;
        r.usage = turn.usage;
        return r;
    }

    std::vector<std::vector<ProviderChatMessage>> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    size_t callCount() const { return requests().size(); }

private:
    mutable std::mutex mutex_;
    std::deque<ScriptedTurn> turns_;
    bool ready_;
    std::vector<std::vector<ProviderChatMessage>> requests_;
    std::vector<ToolSchema> offeredTools_;
};

} // namespace vivirov::test
