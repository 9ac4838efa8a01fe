#include "VivirovKit/Agentic/SentinelDaemon.h"

#include "VivirovKit/Support/Clock.h"
#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {
uint64_t now() { return Clock::current().uptimeNanos(); }
} // namespace

SentinelDaemon::SentinelDaemon()
    : agents_{{0, "LOOP_GUARD", "Detect N>3 identical tool failures"},
              {1, "HALLUCINATION", "Detect gibberish / unknown tool patterns"},
              {2, "STALL_WATCH", "Detect hung streams with no progress"},
              {3, "BUDGET_FAIR", "Advisory budget; never caps tool payload"}},
      lastProgressAt_(now()) {}

SentinelDaemon& SentinelDaemon::shared() {
    static SentinelDaemon* daemon = new SentinelDaemon();
    return *daemon;
}

void SentinelDaemon::setKnownTools(std::set<std::string> names) {
    std::lock_guard lock(mutex_);
    knownTools_ = std::move(names);
}

void SentinelDaemon::start() {
    std::lock_guard lock(mutex_);
    if (running_) return;
    running_ = true;
    lastProgressAt_ = now();
}

void SentinelDaemon::stop() {
    std::lock_guard lock(mutex_);
    running_ = false;
}

bool SentinelDaemon::isRunning() const {
    std::lock_guard lock(mutex_);
    return running_;
}

void SentinelDaemon::resetTurn() {
    std::lock_guard lock(mutex_);
    lastToolKey_.clear();
    identicalFailStreak_ = 0;
    unknownToolHits_ = 0;
    lastProgressAt_ = now();
}

std::string SentinelDaemon::fingerprint(const std::string& name, const std::map<std::string, std::string>& args,
                                        bool failed) {
    std::string key = name + "|";
    bool first = true;
    for (const auto& [k, v] : args) { // std::map iterates keys in ascending order
        if (!first) key += "&";
        key += k + "=" + v;
        first = false;
    }
    key += failed ? "|F" : "|O";
    return key;
}

SentinelVerdict SentinelDaemon::observeTool(const std::string& name, const std::map<std::string, std::string>& args,
                                            const std::string& result) {
    std::lock_guard lock(mutex_);
    ++totalToolObservations_;
    lastProgressAt_ = now();
    const bool failed = text::startsWith(result, "error:") || text::startsWith(result, "Error:");

    const std::string key = fingerprint(name, args, failed);
    if (key == lastToolKey_) {
        if (++identicalFailStreak_ > identicalFailureLimit) {
            ++snapBreakCount_;
            lastToolKey_.clear();
            identicalFailStreak_ = 0;
            SentinelVerdict v;
            v.kind = SentinelVerdict::Kind::toolLoop;
            v.identicalFailures = identicalFailureLimit + 1;
            v.tool = name;
            return v;
        }
    } else {
        lastToolKey_ = key;
        identicalFailStreak_ = 1;
    }

    if (!knownTools_.empty() && !knownTools_.count(name)) {
        if (++unknownToolHits_ > 3) {
            ++snapBreakCount_;
            unknownToolHits_ = 0;
            SentinelVerdict v;
            v.kind = SentinelVerdict::Kind::hallucination;
            v.pattern = "unknown_tool:" + name;
            return v;
        }
    }

    if (text::trimmed(name).empty()) {
        ++snapBreakCount_;
        SentinelVerdict v;
        v.kind = SentinelVerdict::Kind::hallucination;
        v.pattern = "empty_tool_name";
        return v;
    }

    if (result.size() > 8'000'000) {
        SentinelVerdict v;
        v.kind = SentinelVerdict::Kind::advisory;
        v.advisory = "large_tool_result_bytes=" + std::to_string(result.size());
        return v;
    }
    return SentinelVerdict::ok();
}

void SentinelDaemon::observeText(const std::string&) {
    std::lock_guard lock(mutex_);
    lastProgressAt_ = now();
}

SentinelVerdict SentinelDaemon::checkStall() {
    std::lock_guard lock(mutex_);
    const uint64_t t = now();
    const double seconds = double(t - lastProgressAt_) / 1e9;
    if (seconds > stallTimeout) {
        ++snapBreakCount_;
        lastProgressAt_ = t;
        SentinelVerdict v;
        v.kind = SentinelVerdict::Kind::stall;
        v.seconds = seconds;
        return v;
    }
    return SentinelVerdict::ok();
}

SentinelDaemon::Stats SentinelDaemon::stats() const {
    std::lock_guard lock(mutex_);
    return {totalToolObservations_, snapBreakCount_, identicalFailStreak_};
}

bool SentinelDaemon::requiresSnapBreak(const SentinelVerdict& verdict) {
    using K = SentinelVerdict::Kind;
    return verdict.kind == K::toolLoop || verdict.kind == K::hallucination || verdict.kind == K::stall;
}

std::string ToolFastPath::uiPreview(const std::string& text, size_t maxChars) {
    if (text::graphemeCount(text) <= maxChars) return text;
    return text::graphemePrefix(text, maxChars) + "…";
}

} // namespace vivirov
