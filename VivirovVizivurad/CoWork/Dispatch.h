#pragma once
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "VivirovKit/Agentic/ArtifactEngine.h"
#include "VivirovKit/Support/UUID.h"

namespace vivirov {

// One co-work job: what was asked and what its run produced.
struct Dispatch {
    enum class Status { queued, running, completed, failed, cancelled };

    UUID id = UUID::random();
    std::string objective;
    double createdAt = 0; // seconds since 1970
    Status status = Status::queued;
    std::string activity;
    int64_t iterations = 0;
    int64_t toolCalls = 0;
    std::string summary;
    std::string fullResponse;
    std::optional<Artifact> artifact;
    std::optional<double> finishedAt;

    bool isActive() const { return status == Status::queued || status == Status::running; }
    // A summary alone is no result.
    bool hasResult() const { return !fullResponse.empty() || artifact.has_value(); }
    bool operator==(const Dispatch&) const = default;
};

// The text a dispatch's run gathers from its stream, shared with the
// producer's thread.
struct DispatchTextBuffer {
    std::mutex lock;
    std::string text;
};

} // namespace vivirov
