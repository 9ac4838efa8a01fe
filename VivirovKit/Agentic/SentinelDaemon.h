#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace vivirov {

// What the sentinel concluded from one observation.
struct SentinelVerdict {
    enum class Kind { toolLoop, hallucination, stall, advisory, ok };
    Kind kind = Kind::ok;
    int identicalFailures = 0; // toolLoop
    std::string tool;          // toolLoop
    std::string pattern;       // hallucination
    double seconds = 0;        // stall
    std::string advisory;      // advisory

    static SentinelVerdict ok() { return {}; }
    bool operator==(const SentinelVerdict&) const = default;
};

struct SentinelAgent {
    int id;
    std::string name;
    std::string role;
};

// The texts the loop puts into the conversation when a verdict requires a snap-break.
struct SentinelSnapBreak {
    static constexpr const char* token =
        "<sentinel_snap_break reason=\"tool_loop_or_hallucination\" action=\"recalculate_path\"/>";
    static constexpr const char* userDirective =
        "SENTINEL INTERRUPT: stop repeating the same failing tool call. Re-read the last tool results, "
        "change strategy, and either try a different tool or answer with what you know. Do NOT call the "
        "same tool with the same arguments again.";
};

// Watches agent runs for repeated calls, unknown or empty tool names, stalls
// and oversized results. Thread-safe; time comes from Clock::current().
class SentinelDaemon {
public:
    static constexpr int identicalFailureLimit = 3;
    static constexpr double stallTimeout = 120.0;

    struct Stats {
        int64_t observations = 0;
        int64_t snapBreaks = 0;
        int streak = 0;
    };

    SentinelDaemon();
    static SentinelDaemon& shared();

    const std::vector<SentinelAgent>& agents() const { return agents_; }
    void setKnownTools(std::set<std::string> names);
    void start();
    void stop();
    bool isRunning() const;
    void resetTurn();
    SentinelVerdict observeTool(const std::string& name, const std::map<std::string, std::string>& args,
                                const std::string& result);
    void observeText(const std::string& text);
    SentinelVerdict checkStall();
    Stats stats() const;

    static bool requiresSnapBreak(const SentinelVerdict& verdict);

private:
    static std::string fingerprint(const std::string& name, const std::map<std::string, std::string>& args,
                                   bool failed);
    const std::vector<SentinelAgent> agents_;
    mutable std::mutex mutex_;
    std::string lastToolKey_;
    int identicalFailStreak_ = 0;
    uint64_t lastProgressAt_;
    int unknownToolHits_ = 0;
    int64_t snapBreakCount_ = 0;
    int64_t totalToolObservations_ = 0;
    bool running_ = false;
    std::set<std::string> knownTools_;
};

// Tool results as the model and the UI see them, and the network settings of tool fetches.
struct ToolFastPath {
    // The result the model sees is never shortened.
    static const std::string& modelObservation(const std::string& result) { return result; }
    // At most maxChars characters, then "…".
    static std::string uiPreview(const std::string& text, size_t maxChars);

    struct NetworkSessionConfig {
        double requestTimeoutSeconds;
        double resourceTimeoutSeconds;
        int maxConnectionsPerHost;
        bool ephemeral; // no persistent caches, cookies or credentials
        bool waitsForConnectivity;
    };
    static NetworkSessionConfig networkSession(double timeoutSeconds) {
        return {timeoutSeconds, timeoutSeconds * 2, 8, true, false};
    }
};

} // namespace vivirov
