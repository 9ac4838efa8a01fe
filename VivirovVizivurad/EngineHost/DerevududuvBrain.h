#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

struct vm_engine;

namespace vivirov {

// The owner of one first-generation engine. One generation runs at a time;
// another thread may stop it, and it then ends within one token step.
// Shared by reference: whoever holds the brain keeps its engine alive, so a
// generation that is running survives its owner letting go.
class DerevududuvBrain {
public:
    using PieceSink = std::function<void(const std::string&)>;

    struct Outcome {
        int32_t result = -1; // pieces delivered, or -1 when the engine failed
        bool stopped = false;
    };

    // Loads the model; null when the engine refuses it (why: lastLoadError()).
    static std::shared_ptr<DerevududuvBrain> load(const std::string& modelPath);
    // Why the calling thread's last load failed.
    static std::string lastLoadError();
    ~DerevududuvBrain();
    DerevududuvBrain(const DerevududuvBrain&) = delete;
    DerevududuvBrain& operator=(const DerevududuvBrain&) = delete;

    // Generates greedily from `prompt`, at most `maxTokens` pieces. Text
    // reaches `onPiece` in whole UTF-8 characters: bytes of a character that
    // a token split are held until the rest arrives.
    Outcome generate(const std::string& prompt, int32_t maxTokens, const PieceSink& onPiece);
    // Ends the running generation (none running: nothing happens).
    void requestStop();

    // The start-up demo: when VIVIROV_VM_QWEN_MODEL or VIVIROV_VM_MODEL names
    // a first-generation model, generates 16 pieces from VIVIROV_VM_PROMPT on
    // a worker and writes what it did through `log`. Returns at once.
    static void runDemoIfRequested(std::function<void(const std::string&)> log);

private:
    explicit DerevududuvBrain(vm_engine* handle) : handle_(handle) {}

    vm_engine* const handle_;
    std::mutex generateMutex_;
};

} // namespace vivirov
