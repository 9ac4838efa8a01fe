#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vivirov {

class AgentScheduler;

// How the outputs of a swarm's variants become one text.
enum class ConsensusStrategy { firstFinish, majority, unanimousJoin };

struct SwarmResult {
    // One output per variant, in variant order; empty when its job produced nothing.
    std::vector<std::string> perVariant;
    std::string chosen;
    // The number of variants, not the parallel width.
    int64_t agentCount = 0;

    bool operator==(const SwarmResult&) const = default;
};

// Runs several variants of one prompt as jobs of the agent scheduler, a
// bounded number at a time, and reduces their outputs to one text. The jobs
// bypass any model provider: prompts and outputs go through the swarm's own
// token code below.
struct AgenticSwarm {
    // Runs every variant on AgentScheduler::shared() with at most
    // max(1, maxAgents) jobs at once; a finished job makes room for the next
    // variant in order. Blocks until every job has completed: there is no
    // time-out, so call it off the GUI thread and only with an engine attached.
    static SwarmResult runSwarm(const std::vector<std::string>& variants, ConsensusStrategy consensus,
                                int64_t maxAgents);
    // The same on a given scheduler.
    static SwarmResult runSwarm(AgentScheduler& scheduler, const std::vector<std::string>& variants,
                                ConsensusStrategy consensus, int64_t maxAgents);

    // Prompt ids: the UTF-8 bytes of the first 64 characters, each masked to
    // seven bits; an empty text is the single id 0.
    static std::vector<uint32_t> tokenize(std::string_view text);
    // One printable ASCII character ("!" to "~") per id: 33 + id mod 94.
    static std::string detokenize(const std::vector<uint32_t>& ids);
    // firstFinish: the first non-empty output in variant order; majority: a
    // most frequent output (the earliest in variant order among ties);
    // unanimousJoin: every output, empty ones included, joined by line feeds.
    static std::string reduce(const std::vector<std::string>& outputs, ConsensusStrategy strategy);
};

} // namespace vivirov
