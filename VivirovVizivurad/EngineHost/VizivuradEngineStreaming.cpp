// In-process chat streaming and agent job submission of the engine host.
#include <QPointer>

#include <algorithm>
#include <numeric>

#include "VivirovKit/Support/Clock.h"
#include "VivirovKit/Support/Log.h"
#include "VivirovVizivurad/EngineHost/ClockTimer.h"
#include "VivirovVizivurad/EngineHost/CognitiveYieldController.h"
#include "VivirovVizivurad/EngineHost/GuiThread.h"
#include "VivirovVizivurad/EngineHost/TokenRingBuffer.h"
#include "VivirovVizivurad/EngineHost/TokenThrottle.h"
#include "VivirovVizivurad/EngineHost/VMEngineGateway.h"
#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"

namespace vivirov {

namespace {

constexpr int kChatMaxTokens = 48;
constexpr uint64_t kEndGraceNanos = 33'333'334; // two frames for the drain's last pass
constexpr uint64_t kUserDeadlineNanos = 1'000'000'000;
constexpr uint64_t kBackgroundDeadlineNanos = 10'000'000'000;

std::string joined(const std::vector<std::string>& pieces) {
    std::string out;
    for (const auto& p : pieces) out += p;
    return out;
}

} // namespace

// One stream's objects, shared by the generating thread and the GUI drain.
struct VizivuradEngine::ChatStream {
    ChatStream(int capacity, std::function<void(const std::string&)> onPiece, ClockTimer& timer)
        : ring(capacity), onPiece(std::move(onPiece)), drain(timer) {}

    TokenRingBuffer<std::string> ring;
    std::function<void(const std::string&)> onPiece; // GUI thread
    std::mutex doneLock;
    bool done = false;         // the generation has returned and its tail is in the ring
    bool ended = false;        // GUI thread: the drain made its last pass (or was cut short)
    std::stop_source drainEnd; // wakes the generating thread's grace wait
    GuiClockTicker drain;      // GUI thread

    bool isDone() {
        std::lock_guard lock(doneLock);
        return done;
    }
    // One drain on the GUI thread: at most one onPiece call. The flag is read
    // first, so a drain that sees it set has everything.
    void drainOnce() {
        const bool last = isDone();
        const std::vector<std::string> pieces = ring.drainAll();
        if (!pieces.empty() && onPiece) onPiece(joined(pieces));
        if (!last) return;
        end();
    }
    void end() {
        ended = true;
        drain.stop();
        drainEnd.request_stop();
    }
};

std::string VizivuradEngine::streamChatText(const std::string& prompt,
                                            const std::function<void(const std::string&)>& onPiece,
                                            std::stop_token cancel) {
    if (!gateway()) bootstrapAndWait(std::nullopt);
    auto gw = gateway();
    if (!gw || !gw->isReady()) {
        logLine("[vizivurad-engine] streamChatText: engine not ready");
        runOnGuiThread([this] { setGenerationPhase(GenerationPhase::error); });
        return {};
    }

    auto stream = std::make_shared<ChatStream>(services_.chatRingCapacity, onPiece, timer());
    runOnGuiThread([this, stream] {
        setGenerationPhase(GenerationPhase::thinking);
        stream->drain.start(uiFrameNanos, [stream] { stream->drainOnce(); }, GuiClockTicker::Pacing::afterEachTick);
        setGenerationPhase(GenerationPhase::generating);
    });

    // Pieces within one frame are joined into one ring entry.
    std::weak_ptr<ChatStream> weak = stream;
    TokenThrottle::TextThrottle throttle = TokenThrottle::wrapStringWithFlush(
        [weak](const std::string& text) {
            if (auto s = weak.lock()) s->ring.push(text);
        },
        uiFrameNanos, timer());
    std::stop_callback stopEngine(cancel, [gw] { gw->requestStop(); });
    const std::string text = gw->generateText(prompt, kChatMaxTokens, [&](const std::string& piece) {
        // A stop asked for before the engine's chat call began is repeated here.
        if (cancel.stop_requested()) gw->requestStop();
        throttle.push(piece);
    });
    throttle.flush();
    {
        std::lock_guard lock(stream->doneLock);
        stream->done = true;
    }
    if (!onGuiThread()) clock().sleepFor(kEndGraceNanos, stream->drainEnd.get_token());

    // Whatever the drain has not delivered yet (a busy GUI thread) is
    // delivered now, before the text is returned.
    runOnGuiThread([this, stream] {
        if (!stream->ended) {
            const std::vector<std::string> pieces = stream->ring.drainAll();
            if (!pieces.empty() && stream->onPiece) stream->onPiece(joined(pieces));
            stream->end();
        }
        stream->onPiece = nullptr;
        refreshMatrixStats();
        setGenerationPhase(GenerationPhase::idle);
    });
    if (const int dropped = stream->ring.droppedCount(); dropped >= 1)
        logLine("[vizivurad-engine] PHASE7 ring dropped=" + std::to_string(dropped) + " (raise capacity if chronic)");
    return text;
}

// MARK: agent jobs

void VizivuradEngine::submitJob(std::vector<uint32_t> prompt, std::function<void(uint32_t)> onToken,
                                std::function<void()> onDone, AgentScheduler::Lane lane, uint64_t deadlineNanos,
                                uint64_t throttleNanos) {
    AgentScheduler& sched = scheduler();
    AgentScheduler::AgentJob job;
    job.agentID = sched.mintAgentID();
    job.role = AgentScheduler::AgentRole::coordinator;
    job.prompt = std::move(prompt);
    job.deadline = clock().uptimeNanos() + deadlineNanos;
    job.lane = lane;
    // The held token reaches the caller before the job's end does.
    TokenThrottle::TokenThrottleSink throttle = TokenThrottle::wrapWithFlush(std::move(onToken), throttleNanos, timer());
    job.onToken = std::move(throttle.push);
    job.onDone = [flush = std::move(throttle.flush), onDone = std::move(onDone)] {
        flush();
        if (onDone) onDone();
    };
    sched.enqueue(std::move(job));
}

void VizivuradEngine::submitUser(std::vector<uint32_t> prompt, std::function<void(uint32_t)> onToken,
                                 std::function<void()> onDone) {
    submitJob(std::move(prompt), std::move(onToken), std::move(onDone), AgentScheduler::Lane::user,
              kUserDeadlineNanos, uiFrameNanos);
    QPointer<VizivuradEngine> self(this);
    runOnGuiThread([&] { yield().noteUserActivity(); });
    // The yield is not waited for.
    postToGuiThread([self] {
        if (self) self->yield().signalInterrupt();
    });
}

void VizivuradEngine::submitBackground(std::vector<uint32_t> prompt, std::function<void(uint32_t)> onToken,
                                       std::function<void()> onDone) {
    submitJob(std::move(prompt), std::move(onToken), std::move(onDone), AgentScheduler::Lane::background,
              kBackgroundDeadlineNanos, TokenThrottle::kBackgroundNanos);
}

// MARK: multiplexing figures

std::optional<double> VizivuradEngine::MultiplexingStats::meanPreemptLatencyMs() const {
    if (preemptLatencyNanos.empty()) return std::nullopt;
    const uint64_t sum = std::accumulate(preemptLatencyNanos.begin(), preemptLatencyNanos.end(), uint64_t(0));
    return double(sum) / double(preemptLatencyNanos.size()) / 1e6;
}

std::optional<double> VizivuradEngine::MultiplexingStats::p95PreemptLatencyMs() const {
    const size_t n = preemptLatencyNanos.size();
    if (n == 0) return std::nullopt;
    if (n < 20) return meanPreemptLatencyMs();
    std::vector<uint64_t> sorted = preemptLatencyNanos;
    std::sort(sorted.begin(), sorted.end());
    const size_t index = std::min(n - 1, size_t(double(n) * 0.95));
    return double(sorted[index]) / 1e6;
}

VizivuradEngine::MultiplexingStats VizivuradEngine::multiplexingStats() const {
    AgentScheduler& sched = scheduler();
    MultiplexingStats stats;
    stats.preemptCount = sched.preemptCount();
    stats.resumeCount = sched.resumeCount();
    stats.pausedNow = sched.pausedCount();
    stats.freeLanes = sched.freeLaneCount();
    stats.pending = sched.pendingCount();
    stats.preemptLatencyNanos = sched.preemptLatencyNanos();
    return stats;
}

std::vector<AgentScheduler::ActiveAgent> VizivuradEngine::activeAgents() const { return scheduler().activeAgents(); }

void VizivuradEngine::resetMultiplexingStats() { scheduler().resetMultiplexingStats(); }

int VizivuradEngine::forwardSwarm(const std::vector<uint32_t>& agentIDs) {
    auto gw = gateway();
    return gw ? gw->forwardSwarm(agentIDs) : -1;
}

int VizivuradEngine::forwardVerifyDraft(uint32_t agentID, const std::vector<uint32_t>& draftTokens,
                                        int& acceptedOut) {
    auto gw = gateway();
    return gw ? gw->forwardVerifyDraft(agentID, draftTokens, acceptedOut) : -1;
}

} // namespace vivirov
