#pragma once
// The dense CPU decode step with its logits: forward_one_cpu_dense is this
// step without them; tests read the logits to compare with a reference.
#include <vector>

#include "vm_engine_v2.h"

namespace vivirov {

// One CPU step of `seq`; when `logits` is not null it receives the step's
// n_vocab logits.
int32_t dense_cpu_step(VMEngineV2& e, VMEngineV2::ActiveSequence& seq, std::vector<float>* logits);

} // namespace vivirov
