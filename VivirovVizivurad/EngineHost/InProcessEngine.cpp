#include "VivirovVizivurad/EngineHost/InProcessEngine.h"

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "VivirovKit/Support/Clock.h"
#include "VivirovKit/Support/Env.h"
#include "VivirovKit/Support/Log.h"
#include "VivirovKit/Support/Paths.h"
#include "VivirovKit/Support/SerialQueue.h"
#include "VivirovVizivurad/EngineHost/DerevududuvBrain.h"
#include "VivirovVizivurad/EngineHost/EngineTeardownRegistry.h"
#include "VivirovVizivurad/EngineHost/FastLaneAdvisor.h"
#include "VivirovVizivurad/Models/ModelDownloadManager.h"

namespace vivirov {

namespace fs = std::filesystem;

const char* const InProcessEngine::builtInModelPath = "/opt/vivirov-dev/models/Qwen2.5-1.5B-Instruct-Q8_0.gguf";

namespace {

std::mutex g_activePathMutex;
std::optional<std::string> g_activeModelPath;

void setActiveModelPath(const std::string& path) {
    std::lock_guard lock(g_activePathMutex);
    g_activeModelPath = path;
}

bool exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

// Every *.gguf (any case) of at least 64 MiB under `root`, in path order.
std::vector<std::string> modelFilesUnder(const std::string& root) {
    std::vector<std::string> found;
    std::error_code ec;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const fs::path& p = it->path();
        if (!FastLaneAdvisor::hasGGUFExtension(p.string())) continue;
        if (ModelDownloadManager::sizeOnDisk(p.string()) >= FastLaneAdvisor::kSmallestModelBytes)
            found.push_back(p.string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

} // namespace

// What the queued work shares with the host; jobs hold it while they run.
struct InProcessEngine::Core {
    std::weak_ptr<SerialQueue> io;
    mutable std::mutex mutex; // modelPath is read from any thread
    std::string modelPath;
    std::function<void(float)> onEntropy; // installed by the controller; the host never calls it
    std::shared_ptr<DerevududuvBrain> brain; // touched only on `io`
};

std::optional<std::string> InProcessEngine::activeModelPath() {
    std::lock_guard lock(g_activePathMutex);
    return g_activeModelPath;
}

std::string InProcessEngine::chooseModelPath() {
    std::string chosen;
    for (const char* name : {"QUINTORA_MODEL_PATH", "VIVIROV_MODEL_PATH"}) {
        auto value = env::string(name);
        if (value && !value->empty()) {
            chosen = *value;
            break;
        }
    }
    if (chosen.empty() && exists(builtInModelPath)) chosen = builtInModelPath;
    if (chosen.empty()) {
        const std::string modelsDir = ModelDownloadManager::modelsDir();
        int64_t smallest = -1;
        for (const std::string& root : {paths::home() + "/models", modelsDir}) {
            for (const std::string& path : modelFilesUnder(root)) {
                const int64_t size = ModelDownloadManager::sizeOnDisk(path);
                if (smallest < 0 || size < smallest) smallest = size, chosen = path;
            }
        }
        if (!chosen.empty()) {
            logLine(std::string("[vivirov] default GGUF missing (") + builtInModelPath +
                    ") \xE2\x80\x94 fell back to " + chosen);
        } else {
            chosen = builtInModelPath;
            logLine(std::string("[vivirov] default GGUF missing (") + builtInModelPath +
                    ") and no *.gguf in ~/models or " + modelsDir + " \xE2\x80\x94 set QUINTORA_MODEL_PATH");
        }
    }
    setActiveModelPath(chosen);
    return chosen;
}

InProcessEngine::InProcessEngine()
    : core_(std::make_shared<Core>()), io_(std::make_shared<SerialQueue>("com.dudive.vivirov.inproc-io")) {
    core_->io = io_;
    core_->modelPath = chooseModelPath();
}

InProcessEngine::~InProcessEngine() {
    // The queue finishes (and joins) on a thread of its own, so a load that
    // hangs never holds up whoever releases the host.
    std::thread([io = std::move(io_)]() mutable { io.reset(); }).detach();
}

std::string InProcessEngine::modelPath() const {
    std::lock_guard lock(core_->mutex);
    return core_->modelPath;
}

void InProcessEngine::setOnEntropy(std::function<void(float)> onEntropy) {
    std::lock_guard lock(core_->mutex);
    core_->onEntropy = std::move(onEntropy);
}

void InProcessEngine::start(StatusCallback onStatus) {
    io_->async([core = core_, onStatus = std::move(onStatus)] {
        const std::string path = [&] {
            std::lock_guard lock(core->mutex);
            return core->modelPath;
        }();
        if (!exists(path)) return onStatus("model GGUF not found \xE2\x80\x94 set QUINTORA_MODEL_PATH");
        auto brain = DerevududuvBrain::load(path);
        if (!brain) return onStatus("Derevududuv engine failed to load");
        core->brain = std::move(brain); // the previous engine goes only now
        EngineTeardownRegistry::shared().registerHook(
            [weak = std::weak_ptr<Core>(core)] { InProcessEngine::shutdown(weak); });
        onStatus("ready");
    });
}

void InProcessEngine::swap(const std::string& path, StatusCallback onStatus) {
    io_->async([core = core_, path, onStatus = std::move(onStatus)] {
        if (!exists(path)) return onStatus("model GGUF not found");
        onStatus("loading " + fs::path(path).filename().string() + "\xE2\x80\xA6");
        auto brain = DerevududuvBrain::load(path);
        if (!brain) return onStatus("load failed");
        core->brain = std::move(brain);
        {
            std::lock_guard lock(core->mutex);
            core->modelPath = path;
        }
        setActiveModelPath(path);
        onStatus("ready");
    });
}

void InProcessEngine::shutdownForTermination() { shutdown(core_); }

void InProcessEngine::shutdown(const std::weak_ptr<Core>& weak) {
    auto core = weak.lock();
    if (!core) return;
    auto io = core->io.lock();
    if (!io) return;
    // The release waits behind any load still on the queue; this thread waits
    // for it only a bounded time.
    auto released = std::make_shared<std::stop_source>();
    io->async([core, released] {
        core->brain.reset();
        released->request_stop();
    });
    core.reset();
    if (Clock::current().sleepFor(kTeardownWaitNanos, released->get_token()))
        logLine("vivirov: InProcessEngine teardown timed out at quit \xE2\x80\x94 proceeding with exit");
}

bool InProcessEngine::hasEngine() const {
    return io_->sync([core = core_] { return core->brain != nullptr; });
}

} // namespace vivirov
