#pragma once
#include <QString>

#include <array>
#include <optional>

namespace vivirov {

// The window's navigation routes. The chat controller mirrors the current one.
enum class AppRoute { chat, cowork, code, nexus };

// Every route, in the order the sidebar lists them.
inline constexpr std::array<AppRoute, 4> allRoutes{AppRoute::chat, AppRoute::cowork, AppRoute::code,
                                                   AppRoute::nexus};

// The route's display title, which is also its text form.
QString routeTitle(AppRoute route);
// Only the exact titles (case and blanks included) give a route.
std::optional<AppRoute> routeFromTitle(const QString& title);

} // namespace vivirov
