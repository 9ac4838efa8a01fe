#pragma once
// Predicts which experts a layer will route to from its hidden state, with the
// router model at <data>/Vivirov/router_oracle.onnx run on the queue
// "com.dudive.vivirov.ane.router". Completions and enqueue calls run on the
// GUI thread. Without the model every prediction completes with nothing.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VivirovKit/Support/SerialQueue.h"
#include "VivirovVizivurad/NeuralEngine/NeuralModelSlot.h"
#include "VivirovVizivurad/NeuralEngine/ANEExpertPrediction.h"

namespace vivirov {

class ANERouterOracle {
public:
    using Completion = std::function<void(std::optional<ANEExpertPrediction>)>;
    using Enqueue = std::function<void(int32_t layer, int32_t expert)>;

    // The process-wide oracle over the default model path, created (and
    // loaded) on first use; it is never destroyed.
    static ANERouterOracle& shared();
    static std::string defaultModelPath();

    explicit ANERouterOracle(std::string modelPath = defaultModelPath());
    ~ANERouterOracle();
    ANERouterOracle(const ANERouterOracle&) = delete;
    ANERouterOracle& operator=(const ANERouterOracle&) = delete;

    // (Re)loads the model; a prediction in flight keeps the model it started with.
    void loadIfPresent();
    bool isAvailable() const;

    // Queues one prediction of the topK best experts for `layer`. The
    // completion gets nothing without a model, when the model fails or for a
    // negative topK. Needs a running Qt application to deliver completions.
    void predictAsync(int32_t layer, std::vector<float> hidden, int topK, Completion completion);
    // Queues top-1 predictions for layers startLayer ... startLayer + depth in
    // ascending order and calls enqueue(layer, expert) for each one that
    // yields an expert. A negative depth, or layers past the 32-bit range,
    // queue nothing.
    void prefetchHorizon(int32_t startLayer, int depth, std::vector<float> hidden, Enqueue enqueue);

private:
    // Declared first so it is destroyed last: jobs left on it after the slot
    // is gone complete with nothing.
    SerialQueue queue_;
    std::shared_ptr<NeuralModelSlot> slot_;
};

} // namespace vivirov
