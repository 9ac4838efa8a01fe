#pragma once

namespace vivirov {

// Sizes and collapsed states of the window's side and bottom panels.
struct PanelConfiguration {
    double leftSidebarWidth = 240;
    double rightInspectorWidth = 320;
    double bottomTerminalHeight = 200;
    bool leftSidebarCollapsed = false;
    bool rightInspectorCollapsed = false;
    bool bottomPanelCollapsed = true;
    bool operator==(const PanelConfiguration&) const = default;
};

} // namespace vivirov
