#pragma once
// What engine creation does for a DeepSeek-V4 model: binds the om2 expert
// packs and sets the chat-quality switches on the forward object.
namespace vivirov {

class VMEngineV2;

void bind_om2_at_create(VMEngineV2& engine);

} // namespace vivirov
