#pragma once

namespace vivirov {

// How the next chat turn runs: answer only, act with tools, or plan.
enum class AgentMode { ask, agent, plan };

} // namespace vivirov
