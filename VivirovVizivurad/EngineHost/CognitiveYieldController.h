#pragma once
#include <QObject>

#include <cstdint>
#include <functional>
#include <vector>

#include "VivirovVizivurad/EngineHost/GuiClockTicker.h"

namespace vivirov {

class AgentActivityModel;
class AgentScheduler;
class Clock;
class ClockTimer;
class FrameGovernor;
class VizivuradEngine;

// Shares the in-process engine between the user and background work: after a
// quiet spell it starts a batch of background agent jobs, a user job ends that
// at once, and a breath tick asks the engine to pause its GPU path briefly
// after a frame in which the interface turned updates away. User activity is
// exactly noteUserActivity(). GUI thread only; its timers fire there.
class CognitiveYieldController : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isBackgroundOptimizing READ isBackgroundOptimizing NOTIFY changed)
    Q_PROPERTY(qint64 interruptCount READ interruptCount NOTIFY changed)

public:
    static constexpr uint64_t idleProbeNanos = 1'000'000'000;
    static constexpr uint64_t breathHotNanos = 100'000'000;
    static constexpr uint64_t breathColdNanos = 1'000'000'000;
    static constexpr uint32_t breathPauseMicros = 1500;
    static constexpr const char* idlePromptText = "vizivurad-idle-optimize";

    struct Services {
        VizivuradEngine* engine = nullptr;
        AgentScheduler* scheduler = nullptr;
        Clock* clock = nullptr;
        ClockTimer* timer = nullptr;
        FrameGovernor* frames = nullptr;
        AgentActivityModel* activity = nullptr;
        // Where the breath goes; empty: the engine's UI breath.
        std::function<void(uint32_t)> setBreath;
    };

    // The app's controller, over the app's engine host; never released.
    static CognitiveYieldController& shared();
    explicit CognitiveYieldController(Services services, QObject* parent = nullptr);

    void install();
    void uninstall();
    bool isInstalled() const { return idleTicker_.isRunning(); }
    void noteUserActivity();
    // Yields the engine to a user job; returns the nanoseconds that took.
    uint64_t signalInterrupt();

    // Read-write settings; nothing in the app changes them.
    double idleThresholdSeconds = 30.0;
    int64_t maxBackgroundAgents = 6;

    bool isBackgroundOptimizing() const { return isBackgroundOptimizing_; }
    uint64_t lastYieldLatencyNanos() const { return lastYieldLatencyNanos_; }
    double lastYieldLatencyMs() const { return double(lastYieldLatencyNanos_) / 1e6; }
    int64_t interruptCount() const { return interruptCount_; }
    int64_t backgroundAgentsSpawned() const { return backgroundAgentsSpawned_; }
    // The breath timer's current cadence (fast while an agent turn runs).
    uint64_t breathIntervalNanos() const { return breathTicker_.interval(); }

    // The prompt of every background job: the idle text's bytes as token ids.
    static std::vector<uint32_t> idlePrompt();

signals:
    void changed();

private:
    void probeIdle();
    void breathTick();
    void startBackgroundOptimization();
    void stopBackgroundOptimization();
    uint64_t now() const;
    void sendBreath(uint32_t micros);

    Services services_;
    GuiClockTicker idleTicker_;
    GuiClockTicker breathTicker_;
    bool breathHot_ = true;
    uint64_t lastActivityNanos_ = 0;
    bool isBackgroundOptimizing_ = false;
    uint64_t lastYieldLatencyNanos_ = 0;
    int64_t interruptCount_ = 0;
    int64_t backgroundAgentsSpawned_ = 0;
};

} // namespace vivirov
