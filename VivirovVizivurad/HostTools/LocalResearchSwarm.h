#pragma once
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "VivirovVizivurad/HostTools/HostToolBackends.h"

namespace vivirov {

// A bounded, multi-perspective research pass: one short prompt per research
// angle (at most four) to a local OpenAI-style chat server, the answers joined
// under a header line. Shrinks its width and parallelism under swap pressure.
// Blocks its caller (readings, the health probe and the requests): run it on
// a worker, never on the GUI thread.
class LocalResearchSwarm : public ResearchSwarm {
public:
    struct Environment {
        // Used swap in MiB, read afresh on each call; none when unknown.
        std::function<std::optional<double>()> usedSwapMB;
        // Whether a health URL answers.
        std::function<bool(const std::string& url)> probe;
        double requestTimeout = 90.0; // seconds per angle

        // The live system: SwapGuard's reading and the model router's probe.
        static Environment live();
    };

    explicit LocalResearchSwarm(Environment environment = Environment::live());

    // The report text; every problem is part of it, nothing throws.
    std::string runResearchSwarm(const std::string& query, const std::string& perspectives,
                                 std::stop_token stop) override;

    // The answer text of one chat completion body: its first choice's message
    // content without reasoning blocks, trimmed; "error: …" otherwise.
    static std::string answerFromBody(const std::string& body);
    // The angles of a comma-separated text; the defaults when none is left.
    static std::vector<std::string> angles(const std::string& perspectives);

private:
    Environment environment_;
};

} // namespace vivirov
