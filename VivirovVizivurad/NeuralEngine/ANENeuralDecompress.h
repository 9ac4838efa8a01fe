#pragma once
// Turns a compact latent vector into a block of expert weights with the
// decoder model at <data>/Vivirov/expert_decoder.onnx, synchronously or on the
// queue "com.dudive.vivirov.ane.decompress". Without the model (or a model
// runtime) it is unavailable and every decode fails.
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "VivirovKit/Support/SerialQueue.h"
#include "VivirovVizivurad/NeuralEngine/NeuralModelSlot.h"

namespace vivirov {

struct ANEDecodeError {
    std::string domain; // "ANENeuralDecompress"
    int code = 0;       // -1: the decoder was gone; 1: model missing or decode failed
    std::string localizedDescription;
};

class ANENeuralDecompress {
public:
    using DecodeResult = std::variant<std::vector<float>, ANEDecodeError>;
    using Completion = std::function<void(DecodeResult)>;

    // The process-wide decoder over the default model path, created (and
    // loaded) on first use; it is never destroyed.
    static ANENeuralDecompress& shared();
    static std::string defaultModelPath();

    explicit ANENeuralDecompress(std::string modelPath = defaultModelPath());
    // Queued decodes that have not started complete with the code -1 error.
    ~ANENeuralDecompress();
    ANENeuralDecompress(const ANENeuralDecompress&) = delete;
    ANENeuralDecompress& operator=(const ANENeuralDecompress&) = delete;

    // (Re)loads the model; meant for when no decode is running, though a
    // decode in flight keeps the model it started with.
    void reload();
    bool isAvailable() const;
    const std::string& modelPath() const;

    // Decodes on the caller's thread: the model's output "weights" fills
    // `out`, truncated to outCount or padded with zeros. False without a
    // model, on bad arguments or when the model fails.
    bool decodeInto(const float* latent, int zDim, float* out, int outCount) const;
    // Decodes on the queue; the completion runs there with outputCount floats
    // or an error (a negative outputCount is a decode failure).
    void decodeAsync(std::vector<float> latent, int outputCount, Completion completion);

private:
    // Declared first so it is destroyed last: the queue finishes its jobs
    // after the slot is gone, and those jobs see the decoder as gone.
    SerialQueue queue_;
    std::shared_ptr<NeuralModelSlot> slot_;
};

} // namespace vivirov
