// The engine's DeepSeek-V4 branches: building the forward object and one
// asynchronous request's step.
#include <stdexcept>

#include "common/engine_log.h"
#include "vm_v2/vm_engine_v2.h"

namespace vivirov {

void VMEngineV2::construct_zov4_(const char* path) {
    (void)path;
    vm::log_line("[vm_v2] DeepSeek-V4 model detected but the V4 engine failed to load: %s — degrading to scaffold",
                 "forward pass not built");
    throw std::runtime_error("ZOV4Forward load failed");
}

int32_t VMEngineV2::forward_one_zov4(ActiveSequence&) { throw std::runtime_error("ZOV4Forward not built"); }

// zov4_ stays null until the forward pass is built.
void VMEngineV2::Zov4Delete::operator()(vm::zov4::ZOV4Forward*) const {}

} // namespace vivirov

#include "vm_v2/zov4_binding.h"

namespace vivirov {

void bind_om2_at_create(VMEngineV2&) {}

} // namespace vivirov
