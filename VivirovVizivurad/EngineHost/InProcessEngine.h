#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "VivirovVizivurad/EngineHost/InProcessHost.h"

namespace vivirov {

class SerialQueue;

// Hosts the first-generation engine for the chat controller: chooses the
// model file when constructed, loads and swaps engines on its own serial
// queue "com.dudive.vivirov.inproc-io", and lets the engine go at quit
// through the teardown registry, waiting at most 1.5 s on the clock. Neither
// quitting nor destroying the host ever waits for a load that hangs.
class InProcessEngine final : public InProcessHost {
public:
    static constexpr uint64_t kTeardownWaitNanos = 1'500'000'000;
    // The development build's model; chosen when it exists and nothing else is asked for.
    static const char* const builtInModelPath;

    // Runs the model-path choice on the constructing thread (it may walk folders).
    InProcessEngine();
    ~InProcessEngine() override;
    InProcessEngine(const InProcessEngine&) = delete;
    InProcessEngine& operator=(const InProcessEngine&) = delete;

    std::string modelPath() const override;
    void setOnEntropy(std::function<void(float)> onEntropy) override;
    // Reports "ready", "Derevududuv engine failed to load" or
    // "model GGUF not found — set QUINTORA_MODEL_PATH" once, on the queue.
    void start(StatusCallback onStatus) override;
    // Reports "model GGUF not found", or "loading <name>…" then "ready" or
    // "load failed"; a failed swap keeps the engine and the path it had.
    void swap(const std::string& path, StatusCallback onStatus) override;
    void shutdownForTermination() override;

    // Whether an engine is loaded (read on the queue, so it waits behind loads).
    bool hasEngine() const;

    // The first-generation model most recently chosen or swapped in; the
    // download manager reads it.
    static std::optional<std::string> activeModelPath();
    // The choice the constructor makes (no side effects besides its log line
    // and recording the active path).
    static std::string chooseModelPath();

private:
    struct Core;
    static void shutdown(const std::weak_ptr<Core>& core);

    std::shared_ptr<Core> core_;
    std::shared_ptr<SerialQueue> io_;
};

} // namespace vivirov
