#include "VivirovKit/Agentic/AgenticLoop.h"

#include <chrono>
#include <condition_variable>
#include <deque>

#include "VivirovKit/Agentic/ContextImportanceTracker.h"
#include "VivirovKit/Agentic/DeltaForwarder.h"
#include "VivirovKit/Agentic/SentinelDaemon.h"
#include "VivirovKit/Agentic/SwapGuard.h"
#include "VivirovKit/Agentic/ToolCallPreview.h"
#include "VivirovKit/Agentic/ToolCallTextForms.h"
#include "VivirovKit/Scheduler/AgentScheduler.h"
#include "VivirovKit/Support/Cancellation.h"
#include "VivirovKit/Support/Clock.h"
#include "VivirovKit/Support/Env.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovKit/Support/WorkerPool.h"

namespace vivirov {

const std::string AgenticLoop::defaultPersona =
    "You are Vivirov, a capable autonomous agent operating on the user's computer. Think step by step. When a task "
    "needs information or action, call the appropriate tool and use its result to continue. Stop only when the task "
    "is genuinely complete, then say so plainly.\n"
    "Never invent specific catalogue data (SKUs, prices, stock counts, order numbers): fetch it with a tool or say "
    "you don't have it — a made-up figure is worse than \"I don't know\".";

const std::string AgenticLoop::toolInstructions =
    "TOOLS — to use one, emit EXACTLY this on its own line, then STOP and wait:\n"
    "<tool_call>{\"tool\":\"web_search\",\"args\":{\"query\":\"latest news on X\"}}</tool_call>\n"
    "You then receive <tool_result>…</tool_result>. Read it, then either call another tool or give your final "
    "answer. Use a tool whenever the task needs live/online data, a file, or an action — never guess such data. "
    "Never write a tool call as prose; emit ONLY the <tool_call> JSON shown above. The \"tool\" must be one of the "
    "tools listed; \"args\" are its parameters.";

namespace {

// The calls of a run already made, as (name, argument signature), oldest
// first. The signature is an unambiguous encoding of the sorted arguments
// and is compared whole, so different calls never count as duplicates.
class SeenCalls {
public:
    bool contains(const ProviderToolCall& call) const {
        auto key = keyOf(call);
        for (const auto& k : seen_)
            if (k == key) return true;
        return false;
    }
    void add(const ProviderToolCall& call) {
        seen_.push_back(keyOf(call));
        if (seen_.size() > 16) seen_.pop_front();
    }

private:
    static std::pair<std::string, std::string> keyOf(const ProviderToolCall& call) {
        std::string signature;
        for (const auto& [k, v] : call.arguments) // std::map: ascending keys
            signature += std::to_string(k.size()) + ":" + k + "=" + std::to_string(v.size()) + ":" + v + ";";
        return {call.name, signature};
    }
    std::deque<std::pair<std::string, std::string>> seen_;
};

// Calls of one round on the tool pool: each pool job takes the next call not
// yet started, so no more calls run at once than the pool has workers (or
// than there are calls). Results land at their call's position. Once the run
// is stopped no further call starts, and the running ones get the stop
// request through their handler's token; the run does not wait for them.
struct RoundCalls {
    std::shared_ptr<ToolRegistry> registry;
    std::vector<ProviderToolCall> calls;
    std::stop_token stop;
    std::mutex mutex;
    std::condition_variable cv;
    size_t next = 0;
    size_t finished = 0;
    std::vector<std::string> results;
    std::vector<int64_t> durationsMs;

    void work() {
        for (;;) {
            size_t index;
            {
                std::lock_guard lock(mutex);
                if (next >= calls.size() || stop.stop_requested()) return;
                index = next++;
            }
            const uint64_t start = Clock::current().uptimeNanos();
            std::string result = registry->dispatch(calls[index], stop);
            const uint64_t end = Clock::current().uptimeNanos();
            {
                std::lock_guard lock(mutex);
                results[index] = std::move(result);
                durationsMs[index] = int64_t((end - start) / 1'000'000);
                ++finished;
            }
            cv.notify_all();
        }
    }
};

std::shared_ptr<RoundCalls> startCalls(WorkerPool& pool, std::shared_ptr<ToolRegistry> registry,
                                       std::vector<ProviderToolCall> calls, std::stop_token stop) {
    auto round = std::make_shared<RoundCalls>();
    round->registry = std::move(registry);
    round->calls = std::move(calls);
    round->stop = std::move(stop);
    round->results.resize(round->calls.size());
    round->durationsMs.resize(round->calls.size());
    const size_t workers = std::min<size_t>(round->calls.size(), pool.size());
    for (size_t i = 0; i < workers; ++i) pool.submit([round] { round->work(); });
    return round;
}

// Waits for every call of the round; false when `cancel` stopped the run.
bool awaitCalls(RoundCalls& round, const std::stop_token& cancel) {
    // Registered before the lock is taken: it runs at once when already stopped.
    std::stop_callback wake(cancel, [&round] {
        std::lock_guard lock(round.mutex);
        round.cv.notify_all();
    });
    std::unique_lock lock(round.mutex);
    round.cv.wait(lock, [&] { return round.finished == round.calls.size() || cancel.stop_requested(); });
    // A handler ended by the stop may finish first; the run is stopped all the same.
    return !cancel.stop_requested();
}

std::string previewOfResult(const std::string& result) {
    std::string preview = ToolCallPreview::activityPreview(result, 240);
    if (text::graphemeCount(preview) > 240) preview = text::graphemePrefix(preview, 240) + "…";
    return preview;
}

} // namespace

struct AgenticLoop::RunState {
    std::vector<ProviderChatMessage> transcript;
    SeenCalls seen;
    int toolCalls = 0;
    std::stop_token cancel;
    // Each run watches its own calls: runs side by side (a chat turn and a
    // co-work job) must not reset or count each other's streaks.
    SentinelDaemon ownSentinel;
    SentinelDaemon* sentinel = &ownSentinel;
};

AgenticLoop::AgenticLoop(std::shared_ptr<LLMProvider> provider, std::shared_ptr<ToolRegistry> registry,
                         std::shared_ptr<AgenticPermissionGate> permission, std::weak_ptr<AgenticUISink> uiSink,
                         int maxIterations, std::string persona, std::vector<std::string> stopPhrases, Probes probes)
    : provider_(std::move(provider)), registry_(std::move(registry)), permission_(std::move(permission)),
      uiSink_(std::move(uiSink)), maxIterations_(std::max(1, maxIterations)), stopPhrases_(std::move(stopPhrases)),
      persona_(std::move(persona)), probes_(std::move(probes)) {}

void AgenticLoop::setActivitySink(AgentActivitySink sink) {
    std::lock_guard lock(sinkMutex_);
    activitySink_ = std::move(sink);
}

void AgenticLoop::emit(const AgentEvent& event) {
    AgentActivitySink sink;
    {
        std::lock_guard lock(sinkMutex_);
        sink = activitySink_;
    }
    if (sink) sink(event);
}

AgenticLoop::Result AgenticLoop::run(const std::string& objective, const std::vector<ProviderChatMessage>& history,
                                     const CapabilityManifest& manifest, double temperature, std::stop_token cancel) {
    Result result;
    if (!provider_->isReady()) {
        emit(AgentEvent::turnFailed("provider not ready"));
        result.stoppedReason = "error: provider not ready";
        return result;
    }

    RunState state;
    state.cancel = cancel;
    state.transcript.push_back(ProviderChatMessage::make(
        ProviderRole::system, persona_ + "\n\n" + manifest.description + "\n\n" + toolInstructions));
    for (const auto& m : history)
        if (m.role != ProviderRole::system) {
            ProviderChatMessage copy = m;
            state.transcript.push_back(std::move(copy));
        }
    state.transcript.push_back(ProviderChatMessage::make(ProviderRole::user, objective));

    const int64_t contextSize = env::integer("VIVIROV_N_CTX").value_or(65536);
    const int64_t budget = int64_t(double(contextSize) * 0.7);

    std::set<std::string> knownTools;
    for (const auto& t : manifest.tools) knownTools.insert(t.name);
    if (probes_.sentinel) state.sentinel = probes_.sentinel;
    SentinelDaemon& watch = *state.sentinel;
    watch.start();
    watch.resetTurn();
    watch.setKnownTools(knownTools);

    auto swapUsed = [&] { return probes_.swapUsedMB ? probes_.swapUsedMB() : SwapGuard::usedMB(); };
    std::string lastText;
    bool autoContinued = false;
    int parseFailures = 0;

    auto finish = [&](std::string text, int iterations, std::string reason, bool failed = false,
                      std::string eventText = {}) {
        if (failed) emit(AgentEvent::turnFailed(eventText));
        else emit(AgentEvent::turnFinished(reason));
        result.finalText = std::move(text);
        result.iterations = iterations;
        result.toolCalls = state.toolCalls;
        result.stoppedReason = std::move(reason);
        return result;
    };

    for (int r = 0; r < maxIterations_; ++r) {
        if (probes_.schedulerYield) probes_.schedulerYield();
        else AgentScheduler::shared().yieldIfExhausted();
        if (cancel.stop_requested()) return finish(lastText, r, "cancelled");

        if (r == 0) {
            if (auto hint = SwapGuard::systemHintIfNeeded(swapUsed())) {
                auto sys = std::find_if(state.transcript.begin(), state.transcript.end(),
                                        [](const ProviderChatMessage& m) { return m.role == ProviderRole::system; });
                if (sys != state.transcript.end()) {
                    *sys = ProviderChatMessage::make(ProviderRole::system, sys->content + "\n\n" + *hint);
                } else {
                    state.transcript.insert(state.transcript.begin(),
                                            ProviderChatMessage::make(ProviderRole::system, *hint));
                }
                emit(AgentEvent::thinking(std::string("swap ") + rawValue(SwapGuard::pressure(swapUsed()))));
            }
        }

        const int64_t estimate = ContextImportanceTracker::estimateTokens(state.transcript);
        if (estimate > budget && state.transcript.size() >= 5) {
            ContextImportanceTracker tracker(std::max<int64_t>(budget, 2048), 3);
            auto trimmed = tracker.trimWithSummary(state.transcript);
            const size_t before = state.transcript.size();
            state.transcript = std::move(trimmed.messages);
            emit(AgentEvent::thinking("context trimmed " + std::to_string(before) + "→" +
                                      std::to_string(state.transcript.size()) + " msgs (~" + std::to_string(estimate) +
                                      "→≤" + std::to_string(budget) + " tok)"));
            if (trimmed.summary) {
                emit(AgentEvent::thinking(*trimmed.summary));
                auto at = state.transcript.empty() ? state.transcript.begin() : state.transcript.begin() + 1;
                state.transcript.insert(at, ProviderChatMessage::make(ProviderRole::user, *trimmed.summary));
                withUISink([&](AgenticUISink& s) { s.surfaceText("\n" + *trimmed.summary + "\n"); });
            }
        }

        if (SentinelDaemon::requiresSnapBreak(watch.checkStall())) {
            state.transcript.push_back(ProviderChatMessage::make(ProviderRole::user, SentinelSnapBreak::userDirective));
            emit(AgentEvent::thinking("sentinel snap-break (stall)"));
        }

        emit(AgentEvent::roundUpdated(r + 1, maxIterations_));

        ProviderResponse response;
        {
            DeltaForwarder forwarder(uiSink_);
            // Streamed text is progress: a long answer is not a stall.
            OnDelta onDelta = [&](const StreamDelta& d) {
                if (std::holds_alternative<StreamDelta::Text>(d.value)) watch.observeText({});
                forwarder.push(d);
            };
            try {
                response = provider_->stream(state.transcript, manifest.tools, temperature, onDelta, cancel);
            } catch (const std::exception& e) {
                forwarder.finish();
                if (cancel.stop_requested()) return finish(lastText, r, "cancelled");
                const std::string description = e.what();
                return finish(lastText, r, "error: " + description, true,
                              ToolCallPreview::activityPreview(description, 240));
            } catch (...) {
                forwarder.finish();
                if (cancel.stop_requested()) return finish(lastText, r, "cancelled");
                return finish(lastText, r, "error: unknown error", true, "unknown error");
            }
            forwarder.finish();
        }

        if (response.usage) {
            result.usage = response.usage;
            TokenUsage total = result.totalUsage.value_or(TokenUsage{});
            total.promptTokens += response.usage->promptTokens;
            total.completionTokens += response.usage->completionTokens;
            result.totalUsage = total;
        }

        if (response.stopReason.kind == StopReason::Kind::length && !autoContinued && r < maxIterations_ - 1 &&
            response.toolCalls.empty()) {
            state.transcript.push_back(ProviderChatMessage::make(ProviderRole::assistant, response.content));
            state.transcript.push_back(ProviderChatMessage::make(
                ProviderRole::user, "(continue — you were cut off by the token limit; finish the answer)"));
            autoContinued = true;
            emit(AgentEvent::thinking("auto-continue after length"));
            lastText = response.content;
            continue;
        }

        const bool nativeMode = !response.toolCalls.empty();
        std::vector<ProviderToolCall> calls =
            nativeMode ? response.toolCalls : ToolCallTextForms::parseTextToolCalls(response.content, knownTools);

        ProviderChatMessage answer = ProviderChatMessage::make(ProviderRole::assistant, response.content);
        if (!calls.empty()) answer.toolCalls = calls;
        state.transcript.push_back(std::move(answer));

        for (const auto& phrase : stopPhrases_) {
            if (!phrase.empty() && text::containsCaseInsensitive(response.content, phrase))
                return finish(response.content, r + 1, "end_turn (stop phrase)");
        }

        if (calls.empty()) {
            if (response.stopReason.kind != StopReason::Kind::toolUse)
                return finish(response.content, r + 1, "end_turn");
            if (++parseFailures >= 3)
                return finish(response.content, r + 1, "parse_failure: 3 consecutive tool parse failures");
            state.transcript.push_back(ProviderChatMessage::make(
                ProviderRole::user,
                "<tool_result tool=\"_parse\">error: tool_use signalled but no parseable <tool_call> JSON found. "
                "Re-emit EXACTLY: <tool_call>{\"tool\":\"NAME\",\"args\":{…}}</tool_call></tool_result>"));
        } else {
            if (runToolRound(state, calls, !nativeMode) == RoundEnd::cancelled)
                return finish(response.content, r, "cancelled");
            parseFailures = 0;
        }

        if (r == maxIterations_ - 1)
            return finish(response.content, maxIterations_,
                          "budget (max " + std::to_string(maxIterations_) + " iterations)");
        lastText = response.content;
    }
    return result; // not reached: the last round always returns
}

AgenticLoop::RoundEnd AgenticLoop::runToolRound(RunState& state, const std::vector<ProviderToolCall>& calls,
                                                bool textMode) {
    const bool parallelAllowed =
        SwapGuard::allowParallelTools(probes_.swapUsedMB ? probes_.swapUsedMB() : SwapGuard::usedMB());
    auto answer = [&](const ProviderToolCall& call, const std::string& content) {
        ToolCallTextForms::appendObservation(state.transcript, textMode, call, content);
    };

    std::vector<ProviderToolCall> approved;
    for (const auto& call : calls) {
        if (state.cancel.stop_requested()) return RoundEnd::cancelled;
        if (state.seen.contains(call)) {
            answer(call, "duplicate: same tool+args already called this turn. Use the previous result or change "
                         "arguments.");
            ++state.toolCalls;
            emit(AgentEvent::thinking("skipped duplicate " + call.name));
            continue;
        }
        state.seen.add(call);
        const std::string display = ToolRegistry::displayName(call.name);
        emit(AgentEvent::toolCallStarted(call.id, display, ToolCallPreview::argsPreview(call)));
        withUISink([&](AgenticUISink& s) { s.surfaceToolStart(display); });
        const bool allowed = permission_->approve(call, state.cancel);
        if (state.cancel.stop_requested()) return RoundEnd::cancelled;
        if (!allowed) {
            answer(call, "error: the user denied this tool call.");
            ++state.toolCalls;
            emit(AgentEvent::toolCallFinished(call.id, false, 0, "Denied by the user via the permission gate"));
            emit(AgentEvent::thinking("drafting…"));
            withUISink([&](AgenticUISink& s) { s.surfaceToolResult(display, "error: the user denied this tool call."); });
            continue;
        }
        approved.push_back(call);
    }
    if (approved.empty()) return RoundEnd::next;

    const bool parallel = approved.size() >= 2 && parallelAllowed;
    auto handle = [&](const ProviderToolCall& call, const std::string& result, int64_t durationMs) {
        answer(call, result);
        ++state.toolCalls;
        if (SentinelDaemon::requiresSnapBreak(state.sentinel->observeTool(call.name, call.arguments, result))) {
            answer(call, std::string(SentinelSnapBreak::token) + "\n" + SentinelSnapBreak::userDirective);
            emit(AgentEvent::thinking("sentinel snap-break"));
        }
        const bool ok = !text::startsWith(result, "error:");
        emit(AgentEvent::toolCallFinished(call.id, ok, durationMs, previewOfResult(result)));
        if (!parallel) emit(AgentEvent::thinking("drafting…"));
        withUISink([&](AgenticUISink& s) { s.surfaceToolResult(ToolRegistry::displayName(call.name), result); });
    };

    WorkerPool& pool = probes_.toolPool ? *probes_.toolPool : WorkerPool::shared();
    if (!parallel) {
        for (const auto& call : approved) {
            auto round = startCalls(pool, registry_, {call}, state.cancel);
            if (!awaitCalls(*round, state.cancel)) return RoundEnd::cancelled;
            handle(call, round->results[0], round->durationsMs[0]);
        }
        return RoundEnd::next;
    }

    emit(AgentEvent::thinking(std::to_string(approved.size()) + " tools in parallel…"));
    auto round = startCalls(pool, registry_, approved, state.cancel);
    if (!awaitCalls(*round, state.cancel)) return RoundEnd::cancelled;
    // Results pair with their calls by position: two calls may share an id.
    for (size_t i = 0; i < approved.size(); ++i) handle(approved[i], round->results[i], round->durationsMs[i]);
    emit(AgentEvent::thinking("drafting…"));
    return RoundEnd::next;
}

} // namespace vivirov
