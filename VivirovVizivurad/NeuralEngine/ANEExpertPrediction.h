#pragma once
#include <cstdint>
#include <vector>

namespace vivirov {

// The experts a mixture-of-experts layer is predicted to route to.
struct ANEExpertPrediction {
    int32_t layer = 0;
    std::vector<int32_t> expertIds; // descending by score; ties keep ascending index order
    std::vector<float> scores;      // the logits of those experts, same order
    double latencyMs = 0;           // from the start of the work to the completion being scheduled
};

} // namespace vivirov
