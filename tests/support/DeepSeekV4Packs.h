#pragma once
// om2 packs for the tiny DeepSeek-V4 model's routed experts: for each chosen
// layer and every expert, full-rank packs (up, gate and down) whose low-rank
// product is the decoded expert matrix rounded to half precision, written
// under their primary names. A model core-only in the engine's eyes can then
// run its experts from packs and be checked against the fused tensors.
#include <string>
#include <vector>

#include "tests/support/DeepSeekV4Fixture.h"

namespace vivirov::test {

// The decoded matrix (rows × cols, row-major) of expert `expert` of the fused
// tensor `name` ("blk.L.ffn_up_exps.weight" …).
std::vector<float> deepSeekV4ExpertMatrix(const DeepSeekV4Model& model, const std::string& name, int expert,
                                          int& rows, int& cols);

// Writes the packs of `layers` (every layer when empty); returns how many.
int writeDeepSeekV4Packs(const DeepSeekV4Model& model, const std::string& dir, std::vector<int> layers = {});

} // namespace vivirov::test
