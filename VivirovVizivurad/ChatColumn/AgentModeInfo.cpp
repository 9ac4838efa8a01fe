#include "VivirovVizivurad/ChatColumn/AgentModeInfo.h"

#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"

namespace vivirov {

std::string AgentModeInfo::rawValue(AgentMode mode) {
    switch (mode) {
    case AgentMode::ask: return "ask";
    case AgentMode::agent: return "agent";
    case AgentMode::plan: return "plan";
    }
    return {};
}

std::optional<AgentMode> AgentModeInfo::fromRaw(std::string_view raw) {
    for (AgentMode mode : allCases)
        if (rawValue(mode) == raw) return mode;
    return std::nullopt;
}

QString AgentModeInfo::label(AgentMode mode) {
    switch (mode) {
    case AgentMode::ask: return QStringLiteral("Ask");
    case AgentMode::agent: return QStringLiteral("Agent");
    case AgentMode::plan: return QStringLiteral("Plan");
    }
    return {};
}

QString AgentModeInfo::symbol(AgentMode mode) {
    switch (mode) {
    case AgentMode::ask: return QStringLiteral("bubble.left.and.bubble.right");
    case AgentMode::agent: return QStringLiteral("bolt.horizontal.fill");
    case AgentMode::plan: return QStringLiteral("list.clipboard");
    }
    return {};
}

QString AgentModeInfo::hint(AgentMode mode) {
    switch (mode) {
    case AgentMode::ask: return QStringLiteral("Single response, no tools");
    case AgentMode::agent: return QStringLiteral("Autonomous loop with tool use");
    case AgentMode::plan: return QStringLiteral("Read-only analysis, no writes");
    }
    return {};
}

QColor AgentModeInfo::color(AgentMode mode) {
    switch (mode) {
    case AgentMode::ask: return ThemeSnapshot::palette.cyan;
    case AgentMode::agent: return ThemeSnapshot::palette.orange;
    case AgentMode::plan: return ThemeSnapshot::palette.gold;
    }
    return {};
}

} // namespace vivirov
