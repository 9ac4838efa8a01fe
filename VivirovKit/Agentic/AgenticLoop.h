#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

#include "VivirovKit/Agentic/AgentEvent.h"
#include "VivirovKit/Agentic/AgenticSwarm.h"
#include "VivirovKit/Agentic/AgenticPermissionGate.h"
#include "VivirovKit/Agentic/AgenticUISink.h"
#include "VivirovKit/Providers/ProviderTypes.h"
#include "VivirovKit/Tools/CapabilityManifest.h"
#include "VivirovKit/Tools/ToolRegistry.h"

namespace vivirov {

class SentinelDaemon;
class WorkerPool;

// What a run reads of the machine; tests replace it.
struct AgenticLoopProbes {
    std::function<std::optional<double>()> swapUsedMB; // default: SwapGuard::usedMB
    SentinelDaemon* sentinel = nullptr;                // default: a new one for each run
    std::function<void()> schedulerYield;              // default: AgentScheduler::shared().yieldIfExhausted()
    // Where approved tool calls run, never more at once than its workers.
    // Handlers must not wait for work they queue on this same pool.
    WorkerPool* toolPool = nullptr;                    // default: WorkerPool::shared()
};

// Runs one objective as a series of model rounds: stream an answer, find its
// tool calls, ask the permission gate, run the calls, feed the results back,
// until an answer without calls, a stop phrase, the round limit, repeated
// unparseable tool use, cancellation or a provider failure. Never throws.
class AgenticLoop {
public:
    struct Result {
        std::string finalText;
        int iterations = 0;
        int toolCalls = 0;
        std::string stoppedReason;
        // The usage of the latest round that reported one.
        std::optional<TokenUsage> usage;
        // The sum over every round that reported usage: what the run cost.
        std::optional<TokenUsage> totalUsage;
    };

    using Probes = AgenticLoopProbes;

    static const std::string defaultPersona;
    static const std::string toolInstructions;

    AgenticLoop(std::shared_ptr<LLMProvider> provider, std::shared_ptr<ToolRegistry> registry,
                std::shared_ptr<AgenticPermissionGate> permission, std::weak_ptr<AgenticUISink> uiSink,
                int maxIterations, std::string persona, std::vector<std::string> stopPhrases, Probes probes = {});

    void setActivitySink(AgentActivitySink sink);

    // Runs the variants as scheduler jobs and reduces their outputs.
    static SwarmResult runSwarm(const std::vector<std::string>& variants, ConsensusStrategy consensus, int64_t maxAgents) {
        return AgenticSwarm::runSwarm(variants, consensus, maxAgents);
    }
    int maxIterations() const { return maxIterations_; }

    // Blocks until the run ends; `cancel` ends it promptly with "cancelled",
    // also while the provider streams, the gate waits or tools run.
    Result run(const std::string& objective, const std::vector<ProviderChatMessage>& history,
               const CapabilityManifest& manifest, double temperature, std::stop_token cancel = {});

private:
    struct RunState;
    enum class RoundEnd { next, cancelled };

    void emit(const AgentEvent& event);
    template <class F>
    void withUISink(F&& f) {
        if (auto sink = uiSink_.lock()) f(*sink);
    }
    RoundEnd runToolRound(RunState& state, const std::vector<ProviderToolCall>& calls, bool textMode);

    const std::shared_ptr<LLMProvider> provider_;
    const std::shared_ptr<ToolRegistry> registry_;
    const std::shared_ptr<AgenticPermissionGate> permission_;
    const std::weak_ptr<AgenticUISink> uiSink_;
    const int maxIterations_;
    const std::vector<std::string> stopPhrases_;
    const std::string persona_;
    const Probes probes_;
    std::mutex sinkMutex_;
    AgentActivitySink activitySink_;
};

} // namespace vivirov
