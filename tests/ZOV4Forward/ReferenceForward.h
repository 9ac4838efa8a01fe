#pragma once
// A plain double-precision prefill of the tiny DeepSeek-V4 model, written
// from the model's definition with no engine code: it reads the weights from
// the fixture's own bytes, rounds its key-value rows through FP8 itself, and
// routes experts with the single-expert rule (residency boost and sticky
// experts included). It covers prompts too short to complete a compressed
// block (fewer than 4 tokens), where attention sees the raw rows only.
#include <cstdint>
#include <vector>

#include "tests/support/DeepSeekV4Fixture.h"

namespace vivirov::test {

// The logits of the last position of `tokens` (1 to 3 ids).
std::vector<double> referencePrefillLogits(const DeepSeekV4Model& model, const DeepSeekV4Shape& shape,
                                           bool withExperts, const std::vector<int32_t>& tokens);

} // namespace vivirov::test
