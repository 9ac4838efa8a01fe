#include "VivirovKit/Scheduler/AgentScheduler.h"

namespace vivirov {

namespace {

using AgentRole = AgentScheduler::AgentRole;
using State = AgentScheduler::SchedulerSnapshot::JobSummary::State;

struct RoleText {
    AgentRole role;
    const char* raw;
    const char* systemPrompt;
    const char* symbol;
};

constexpr RoleText roleTexts[] = {
    {AgentRole::coordinator, "coordinator",
     "You are the Coordinator. Decompose the task and delegate to specialist agents.", "brain.head.profile"},
    {AgentRole::coder, "coder", "You are the Coder. Write clean, correct, tested code. Explain trade-offs.",
     "chevron.left.forwardslash.chevron.right"},
    {AgentRole::reviewer, "reviewer", "You are the Reviewer. Audit the work for bugs, security, and correctness.",
     "checkmark.shield"},
    {AgentRole::researcher, "researcher", "You are the Researcher. Gather facts, cite sources, flag uncertainty.",
     "magnifyingglass"},
    {AgentRole::planner, "planner", "You are the Planner. Break work into ordered, verifiable steps.",
     "list.bullet.rectangle"},
    {AgentRole::tester, "tester", "You are the Tester. Write adversarial tests proving the work holds.",
     "wrench.and.screwdriver"},
};

const RoleText& textOf(AgentRole role) {
    for (const auto& entry : roleTexts)
        if (entry.role == role) return entry;
    return roleTexts[0];
}

} // namespace

const char* rawValue(AgentRole role) { return textOf(role).raw; }
const char* systemPrompt(AgentRole role) { return textOf(role).systemPrompt; }
const char* symbol(AgentRole role) { return textOf(role).symbol; }

std::optional<AgentRole> agentRoleFromRaw(std::string_view raw) {
    for (const auto& entry : roleTexts)
        if (raw == entry.raw) return entry.role;
    return std::nullopt;
}

const char* rawValue(State state) {
    switch (state) {
    case State::running: return "running";
    case State::queuedUser: return "queuedUser";
    case State::queuedBackground: return "queuedBackground";
    case State::paused: return "paused";
    }
    return "running";
}

std::optional<State> jobStateFromRaw(std::string_view raw) {
    for (State state : {State::running, State::queuedUser, State::queuedBackground, State::paused})
        if (raw == rawValue(state)) return state;
    return std::nullopt;
}

} // namespace vivirov
