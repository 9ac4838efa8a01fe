#pragma once
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

// Qt's `emit` macro would rename the loop's member of that name.
#pragma push_macro("emit")
#undef emit
#include "VivirovKit/Agentic/AgenticLoop.h"
#pragma pop_macro("emit")
#include "VivirovVizivurad/CoWork/Dispatch.h"

namespace vivirov {

class DispatchManager;

// Runs one co-work dispatch through an agent loop, on the job's own thread,
// and keeps the job's entry in the queue's list up to date: its activity
// while the loop works, then its outcome, statistics and artifact. Writes
// nothing into a transcript or the conversation store.
class DispatchRun {
public:
    // Gathered on the GUI thread before the run.
    struct Setup {
        std::shared_ptr<LLMProvider> provider;
        std::shared_ptr<ToolRegistry> registry;
        std::shared_ptr<AgenticPermissionGate> gate;
        CapabilityManifest manifest;
        int maxIterations = 8;
        AgenticLoop::Probes probes;
    };
    // Where the run's results go; each is called on the GUI thread.
    struct Outlets {
        // The queue whose list holds the job, or null once it is gone.
        std::function<DispatchManager*()> manager;
        std::function<void(const AgentEvent&)> feed;
        std::function<void(const std::string& providerID, const TokenUsage&)> accumulate;
    };

    static constexpr double temperature = 0.7;
    static constexpr size_t summaryGraphemes = 320;

    // 25 rounds in god mode, 12 in continuous mode, 8 otherwise.
    static int iterationLimit(bool godMode, bool continuousMode);
    // "Built React", "Built HTML", … for a run that made an artifact.
    static std::string builtActivity(ArtifactKind kind);

    // Blocks until the job has ended; its last write is posted to the GUI
    // thread before this returns. A stop request ends it as cancelled.
    static void run(const Dispatch& dispatch, Setup setup, Outlets outlets, std::stop_token stop);
};

} // namespace vivirov
