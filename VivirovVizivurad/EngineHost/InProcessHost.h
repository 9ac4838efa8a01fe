#pragma once
#include <functional>
#include <string>

namespace vivirov {

// What the chat controller needs of the first-generation engine host: it
// loads a model file off the GUI thread and reports its status from its own
// thread. Tests put a fake in its place.
class InProcessHost {
public:
    using StatusCallback = std::function<void(const std::string&)>;
    virtual ~InProcessHost() = default;

    // The model file `start` loads.
    virtual std::string modelPath() const = 0;
    // Installed by the controller; called from the host's own thread.
    virtual void setOnEntropy(std::function<void(float)> onEntropy) = 0;
    // Both return at once; `onStatus` runs on the host's thread.
    virtual void start(StatusCallback onStatus) = 0;
    virtual void swap(const std::string& path, StatusCallback onStatus) = 0;
    // Drops the engine, waiting a bounded time.
    virtual void shutdownForTermination() = 0;
};

} // namespace vivirov
