#pragma once
#include <QColor>
#include <QString>

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "VivirovVizivurad/Chat/AgentMode.h"

namespace vivirov {

// How each turn mode is named, drawn and described.
struct AgentModeInfo {
    static constexpr std::array<AgentMode, 3> allCases{AgentMode::ask, AgentMode::agent, AgentMode::plan};

    // "ask", "agent", "plan"; any other text (case-sensitive) is no mode.
    static std::string rawValue(AgentMode mode);
    static std::optional<AgentMode> fromRaw(std::string_view raw);

    static QString label(AgentMode mode);  // "Ask", "Agent", "Plan"
    static QString symbol(AgentMode mode);
    static QString hint(AgentMode mode);   // the accessibility hint
    // The theme's cyan, orange or gold, read now.
    static QColor color(AgentMode mode);

    AgentModeInfo() = delete;
};

} // namespace vivirov
