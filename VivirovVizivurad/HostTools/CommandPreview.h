#pragma once
#include <string>

namespace vivirov {

// The permission card's body for one executor call written as
// {"tool": name, "args": {...}}: the command, the file written (with the
// start of its content), the control clicked or typed into, the window
// moved; otherwise the call text itself, unchanged.
std::string commandPreview(const std::string& json);

} // namespace vivirov
