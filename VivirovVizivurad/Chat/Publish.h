#pragma once
#include <utility>

namespace vivirov {

// Sets a published field of a view model and announces it: the field's own
// signal, then the model's `changed()`. Nothing happens for an equal value.
template <class Owner, class T>
void publish(Owner& owner, T& field, T value, void (Owner::*signal)()) {
    if (field == value) return;
    field = std::move(value);
    (owner.*signal)();
    owner.changed();
}

} // namespace vivirov
