#include "VivirovVizivurad/NeuralEngine/ANENeuralDecompress.h"

#include <algorithm>
#include <cstdint>

#include "VivirovKit/Support/Paths.h"
#include "VivirovVizivurad/NeuralEngine/NeuralModelSlot.h"

namespace vivirov {

namespace {

constexpr const char* errorDomain = "ANENeuralDecompress";

// Runs `model` on the latent and fills `out`: truncated to outCount, or the
// rest zero-filled when the model gives fewer values.
bool decodeWith(NeuralModel* model, const float* latent, int zDim, float* out, int outCount) {
    if (!model || zDim < 0 || outCount < 0 || (zDim > 0 && !latent) || (outCount > 0 && !out)) return false;
    NeuralModelResult result = model->run(latent, size_t(zDim));
    if (result.status != NeuralModelResult::Status::ok) return false;
    const size_t copied = std::min(result.values.size(), size_t(outCount));
    std::copy_n(result.values.begin(), copied, out);
    std::fill(out + copied, out + outCount, 0.0f);
    return true;
}

} // namespace

ANENeuralDecompress& ANENeuralDecompress::shared() {
    static ANENeuralDecompress* decoder = new ANENeuralDecompress();
    return *decoder;
}

std::string ANENeuralDecompress::defaultModelPath() {
    return paths::applicationSupport() + "/Vivirov/expert_decoder.onnx";
}

ANENeuralDecompress::ANENeuralDecompress(std::string modelPath)
    : queue_("com.dudive.vivirov.ane.decompress"),
      slot_(std::make_shared<NeuralModelSlot>(std::move(modelPath), "latent", "weights", "[ANENeuralDecompress]")) {
    reload();
}

ANENeuralDecompress::~ANENeuralDecompress() = default;

void ANENeuralDecompress::reload() { slot_->reload(); }

bool ANENeuralDecompress::isAvailable() const { return slot_->model() != nullptr; }

const std::string& ANENeuralDecompress::modelPath() const { return slot_->path(); }

bool ANENeuralDecompress::decodeInto(const float* latent, int zDim, float* out, int outCount) const {
    return decodeWith(slot_->model().get(), latent, zDim, out, outCount);
}

void ANENeuralDecompress::decodeAsync(std::vector<float> latent, int outputCount, Completion completion) {
    queue_.async([weakSlot = std::weak_ptr<NeuralModelSlot>(slot_), latent = std::move(latent), outputCount,
                  completion = std::move(completion)] {
        std::shared_ptr<NeuralModel> model;
        if (std::shared_ptr<NeuralModelSlot> slot = weakSlot.lock())
            model = slot->model();
        else {
            completion(ANEDecodeError{errorDomain, -1, ""});
            return;
        }
        // Decodes into its own buffer: the caller's memory is never touched here.
        std::vector<float> output(size_t(std::max(outputCount, 0)), 0.0f);
        const bool ok = latent.size() <= size_t(INT32_MAX) &&
                        decodeWith(model.get(), latent.data(), int(latent.size()), output.data(), outputCount);
        if (ok)
            completion(std::move(output));
        else
            completion(ANEDecodeError{errorDomain, 1, "model missing or decode failed"});
    });
}

} // namespace vivirov
