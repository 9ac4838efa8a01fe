#pragma once
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "VivirovKit/Agentic/AgenticUISink.h"
#include "VivirovKit/Providers/ProviderTypes.h"

namespace vivirov {

// Carries one round's streamed deltas to the UI sink on its own thread. The
// provider-side push never waits for the UI (the buffer is unbounded);
// finish() closes the input and waits until every delta has been handled.
class DeltaForwarder {
public:
    explicit DeltaForwarder(std::weak_ptr<AgenticUISink> sink);
    ~DeltaForwarder();
    DeltaForwarder(const DeltaForwarder&) = delete;
    DeltaForwarder& operator=(const DeltaForwarder&) = delete;

    // Callable from any thread.
    void push(const StreamDelta& delta);
    OnDelta input() {
        return [this](const StreamDelta& d) { push(d); };
    }
    void finish();

    // What one delta shows in the UI (exposed for the loop's own use).
    static void deliver(AgenticUISink& sink, const StreamDelta& delta);

private:
    void run();
    std::weak_ptr<AgenticUISink> sink_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<StreamDelta> queue_;
    bool closed_ = false;
    std::thread thread_;
};

} // namespace vivirov
