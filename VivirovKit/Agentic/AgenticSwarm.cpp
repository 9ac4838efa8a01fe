#include "VivirovKit/Agentic/AgenticSwarm.h"

#include <algorithm>
#include <functional>
#include <map>

#include "VivirovKit/Scheduler/AgentScheduler.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovKit/Support/WorkerPool.h"

namespace vivirov {

namespace {

constexpr size_t promptCharacters = 64;
constexpr uint64_t jobDeadlineNanos = 1'000'000'000;

} // namespace

SwarmResult AgenticSwarm::runSwarm(const std::vector<std::string>& variants, ConsensusStrategy consensus,
                                   int64_t maxAgents) {
    if (variants.empty()) return {};
    return runSwarm(AgentScheduler::shared(), variants, consensus, maxAgents);
}

SwarmResult AgenticSwarm::runSwarm(AgentScheduler& scheduler, const std::vector<std::string>& variants,
                                   ConsensusStrategy consensus, int64_t maxAgents) {
    SwarmResult result;
    result.agentCount = int64_t(variants.size());
    if (variants.empty()) return result;

    // runTaskGroup's workers each take the next variant in index order as soon
    // as their previous job ends: a sliding window of `width` jobs. They are
    // threads of their own, not the shared pool, because the scheduler may
    // place follow-up work on that pool while these threads wait.
    int64_t width = std::clamp<int64_t>(maxAgents, 1, int64_t(variants.size()));
    std::vector<std::function<std::string()>> jobs;
    jobs.reserve(variants.size());
    for (const std::string& variant : variants) {
        jobs.push_back([&scheduler, &variant] {
            try {
                return detokenize(scheduler.runAgent(tokenize(variant), AgentScheduler::Lane::user, jobDeadlineNanos));
            } catch (...) {
                // A job that could not run produced nothing; the others go on.
                return std::string();
            }
        });
    }
    result.perVariant = runTaskGroup<std::string>(jobs, unsigned(width));
    result.chosen = reduce(result.perVariant, consensus);
    return result;
}

std::vector<uint32_t> AgenticSwarm::tokenize(std::string_view text) {
    if (text.empty()) return {0};
    std::string head = text::graphemePrefix(text, promptCharacters);
    std::vector<uint32_t> ids;
    ids.reserve(head.size());
    for (unsigned char byte : head) ids.push_back(uint32_t(byte & 0x7F));
    return ids;
}

std::string AgenticSwarm::detokenize(const std::vector<uint32_t>& ids) {
    std::string out;
    out.reserve(ids.size());
    for (uint32_t id : ids) out.push_back(char(33 + id % 94));
    return out;
}

std::string AgenticSwarm::reduce(const std::vector<std::string>& outputs, ConsensusStrategy strategy) {
    switch (strategy) {
    case ConsensusStrategy::firstFinish:
        for (const std::string& output : outputs)
            if (!output.empty()) return output;
        return {};
    case ConsensusStrategy::majority: {
        std::map<std::string_view, size_t> counts;
        size_t most = 0;
        for (const std::string& output : outputs) most = std::max(most, ++counts[output]);
        for (const std::string& output : outputs)
            if (counts[output] == most) return output;
        return {};
    }
    case ConsensusStrategy::unanimousJoin: {
        std::string joined;
        for (size_t i = 0; i < outputs.size(); ++i) {
            if (i > 0) joined.push_back('\n');
            joined += outputs[i];
        }
        return joined;
    }
    }
    return {};
}

} // namespace vivirov
