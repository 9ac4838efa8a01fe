#include "VivirovVizivurad/EngineHost/CognitiveYieldController.h"

#include <QCoreApplication>

#include <string_view>

#include "VivirovKit/Scheduler/AgentScheduler.h"
#include "VivirovKit/Support/Clock.h"
#include "VivirovVizivurad/ChatColumn/FrameGovernor.h"
#include "VivirovVizivurad/Dashboards/AgentActivityModel.h"
#include "VivirovVizivurad/EngineHost/ClockTimer.h"
#include "VivirovVizivurad/EngineHost/VMEngineGateway.h"
#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"
#include "engine/include/vm_engine_v2.h"

namespace vivirov {

namespace {

ClockTimer& timerOf(const CognitiveYieldController::Services& s) { return s.timer ? *s.timer : ClockTimer::shared(); }

} // namespace

CognitiveYieldController& CognitiveYieldController::shared() {
    static auto* instance = [] {
        auto* controller = new CognitiveYieldController(Services{});
        if (QCoreApplication* app = QCoreApplication::instance()) controller->moveToThread(app->thread());
        return controller;
    }();
    return *instance;
}

CognitiveYieldController::CognitiveYieldController(Services services, QObject* parent)
    : QObject(parent),
      services_(std::move(services)),
      idleTicker_(timerOf(services_)),
      breathTicker_(timerOf(services_)),
      lastActivityNanos_(now()) {}

uint64_t CognitiveYieldController::now() const {
    return (services_.clock ? *services_.clock : Clock::current()).uptimeNanos();
}

std::vector<uint32_t> CognitiveYieldController::idlePrompt() {
    std::vector<uint32_t> ids;
    for (unsigned char c : std::string_view(idlePromptText).substr(0, 64)) ids.push_back(uint32_t(c & 0x7F));
    return ids;
}

void CognitiveYieldController::install() {
    if (idleTicker_.isRunning()) return;
    idleTicker_.start(idleProbeNanos, [this] { probeIdle(); });
    breathHot_ = true;
    breathTicker_.start(breathHotNanos, [this] { breathTick(); });
}

void CognitiveYieldController::uninstall() {
    idleTicker_.stop();
    breathTicker_.stop();
    sendBreath(0);
    stopBackgroundOptimization();
}

void CognitiveYieldController::noteUserActivity() {
    lastActivityNanos_ = now();
    if (isBackgroundOptimizing_) stopBackgroundOptimization();
}

uint64_t CognitiveYieldController::signalInterrupt() {
    const uint64_t t0 = now();
    ++interruptCount_;
    emit changed();
    if (isBackgroundOptimizing_) stopBackgroundOptimization();
    // Resumes parked agents and fills the free slots at once.
    (services_.scheduler ? *services_.scheduler : AgentScheduler::shared()).tick();
    const uint64_t latency = now() - t0;
    lastYieldLatencyNanos_ = latency;
    emit changed();
    noteUserActivity();
    return latency;
}

void CognitiveYieldController::probeIdle() {
    const double idleSeconds = double(now() - lastActivityNanos_) / 1e9;
    if (idleSeconds >= idleThresholdSeconds && !isBackgroundOptimizing_) startBackgroundOptimization();
}

void CognitiveYieldController::startBackgroundOptimization() {
    if (isBackgroundOptimizing_) return;
    VizivuradEngine& engine = services_.engine ? *services_.engine : VizivuradEngine::shared();
    if (!engine.isReady()) return; // the next probe tries again
    isBackgroundOptimizing_ = true;
    emit changed();
    const std::vector<uint32_t> prompt = idlePrompt();
    // One batch per idle spell: a stop meanwhile does not cut the batch short.
    for (int64_t i = 0; i < maxBackgroundAgents; ++i) {
        engine.submitBackground(prompt, [](uint32_t) {}, [] {});
        ++backgroundAgentsSpawned_;
        emit changed();
    }
}

void CognitiveYieldController::stopBackgroundOptimization() {
    if (!isBackgroundOptimizing_) return;
    isBackgroundOptimizing_ = false;
    emit changed();
}

void CognitiveYieldController::breathTick() {
    FrameGovernor& frames = services_.frames ? *services_.frames : FrameGovernor::shared();
    const int deferred = frames.deferredThisFrame();
    frames.tick();
    sendBreath(deferred > 0 ? breathPauseMicros : 0);
    const bool running = (services_.activity ? *services_.activity : AgentActivityModel::shared()).isRunning();
    if (running == breathHot_ || !breathTicker_.isRunning()) return;
    breathHot_ = running;
    breathTicker_.setInterval(running ? breathHotNanos : breathColdNanos);
}

void CognitiveYieldController::sendBreath(uint32_t micros) {
    if (services_.setBreath) services_.setBreath(micros);
    else vivirov_vm_v2_set_ui_breath_us(micros);
}

} // namespace vivirov
