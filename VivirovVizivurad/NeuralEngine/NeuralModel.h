#pragma once
// A loaded model with one input and one output, both float tensors: the seam
// the neural-engine helpers run through, so tests can put a fake in its place.
#include <cstddef>
#include <string>
#include <vector>

namespace vivirov {

struct NeuralModelResult {
    enum class Status {
        ok,
        missingOutput, // the model has no such output, or it is not a float tensor
        failed,        // running the model failed; `error` says why
    };
    Status status = Status::failed;
    std::vector<float> values; // the output's elements in storage order, when ok
    std::string error;
};

class NeuralModel {
public:
    virtual ~NeuralModel() = default;
    // Runs `count` floats as the input tensor of shape [1, count]. May be
    // called from several threads at once.
    virtual NeuralModelResult run(const float* input, size_t count) = 0;
};

} // namespace vivirov
