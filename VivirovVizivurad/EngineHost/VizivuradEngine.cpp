#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>

#include <charconv>
#include <future>

#include "VivirovKit/Support/Clock.h"
#include "VivirovKit/Support/Env.h"
#include "VivirovKit/Support/Log.h"
#include "VivirovKit/Support/WorkerPool.h"
#include "VivirovVizivurad/EngineHost/ClockTimer.h"
#include "VivirovVizivurad/EngineHost/CognitiveYieldController.h"
#include "VivirovVizivurad/EngineHost/EngineTeardownRegistry.h"
#include "VivirovVizivurad/EngineHost/GuiThread.h"
#include "VivirovVizivurad/EngineHost/VMEngineGateway.h"
#include "VivirovVizivurad/Dashboards/AgentActivityModel.h"
#include "engine/include/vm_engine_v2.h"
#include "engine/include/vm_gpu.h"

namespace vivirov {

namespace {

constexpr const char* kLoadingText = "Loading local model\xE2\x80\xA6 (this can take a minute)";
constexpr uint64_t kTelemetryHotNanos = 500'000'000;
constexpr uint64_t kTelemetryColdNanos = 4'000'000'000;

// Switches of headless self-tests that want the scaffold whatever is installed.
constexpr const char* kHeadlessGates[] = {"VIVIROV_FORCE_SCAFFOLD", "VIVIROV_MULTIPLEXING_GATE", "VIVIROV_GATE6",
                                          "VIVIROV_BYTES_E2E", "VIVIROV_COALESCER_PROOF"};

bool isExactlyOne(const char* name) { return env::string(name) == std::optional<std::string>("1"); }

// Two decimals whatever the process's locale.
std::string fixed2(double value) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 2);
    return ec == std::errc() ? std::string(buf, end) : std::string("0.00");
}

} // namespace

VizivuradEngine& VizivuradEngine::shared() {
    // Lives until the process ends, like the engine it fronts; belongs to the
    // GUI thread whichever thread asks first.
    static auto* instance = [] {
        auto* engine = new VizivuradEngine(Services{});
        if (QCoreApplication* app = QCoreApplication::instance()) engine->moveToThread(app->thread());
        return engine;
    }();
    return *instance;
}

VizivuradEngine::VizivuradEngine(Services services, QObject* parent)
    : QObject(parent), services_(std::move(services)), matrixTicker_(timer()) {}

VizivuradEngine::~VizivuradEngine() = default;

AgentScheduler& VizivuradEngine::scheduler() const {
    return services_.scheduler ? *services_.scheduler : AgentScheduler::shared();
}
Clock& VizivuradEngine::clock() const { return services_.clock ? *services_.clock : Clock::current(); }
ClockTimer& VizivuradEngine::timer() const { return services_.timer ? *services_.timer : ClockTimer::shared(); }
CognitiveYieldController& VizivuradEngine::yield() const {
    return services_.yield ? services_.yield() : CognitiveYieldController::shared();
}

void VizivuradEngine::setLoadingStatus(const QString& status) {
    if (status == loadingStatus_) return;
    loadingStatus_ = status;
    emit loadingStatusChanged();
}

void VizivuradEngine::setActiveEnginePath(EnginePath path) {
    if (path == activeEnginePath_) return;
    activeEnginePath_ = path;
    emit activeEnginePathChanged();
}

void VizivuradEngine::setTelemetry(const Telemetry& telemetry) {
    if (telemetry == telemetry_) return;
    telemetry_ = telemetry;
    emit telemetryChanged();
}

void VizivuradEngine::updateTelemetry(const std::function<void(Telemetry&)>& change) {
    Telemetry next = telemetry_;
    change(next);
    setTelemetry(next);
}

void VizivuradEngine::setGenerationPhase(GenerationPhase phase) {
    updateTelemetry([&](Telemetry& t) { t.generationPhase = phase; });
}

std::shared_ptr<VMEngineGateway> VizivuradEngine::gateway() const {
    std::lock_guard lock(gatewayMutex_);
    return gateway_;
}

bool VizivuradEngine::isReady() const {
    auto gw = gateway();
    return gw && gw->isReady();
}

// MARK: bootstrap

void VizivuradEngine::bootstrap(const std::optional<std::string>& modelPath, std::function<void()> done) {
    if (gateway()) {
        if (done) done();
        return;
    }
    if (done) bootstrapWaiters_.push_back(std::move(done));
    // One engine at a time: a second load could not share the first's memory.
    if (bootstrapping_) return;
    bootstrapping_ = true;
    runBootstrap(modelPath);
}

void VizivuradEngine::bootstrapAndWait(const std::optional<std::string>& modelPath) {
    if (onGuiThread()) {
        // The load finishes through the GUI thread's event queue: keep it turning.
        bool ended = false;
        QEventLoop loop;
        bootstrap(modelPath, [&] {
            ended = true;
            loop.quit();
        });
        if (!ended) loop.exec();
        return;
    }
    auto finished = std::make_shared<std::promise<void>>();
    std::future<void> ended = finished->get_future();
    postToGuiThread([this, modelPath, finished] { bootstrap(modelPath, [finished] { finished->set_value(); }); });
    ended.wait();
}

void VizivuradEngine::runBootstrap(const std::optional<std::string>& modelPath) {
    for (const char* gate : kHeadlessGates) {
        if (!isExactlyOne(gate)) continue;
        logLine("[vizivurad-engine] headless gate env \xE2\x86\x92 scaffold://no-model (skip ZOV4 hardcode)");
        bootstrapScaffold();
        finishBootstrap();
        return;
    }
    vivirov_vm_v2_apply_working_recipe();
    const ResolvedModel resolved = services_.resolve ? services_.resolve(modelPath) : resolveModelPath(modelPath);
    updateTelemetry([&](Telemetry& t) { t.lastModelResolution = QString::fromStdString(resolved.summary); });
    logLine("[vizivurad-engine] model resolution: " + resolved.summary);
    switch (resolved.kind) {
    case ResolvedModel::Kind::qwen2GGUF:
        bootstrapLive(resolved.path, EnginePath::qwen2GGUF, "qwen2");
        return;
    case ResolvedModel::Kind::deepseek4GGUF:
        bootstrapLive(resolved.path, EnginePath::deepseek4GGUF, "deepseek4/ZOV4Forward");
        return;
    case ResolvedModel::Kind::scaffold:
        bootstrapScaffold();
        finishBootstrap();
        return;
    }
}

void VizivuradEngine::bootstrapScaffold() {
    // The scaffold loads no model: made here, on the GUI thread.
    auto gw = services_.makeGateway ? services_.makeGateway(kScaffoldPath) : VMEngineGateway::create(kScaffoldPath);
    if (gw && gw->isReady()) {
        attach(gw);
        updateTelemetry([](Telemetry& t) { t.activeModelPath = QString::fromUtf8(kScaffoldPath); });
        setActiveEnginePath(EnginePath::scaffold);
        logLine("[vizivurad-engine] scaffold \xE2\x86\x92 vivirov_vm_v2_create(\"scaffold://no-model\")");
        scheduler().setEngine(gw);
        yield().install();
        return;
    }
    setActiveEnginePath(EnginePath::none);
    logLine("[vizivurad-engine] scaffold create() FAILED \xE2\x80\x94 engine offline");
}

void VizivuradEngine::bootstrapLive(const std::string& path, EnginePath enginePath, const std::string& label) {
    setLoadingStatus(QString::fromUtf8(kLoadingText));
    QPointer<VizivuradEngine> self(this);
    auto make = services_.makeGateway;
    WorkerPool::shared().submit([self, make, path, enginePath, label] {
        auto gw = make ? make(path) : VMEngineGateway::create(path);
        postToGuiThread([self, gw, path, enginePath, label] {
            if (self) self->finishLive(gw, path, enginePath, label);
        });
    });
}

void VizivuradEngine::finishLive(const std::shared_ptr<VMEngineGateway>& gw, const std::string& path,
                                 EnginePath enginePath, const std::string& label) {
    clearLoadingStatus();
    if (!gw || !gw->isReady()) {
        logLine("[vizivurad-engine] " + label + " GGUF at \"" + path +
                "\" but create() failed \xE2\x86\x92 scaffold fallback");
        bootstrapScaffold();
        finishBootstrap();
        return;
    }
    attach(gw);
    updateTelemetry([&](Telemetry& t) { t.activeModelPath = QString::fromStdString(path); });
    setActiveEnginePath(enginePath);
    logLine("[vizivurad-engine] LIVE " + label + " \xE2\x86\x92 vivirov_vm_v2_create(\"" + path + "\")");
    scheduler().setEngine(gw);
    yield().install();
    if (enginePath == EnginePath::deepseek4GGUF && !isExactlyOne("VIVIROV_SKIP_TPS")) measureBatchTPS(16, 4);
    refreshMatrixStats();
    startMatrixTelemetry();
    finishBootstrap();
}

void VizivuradEngine::attach(const std::shared_ptr<VMEngineGateway>& gw) {
    {
        std::lock_guard lock(gatewayMutex_);
        gateway_ = gw;
    }
    gatewayHasEngine_ = true;
}

void VizivuradEngine::finishBootstrap() {
    bootstrapping_ = false;
    auto waiters = std::move(bootstrapWaiters_);
    bootstrapWaiters_.clear();
    for (auto& done : waiters) done();
}

// MARK: bench and counters

void VizivuradEngine::measureBatchTPS(int B, int nDecode, std::function<void(std::optional<double>)> done) {
    auto gw = gateway();
    if (!gw || !gw->isReady()) {
        updateTelemetry([](Telemetry& t) { t.lastBatchStatus = QStringLiteral("engine not ready"); });
        if (done) done(std::nullopt);
        return;
    }
    QPointer<VizivuradEngine> self(this);
    WorkerPool::shared().submit([self, gw, B, nDecode, done] {
        const auto result = gw->benchBatchTPS(B, nDecode);
        postToGuiThread([self, result, B, done] {
            if (!self) return;
            if (!result) {
                self->updateTelemetry(
                    [](Telemetry& t) { t.lastBatchStatus = QStringLiteral("bench failed (not ZOV4 or error)"); });
                if (done) done(std::nullopt);
                return;
            }
            const std::string text = batchTPSText(result->tps, result->tokens, result->wallS, B);
            self->updateTelemetry([&](Telemetry& t) {
                t.lastBatchTPS = result->tps;
                t.lastBatchWallS = result->wallS;
                t.lastBatchTokens = result->tokens;
                t.lastBatchStatus = QString::fromStdString(text);
            });
            logLine("[vizivurad-engine] batch TPS: " + text);
            if (done) done(result->tps);
        });
    });
}

std::string VizivuradEngine::batchTPSText(double tps, int tokens, double wallS, int B) {
    return fixed2(tps) + " TPS \xC2\xB7 " + std::to_string(tokens) + " tok \xC2\xB7 " + fixed2(wallS) + "s (B=" +
           std::to_string(B) + ")";
}

void VizivuradEngine::refreshMatrixStats() {
    uint64_t hits = 0, misses = 0;
    vmb_sg_stats(&hits, &misses);
    updateTelemetry([&](Telemetry& t) {
        t.matrixSgHits = hits;
        t.matrixSgMisses = misses;
    });
}

void VizivuradEngine::startMatrixTelemetry() {
    if (matrixTicker_.isRunning()) return;
    auto poll = [this] {
        ++matrixPolls_;
        refreshMatrixStats();
        // Frequent reads only while an agent turn runs: an idle app wakes rarely.
        AgentActivityModel& activity = services_.activity ? *services_.activity : AgentActivityModel::shared();
        return activity.isRunning() ? kTelemetryHotNanos : kTelemetryColdNanos;
    };
    const uint64_t first = poll();
    matrixTicker_.start(first, [this, poll] { matrixTicker_.setInterval(poll()); });
    if (didRegisterTelemetryTeardown_) return;
    didRegisterTelemetryTeardown_ = true;
    QPointer<VizivuradEngine> self(this);
    auto& registry = services_.teardown ? *services_.teardown : EngineTeardownRegistry::shared();
    registry.registerHook([self] {
        if (self) self->stopMatrixTelemetry();
    });
}

void VizivuradEngine::stopMatrixTelemetry() { matrixTicker_.stop(); }

} // namespace vivirov
