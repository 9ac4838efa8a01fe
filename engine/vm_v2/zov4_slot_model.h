#pragma once
// The DeepSeek-V4 forward object's multi-sequence slots as a SlotModel, and
// the om2 settings the chat call and the benchmark apply before decoding.
#include "slot_model.h"

namespace vm::zov4 {
class ZOV4Forward;
}

namespace vivirov {

SlotModel zov4_slot_model(vm::zov4::ZOV4Forward& fwd);

} // namespace vivirov
