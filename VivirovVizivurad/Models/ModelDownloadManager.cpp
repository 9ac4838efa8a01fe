#include "VivirovVizivurad/Models/ModelDownloadManager.h"

#include <sys/stat.h>

#include <QMetaObject>

#include <algorithm>
#include <filesystem>
#include <stop_token>

#include "VivirovKit/Providers/HTTPSession.h"
#include "VivirovKit/Support/Clock.h"
#include "VivirovKit/Support/Env.h"
#include "VivirovKit/Support/Log.h"
#include "VivirovKit/Support/Paths.h"
#include "VivirovVizivurad/EngineHost/FastLaneAdvisor.h"
#include "VivirovVizivurad/EngineHost/InProcessEngine.h"
#include "VivirovVizivurad/Models/DownloadRateWindow.h"
#include "VivirovVizivurad/Models/ModelTransfer.h"
#include "VivirovVizivurad/Platform/Keychain.h"

namespace vivirov {

namespace fs = std::filesystem;

struct ModelDownloadManager::Task {
    uint64_t serial = 0;
    ModelRef ref;
    std::stop_source stop;
};

struct ModelDownloadManager::Worker {
    std::atomic<bool> done{false};
    std::jthread thread;
};

ModelDownloadManager::ModelDownloadManager(std::string hubBase, TokenSource hubToken, QObject* parent)
    : QObject(parent), hubBase_(std::move(hubBase)), hubToken_(std::move(hubToken)) {
    if (!hubToken_) hubToken_ = [] { return Keychain::read("huggingface"); };
    refreshLocal();
}

ModelDownloadManager::~ModelDownloadManager() {
    for (auto& [id, task] : taskByID_) task->stop.request_stop();
    workers_.clear(); // each jthread asks its job to stop and joins it
}

std::string ModelDownloadManager::modelsDir() {
    std::string dir = paths::appData() + "/models";
    paths::ensureDirectory(dir);
    return dir;
}

std::string ModelDownloadManager::partialDir() { return paths::appData() + "/.partial"; }

std::string ModelDownloadManager::destinationPath(const ModelRef& ref) {
    return modelsDir() + "/" + ref.org + "/" + ref.repo + "/" + ref.file;
}

int64_t ModelDownloadManager::sizeOnDisk(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return int64_t(st.st_size);
}

std::vector<std::string> ModelDownloadManager::developerModelFolders() {
    return {paths::home() + "/models", paths::home() + "/Models"};
}

std::vector<std::string> ModelDownloadManager::scanLocalModels() {
    std::vector<fs::path> found;
    std::error_code ec;
    fs::recursive_directory_iterator it(modelsDir(), fs::directory_options::skip_permission_denied, ec), end;
    for (; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".gguf") found.push_back(it->path());
    for (const std::string& folder : developerModelFolders()) {
        std::error_code listError;
        for (fs::directory_iterator entry(folder, listError), last; !listError && entry != last;
             entry.increment(listError))
            if (entry->path().extension() == ".gguf") found.push_back(entry->path());
    }
    std::stable_sort(found.begin(), found.end(), [](const fs::path& a, const fs::path& b) {
        return a.filename().string() < b.filename().string();
    });
    std::vector<std::string> paths;
    paths.reserve(found.size());
    for (const fs::path& p : found) paths.push_back(p.string());
    return paths;
}

void ModelDownloadManager::post(std::function<void()> fn) {
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

void ModelDownloadManager::startWorker(std::function<void(std::stop_token)> job) {
    auto worker = std::make_unique<Worker>();
    Worker* w = worker.get();
    worker->thread = std::jthread([w, job = std::move(job)](std::stop_token stop) {
        job(stop);
        w->done = true;
    });
    workers_.push_back(std::move(worker));
}

void ModelDownloadManager::reapWorkers() {
    std::erase_if(workers_, [](const std::unique_ptr<Worker>& w) { return w->done.load(); });
}

void ModelDownloadManager::refreshLocal() {
    reapWorkers();
    const uint64_t generation = ++scanGeneration_;
    startWorker([this, generation](std::stop_token) {
        auto found = scanLocalModels();
        post([this, generation, found = std::move(found)]() mutable {
            if (generation != scanGeneration_) return; // a newer scan will publish
            localModels_ = std::move(found);
            emit localModelsChanged();
        });
    });
}

bool ModelDownloadManager::isDownloaded(const ModelRef& ref) const {
    std::error_code ec;
    return fs::exists(destinationPath(ref), ec);
}

void ModelDownloadManager::deleteModel(const std::string& path) {
    std::error_code ec;
    fs::remove(path, ec);
    refreshLocal();
}

void ModelDownloadManager::download(const ModelRef& ref) {
    const std::string id = ref.id();
    if (taskByID_.count(id)) return;
    reapWorkers();
    const std::string destination = destinationPath(ref);
    paths::ensureDirectory(modelsDir() + "/" + ref.org + "/" + ref.repo);

    auto task = std::make_shared<Task>();
    task->serial = nextSerial_++;
    task->ref = ref;
    taskByID_[id] = task;
    states_[id] = DownloadState{id, 0, ref.approxBytes, 0, false, std::nullopt};
    emit statesChanged();

    if (!session_) {
        HTTPSession::Configuration configuration;
        configuration.requestTimeout = kRequestTimeout;
        configuration.resourceTimeout = kResourceTimeout;
        session_ = std::make_shared<HTTPSession>(configuration);
    }
    HTTPRequest request;
    request.url = ref.hfURL(hubBase_);
    request.timeoutInterval = kRequestTimeout;
    request.maxRedirects = kMaxRedirects;

    startWorker([this, id, ref, destination, request, serial = task->serial, stop = task->stop.get_token(),
                 session = session_, hubToken = hubToken_](std::stop_token) mutable {
        // The key store may take a moment, so it is read here, off the GUI thread.
        std::optional<std::string> token = hubToken();
        if (token && !token->empty()) request.headers.emplace_back("Authorization", "Bearer " + *token);

        DownloadRateWindow window(Clock::current().uptimeNanos());
        uint64_t lastPost = 0;
        int64_t postedReceived = -1;
        int64_t lastReceived = 0, lastExpected = -1;
        auto onProgress = [&](int64_t received, int64_t expected) {
            lastReceived = received;
            lastExpected = expected;
            const uint64_t now = Clock::current().uptimeNanos();
            std::optional<double> rate = window.sample(now, received);
            // The first report and the first bytes always go; after that a
            // few times a second (and whenever a rate window closes).
            const bool first = postedReceived < 0 || (postedReceived == 0 && received > 0);
            if (!rate && !first && now - lastPost < kProgressNanos) return;
            postedReceived = received;
            lastPost = now;
            post([this, id, serial, received, expected, rate] { updateProgress(id, serial, received, expected, rate); });
        };
        auto outcome = ModelTransfer::run(*session, request, partialDir(), destination, stop, onProgress);
        if (outcome.kind == ModelTransfer::Outcome::Kind::cancelled) return;
        const bool placed = outcome.kind == ModelTransfer::Outcome::Kind::placed;
        post([this, id, serial, ref, placed, failure = outcome.failure, lastReceived, lastExpected] {
            if (placed) updateProgress(id, serial, lastReceived, lastExpected, std::nullopt);
            finish(id, serial, ref, placed, failure);
        });
    });
}

void ModelDownloadManager::cancel(const ModelRef& ref) {
    const std::string id = ref.id();
    auto it = taskByID_.find(id);
    if (it != taskByID_.end()) {
        it->second->stop.request_stop();
        taskByID_.erase(it);
    }
    if (states_.erase(id)) emit statesChanged();
}

bool ModelDownloadManager::isCurrent(const std::string& id, uint64_t serial) const {
    auto it = taskByID_.find(id);
    return it != taskByID_.end() && it->second->serial == serial;
}

void ModelDownloadManager::updateProgress(const std::string& id, uint64_t serial, int64_t received,
                                          int64_t expected, std::optional<double> rate) {
    if (!isCurrent(id, serial)) return;
    DownloadState& state = states_[id];
    state.id = id;
    state.received = received;
    state.total = expected > 0 ? expected : taskByID_.at(id)->ref.approxBytes;
    if (rate) state.bytesPerSec = *rate;
    emit statesChanged();
}

void ModelDownloadManager::finish(const std::string& id, uint64_t serial, const ModelRef& ref, bool placed,
                                  const std::string& failure) {
    if (!isCurrent(id, serial)) {
        if (placed) refreshLocal(); // a file landed although its download was cancelled late
        return;
    }
    // Removed on failure too, so the user can simply download again.
    taskByID_.erase(id);
    auto it = states_.find(id);
    if (it != states_.end()) {
        if (placed) it->second.finished = true;
        else it->second.failed = failure;
        emit statesChanged();
    }
    if (!placed) return;
    refreshLocal();
    suggestFastLane(ref, destinationPath(ref));
}

void ModelDownloadManager::suggestFastLane(const ModelRef& ref, const std::string& path) {
    if (env::string("VIVIROV_FASTLANE") == std::optional<std::string>("0")) return;
    const int64_t ram = FastLaneAdvisor::totalRAMBytes();
    if (FastLaneAdvisor::assess(path, sizeOnDisk(path), ram).lane != FastLaneVerdict::Lane::instant) return;
    std::optional<std::string> active = InProcessEngine::activeModelPath();
    std::error_code ec;
    if (!active || active->empty() || !fs::exists(*active, ec)) return;
    if (FastLaneAdvisor::assess(*active, sizeOnDisk(*active), ram).lane != FastLaneVerdict::Lane::swapBound) return;
    logLine("[vivirov] fast-lane: downloaded " + ref.file + " is instant while active " +
            fs::path(*active).filename().string() + " is swap-bound \xE2\x80\x94 suggesting Set Active");
    fastLaneSuggestion_ = FastLaneSuggestion{ref.displayName, path, *active};
    emit fastLaneSuggestionChanged();
}

} // namespace vivirov
