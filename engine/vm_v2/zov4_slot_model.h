#pragma once
// The DeepSeek-V4 forward object's multi-sequence slots as a SlotModel, and
// the om2 settings the chat call and the benchmark apply before decoding.
#include "slot_model.h"

namespace vm::zov4 {
class ZOV4Forward;
}

namespace vivirov {

SlotModel zov4_slot_model(vm::zov4::ZOV4Forward& fwd);

// Routing takes the prewarmed expert 0 through its om2 pack, no residual:
// the settings the fast chat mode and the batch benchmark share.
void zov4_expert0_mode(vm::zov4::ZOV4Forward& fwd);

// Routing by score through om2 packs with their int8 residual: the settings
// engine creation (after a successful bind) and the quality chat mode share.
void zov4_quality_mode(vm::zov4::ZOV4Forward& fwd);

} // namespace vivirov
