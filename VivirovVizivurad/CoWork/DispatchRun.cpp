#include "VivirovVizivurad/CoWork/DispatchRun.h"

#include <mutex>

#include "VivirovKit/Support/Clock.h"
#include "VivirovKit/Support/Log.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovVizivurad/Chat/AgenticUISinkBox.h"
#include "VivirovVizivurad/Chat/GuiThread.h"
#include "VivirovVizivurad/CoWork/DispatchManager.h"

namespace vivirov {

namespace {

using Change = std::function<void(Dispatch&)>;

void postUpdate(const DispatchRun::Outlets& outlets, const UUID& id, Change change) {
    postToGui([manager = outlets.manager, id, change = std::move(change)] {
        if (auto* queue = manager()) queue->update(id, change);
    });
}

void postEvent(const DispatchRun::Outlets& outlets, AgentEvent event) {
    postToGui([feed = outlets.feed, event = std::move(event)] { feed(event); });
}

} // namespace

int DispatchRun::iterationLimit(bool godMode, bool continuousMode) {
    if (godMode) return 25;
    if (continuousMode) return 12;
    return 8;
}

std::string DispatchRun::builtActivity(ArtifactKind kind) { return std::string("Built ") + displayName(kind); }

void DispatchRun::run(const Dispatch& dispatch, Setup setup, Outlets outlets, std::stop_token stop) {
    const UUID id = dispatch.id;
    auto& provider = setup.provider;
    if (!provider->isReady()) {
        postUpdate(outlets, id, [summary = provider->displayName() +
                                           " isn't ready \xE2\x80\x94 boot the local engine or set a key in the Vault."](
                                    Dispatch& job) {
            job.status = Dispatch::Status::failed;
            job.activity = "Engine not ready";
            job.summary = summary;
            job.finishedAt = Clock::current().wallSeconds();
        });
        return;
    }

    auto buffer = std::make_shared<DispatchTextBuffer>();
    auto sink = std::make_shared<AgenticUISinkBox>(
        [buffer](const std::string& text) {
            std::lock_guard lock(buffer->lock);
            buffer->text += text;
        },
        [outlets, id](const std::string& name) {
            postUpdate(outlets, id, [name](Dispatch& job) {
                job.activity = "Running " + name;
                ++job.toolCalls;
            });
        },
        [outlets, id](const std::string&, const std::string&) {
            postUpdate(outlets, id, [](Dispatch& job) { job.activity = "Reasoning"; });
        });
    AgenticLoop loop(provider, setup.registry, setup.gate, sink, setup.maxIterations, AgenticLoop::defaultPersona,
                     {"TASK COMPLETE", "DONE."}, setup.probes);
    postEvent(outlets, AgentEvent{AgentEvent::TurnStarted{provider->displayName(), "Dispatch"}});
    loop.setActivitySink([outlets](const AgentEvent& event) { postEvent(outlets, event); });
    postUpdate(outlets, id, [](Dispatch& job) { job.activity = "Reasoning"; });

    const auto result = loop.run(dispatch.objective, {}, setup.manifest, temperature, stop);

    if (result.usage)
        postToGui([accumulate = outlets.accumulate, providerID = provider->id(), usage = *result.usage] {
            accumulate(providerID, usage);
        });
    const bool cancelled = stop.stop_requested() || result.stoppedReason == "cancelled";
    std::string text = result.finalText;
    if (text.empty()) {
        std::lock_guard lock(buffer->lock);
        text = buffer->text;
    }
    auto artifact = ArtifactEngine::current(text, false);

    postUpdate(outlets, id, [result, cancelled, text, artifact](Dispatch& job) {
        job.iterations = result.iterations;
        job.toolCalls = std::max<int64_t>(job.toolCalls, result.toolCalls);
        job.finishedAt = Clock::current().wallSeconds();
        job.fullResponse = text;
        job.artifact = artifact;
        if (cancelled) {
            job.status = Dispatch::Status::cancelled;
            job.activity = "Cancelled";
        } else if (text::startsWith(result.stoppedReason, "error")) {
            job.status = Dispatch::Status::failed;
            job.activity = "Failed";
            job.summary = result.stoppedReason;
        } else {
            job.status = Dispatch::Status::completed;
            job.activity = artifact ? builtActivity(artifact->kind) : "Completed";
            job.summary = text.empty() ? result.stoppedReason : text::graphemePrefix(text, summaryGraphemes);
        }
    });
    // The level-change haptic has no counterpart on this platform.
    logLine("[vivirov] DISPATCH[" + dispatch.id.string().substr(0, 8) + "] " + result.stoppedReason + " \xC2\xB7 " +
            std::to_string(result.iterations) + " iters \xC2\xB7 " + std::to_string(result.toolCalls) +
            " tools \xC2\xB7 artifact=" + (artifact ? rawValue(artifact->kind) : "none"));
}

} // namespace vivirov
