#pragma once
#include <optional>
#include <string>

namespace vivirov {

// AT-SPI role and action names in the Accessibility vocabulary the tools
// speak ("push button" → "AXButton", "click" → "AXPress"), so role filters
// such as "AXButton" and "AXTextField" and the "AXShowMenu" action mean the
// same on every desktop. Names without an equivalent become "AX" followed by
// the name in camel case ("tree item" → "AXTreeItem").
namespace atspi_vocabulary {

std::string role(const std::string& atspiRoleName);
// The finer kind some roles carry ("password text" → "AXSecureTextField").
std::optional<std::string> subrole(const std::string& atspiRoleName);
std::string action(const std::string& atspiActionName);

} // namespace atspi_vocabulary
} // namespace vivirov
