#pragma once
#include <cstdint>
#include <functional>
#include <vector>

namespace vivirov {

// The scheduler's view of an inference engine that runs several agents at
// once. Every callback may be called from any of the engine's threads.
class EngineDispatching {
public:
    using OnToken = std::function<void(uint32_t)>;
    using Callback = std::function<void()>;

    virtual ~EngineDispatching() = default;

    // Starts an agent on `prompt`. True when the engine accepted it; then it
    // reports each generated token through onToken, onPreempt whenever it
    // pauses the agent (see pause), and onDone once when the agent ends. A
    // refused agent gets no callback.
    virtual bool submit(uint32_t agentID, const std::vector<uint32_t>& prompt, OnToken onToken,
                        Callback onPreempt, Callback onDone) = 0;
    // Asks the engine to preempt a running agent; the engine reports it later
    // through that agent's onPreempt.
    virtual bool pause(uint32_t agentID) = 0;
    // Continues a paused agent with the callbacks given at submit. True when
    // the engine accepted the request.
    virtual bool resume(uint32_t agentID) = 0;

    // For callers that never resume agents: a preemption is reported as
    // completion. (An implementation that overrides the five-argument form
    // brings this one back into scope with `using EngineDispatching::submit;`.)
    bool submit(uint32_t agentID, const std::vector<uint32_t>& prompt, OnToken onToken, Callback onDone) {
        Callback onPreempt = onDone;
        return submit(agentID, prompt, std::move(onToken), std::move(onPreempt), std::move(onDone));
    }
};

} // namespace vivirov
