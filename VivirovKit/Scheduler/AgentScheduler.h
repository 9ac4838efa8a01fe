#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "VivirovKit/Scheduler/EngineDispatching.h"

namespace vivirov {

class Clock;

// Places agent jobs on a fixed number of engine slots. User-lane jobs start
// by earliest deadline, background jobs first in, first out. A user job that
// finds every slot busy asks the engine to pause one background agent and
// takes the slot it leaves; parked agents continue when a slot is free and no
// user job needs it, before any new background job starts.
//
// Thread-safe: every method may be called from any thread. State changes
// under one mutex that is never held while calling the engine or a job's
// callbacks. Engine calls made on behalf of a caller (enqueue, tick,
// setEngine) happen on the caller's thread; the engine's completion and
// preemption reports change the state on the engine's thread and hand the
// follow-up placement to another thread, so the engine is never called back
// from inside its own callbacks.
class AgentScheduler {
public:
    enum class Lane { user, background };

    enum class AgentRole { coordinator, coder, reviewer, researcher, planner, tester };
    static constexpr std::array<AgentRole, 6> allRoles = {AgentRole::coordinator, AgentRole::coder,
                                                         AgentRole::reviewer,    AgentRole::researcher,
                                                         AgentRole::planner,     AgentRole::tester};

    struct AgentJob {
        uint32_t agentID = 0;
        AgentRole role = AgentRole::coordinator;
        std::vector<uint32_t> prompt;
        // Absolute uptime nanoseconds; only the user lane orders by it.
        uint64_t deadline = 0;
        Lane lane = Lane::user;
        // Carried with the job; the scheduler never reads it.
        std::optional<std::string> stateFilePath;
        std::function<void(uint32_t)> onToken;
        // Runs exactly once per enqueued job, on whichever thread ends it.
        std::function<void()> onDone;
    };

    struct AgentSlot {
        int64_t id = 0;
        std::optional<uint32_t> agentID; // none: the slot is free
        uint64_t quantumStart = 0;
        Lane lane = Lane::user;
        bool isFree() const { return !agentID.has_value(); }
    };

    struct ActiveAgent {
        uint32_t agentID = 0;
        AgentRole role = AgentRole::coordinator;
        Lane lane = Lane::user;
        bool operator==(const ActiveAgent&) const = default;
    };

    struct PausedAgent {
        uint32_t agentID = 0;
        int64_t slotIndex = 0; // the slot the agent was preempted from
        uint64_t preemptedAtNanos = 0;
    };

    struct SchedulerSnapshot {
        struct JobSummary {
            enum class State { running, queuedUser, queuedBackground, paused };
            uint32_t id = 0;
            AgentRole role = AgentRole::coordinator;
            Lane lane = Lane::user;
            State state = State::running;
            std::optional<int64_t> laneIndex; // the slot of a running job
            uint64_t deadlineNanos = 0;
            uint64_t startedAtNanos = 0;
        };
        int64_t laneCount = 0;
        int64_t runningCount = 0;
        int64_t queuedUserCount = 0;
        int64_t queuedBackgroundCount = 0;
        int64_t pausedCount = 0;
        int64_t completedTotal = 0;
        int64_t failedTotal = 0;
        int64_t preemptionsTotal = 0;
        uint64_t currentQuantumMicros = 0;
        std::vector<JobSummary> runningJobs;
        std::vector<JobSummary> queuedJobsPreview; // at most maxPreviewRows
        int64_t queuedPreviewTruncated = 0;
        uint64_t takenAtNanos = 0;
    };

    // What a scheduler runs on besides its engine; tests substitute each part.
    struct Context {
        // Source of "now"; null reads Clock::current() each time.
        Clock* clock = nullptr;
        // Runs the placement that an engine report asks for, off the
        // engine's thread. Empty: the shared worker pool.
        std::function<void(std::function<void()>)> post;
        // The cooperative yield of yieldIfExhausted. Empty: std::this_thread::yield.
        std::function<void()> yield;
    };

    // Reported only: a job keeps its slot until it ends or is preempted.
    static constexpr uint64_t quantumNanos = 500'000;
    static constexpr int64_t maxPaused = 4096;
    static constexpr size_t maxPreviewRows = 64;

    // The process-wide scheduler with 12 slots; it lives until the process ends.
    static AgentScheduler& shared();

    explicit AgentScheduler(int64_t slotCount, std::shared_ptr<EngineDispatching> engine = nullptr);
    AgentScheduler(int64_t slotCount, std::shared_ptr<EngineDispatching> engine, Context context);
    // Jobs still queued or parked are ended (their onDone runs); running jobs
    // end through the engine as usual.
    ~AgentScheduler();
    AgentScheduler(const AgentScheduler&) = delete;
    AgentScheduler& operator=(const AgentScheduler&) = delete;

    // Replaces any earlier engine, then starts what is queued.
    void setEngine(std::shared_ptr<EngineDispatching> engine);
    // 1, 2, ... wrapping modulo 2^32; ids are not checked for uniqueness.
    uint32_t mintAgentID();

    int64_t slotCount() const;
    int64_t freeLaneCount() const;
    int64_t pendingCount() const;
    int64_t pausedCount() const;
    // Busy slots in slot order.
    std::vector<ActiveAgent> activeAgents() const;

    // Queues the job, asks for a preemption when a user job finds every slot
    // busy, and starts what fits.
    void enqueue(AgentJob job);
    // Starts what fits (a retry after an engine refused a job).
    void tick();
    // Yields the calling thread once when any job is queued; otherwise
    // returns at once. Never waits for a slot.
    void yieldIfExhausted();
    // Runs one coordinator job and returns every token the engine delivered
    // for it, in order, across preemptions. Blocks until the job ends: never
    // call it on the GUI thread or from an engine callback.
    std::vector<uint32_t> runAgent(std::vector<uint32_t> prompt, Lane lane, uint64_t deadlineFromNowNanos);

    SchedulerSnapshot snapshot() const;

    // Multiplexing statistics.
    int64_t preemptCount() const;
    int64_t resumeCount() const;
    std::vector<uint64_t> preemptLatencyNanos() const;
    int64_t completedTotal() const;
    int64_t failedTotal() const;
    // Zeroes the preemption and resume counts and the latency samples;
    // completedTotal and failedTotal are kept.
    void resetMultiplexingStats();

private:
    class Core;
    std::shared_ptr<Core> core_;
};

const char* rawValue(AgentScheduler::AgentRole role);
std::optional<AgentScheduler::AgentRole> agentRoleFromRaw(std::string_view raw);
const char* systemPrompt(AgentScheduler::AgentRole role);
// The name of the role's symbol image.
const char* symbol(AgentScheduler::AgentRole role);

const char* rawValue(AgentScheduler::SchedulerSnapshot::JobSummary::State state);
std::optional<AgentScheduler::SchedulerSnapshot::JobSummary::State> jobStateFromRaw(std::string_view raw);

} // namespace vivirov
