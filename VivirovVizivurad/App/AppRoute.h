#pragma once

namespace vivirov {

// The window's navigation routes. The chat controller mirrors the current one.
enum class AppRoute { chat, cowork, code, nexus };

} // namespace vivirov
