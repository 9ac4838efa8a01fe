#include "VivirovVizivurad/NeuralEngine/ANERouterOracle.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>
#include <cstdint>
#include <utility>

#include "VivirovKit/Support/Clock.h"
#include "VivirovKit/Support/Log.h"
#include "VivirovKit/Support/Paths.h"
#include "VivirovVizivurad/NeuralEngine/NeuralModelSlot.h"

namespace vivirov {

namespace {

// Without an application there is no GUI thread to deliver on, and the
// completion is dropped.
void deliverOnGuiThread(const ANERouterOracle::Completion& completion, std::optional<ANEExpertPrediction> prediction) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    QMetaObject::invokeMethod(
        app, [completion, prediction = std::move(prediction)] { completion(prediction); }, Qt::QueuedConnection);
}

// The topK highest logits, highest first; equal scores keep index order.
ANEExpertPrediction rank(int32_t layer, const std::vector<float>& logits, int topK) {
    std::vector<std::pair<int32_t, float>> pairs;
    pairs.reserve(logits.size());
    for (size_t i = 0; i < logits.size() && i <= size_t(INT32_MAX); ++i) pairs.emplace_back(int32_t(i), logits[i]);
    std::stable_sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    ANEExpertPrediction prediction;
    prediction.layer = layer;
    const size_t k = std::min(pairs.size(), size_t(topK));
    for (size_t i = 0; i < k; ++i) {
        prediction.expertIds.push_back(pairs[i].first);
        prediction.scores.push_back(pairs[i].second);
    }
    return prediction;
}

} // namespace

ANERouterOracle& ANERouterOracle::shared() {
    static ANERouterOracle* oracle = new ANERouterOracle();
    return *oracle;
}

std::string ANERouterOracle::defaultModelPath() {
    return paths::applicationSupport() + "/Vivirov/router_oracle.onnx";
}

ANERouterOracle::ANERouterOracle(std::string modelPath)
    : queue_("com.dudive.vivirov.ane.router"),
      slot_(std::make_shared<NeuralModelSlot>(std::move(modelPath), "hidden", "logits", "[ANERouterOracle]")) {
    loadIfPresent();
}

ANERouterOracle::~ANERouterOracle() = default;

void ANERouterOracle::loadIfPresent() { slot_->reload(); }

bool ANERouterOracle::isAvailable() const { return slot_->model() != nullptr; }

void ANERouterOracle::predictAsync(int32_t layer, std::vector<float> hidden, int topK, Completion completion) {
    queue_.async([weakSlot = std::weak_ptr<NeuralModelSlot>(slot_), layer, hidden = std::move(hidden), topK,
                  completion = std::move(completion)] {
        std::shared_ptr<NeuralModel> model;
        if (std::shared_ptr<NeuralModelSlot> slot = weakSlot.lock()) model = slot->model();
        if (!model || topK < 0) {
            deliverOnGuiThread(completion, std::nullopt);
            return;
        }
        const double start = Clock::current().wallSeconds();
        NeuralModelResult result = model->run(hidden.data(), hidden.size());
        if (result.status == NeuralModelResult::Status::failed) {
            logLine("[ANERouterOracle] predict failed: " + result.error);
            deliverOnGuiThread(completion, std::nullopt);
            return;
        }
        if (result.status == NeuralModelResult::Status::missingOutput) {
            deliverOnGuiThread(completion, std::nullopt);
            return;
        }
        ANEExpertPrediction prediction = rank(layer, result.values, topK);
        prediction.latencyMs = (Clock::current().wallSeconds() - start) * 1000.0;
        deliverOnGuiThread(completion, std::move(prediction));
    });
}

void ANERouterOracle::prefetchHorizon(int32_t startLayer, int depth, std::vector<float> hidden, Enqueue enqueue) {
    if (depth < 0 || int64_t(startLayer) + depth > INT32_MAX) return;
    for (int i = 0; i <= depth; ++i) {
        const int32_t layer = startLayer + i;
        predictAsync(layer, hidden, 1, [layer, enqueue](std::optional<ANEExpertPrediction> prediction) {
            if (!prediction) return;
            for (int32_t expert : prediction->expertIds) enqueue(layer, expert);
        });
    }
}

} // namespace vivirov
