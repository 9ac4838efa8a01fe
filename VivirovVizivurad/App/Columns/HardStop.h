#pragma once

namespace vivirov {

// Calls the controller's hard stop. The controller grows the call with the
// sessions work; until then a click has nothing to stop and does nothing.
template <class Controller>
void callHardStop(Controller& vm) {
    if constexpr (requires { vm.hardStop(); }) vm.hardStop();
}

template <class Controller>
constexpr bool controllerHasHardStop() {
    return requires(Controller& vm) { vm.hardStop(); };
}

} // namespace vivirov
