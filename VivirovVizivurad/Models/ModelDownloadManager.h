#pragma once
#include <QObject>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "VivirovVizivurad/Models/DownloadState.h"
#include "VivirovVizivurad/Models/FastLaneSuggestion.h"
#include "VivirovVizivurad/Models/ModelRef.h"

namespace vivirov {

class HTTPSession;

// Keeps the list of local GGUF files, downloads catalogue models from the
// model hub into the models folder with live progress, and after a download
// may suggest making the new file the active model.
//
// Called on the GUI thread; the three published values change only there
// (each change is signalled). Transfers and folder walks run on workers.
class ModelDownloadManager : public QObject {
    Q_OBJECT
public:
    // The hub token; by default the key store's "huggingface" account.
    using TokenSource = std::function<std::optional<std::string>()>;

    static constexpr double kRequestTimeout = 60;      // seconds without data
    static constexpr double kResourceTimeout = 28800;  // seconds for a whole transfer
    static constexpr int kMaxRedirects = 10;
    // Progress reaches the GUI thread at most this often per download.
    static constexpr uint64_t kProgressNanos = 200'000'000;

    explicit ModelDownloadManager(std::string hubBase = ModelRef::kDefaultHubBase, TokenSource hubToken = {},
                                  QObject* parent = nullptr);
    ~ModelDownloadManager() override;

    const std::map<std::string, DownloadState>& states() const { return states_; }
    const std::vector<std::string>& localModels() const { return localModels_; }
    const std::optional<FastLaneSuggestion>& fastLaneSuggestion() const { return fastLaneSuggestion_; }

    // Rescans the local model files off the GUI thread, then publishes.
    void refreshLocal();
    // Starts a download; does nothing while one with the same id runs.
    void download(const ModelRef& ref);
    // Stops a running download, discards its bytes and forgets its state.
    void cancel(const ModelRef& ref);
    // Removes a local file (errors ignored) and rescans.
    void deleteModel(const std::string& path);
    bool isDownloaded(const ModelRef& ref) const;

    // <data>/com.dudive.vivirov/models, created (with its parents) when asked
    // for; a failure to create it is ignored. Follows the current data folder.
    static std::string modelsDir();
    // Where unfinished downloads are written: beside the models folder, on
    // the same file system, so placing a finished file is a rename.
    static std::string partialDir();
    // <modelsDir>/<org>/<repo>/<file>
    static std::string destinationPath(const ModelRef& ref);
    // The file's size in bytes; 0 when its attributes cannot be read.
    static int64_t sizeOnDisk(const std::string& path);
    // The two developer folders whose top level is listed besides the models
    // folder: ~/models and ~/Models.
    static std::vector<std::string> developerModelFolders();
    // Every "*.gguf" (case-sensitive) in the models folder's tree and the top
    // level of the developer folders, sorted by file name.
    static std::vector<std::string> scanLocalModels();

signals:
    void statesChanged();
    void localModelsChanged();
    void fastLaneSuggestionChanged();

private:
    struct Task;
    struct Worker;

    void startWorker(std::function<void(std::stop_token)> job);
    void reapWorkers();
    // Queues `fn` on the GUI thread; dropped if the manager is gone by then.
    void post(std::function<void()> fn);
    bool isCurrent(const std::string& id, uint64_t serial) const;
    void updateProgress(const std::string& id, uint64_t serial, int64_t received, int64_t expected,
                        std::optional<double> rate);
    void finish(const std::string& id, uint64_t serial, const ModelRef& ref, bool placed,
                const std::string& failure);
    void suggestFastLane(const ModelRef& ref, const std::string& path);

    std::string hubBase_;
    TokenSource hubToken_;
    std::shared_ptr<HTTPSession> session_; // created on first download

    std::map<std::string, DownloadState> states_;
    std::vector<std::string> localModels_;
    std::optional<FastLaneSuggestion> fastLaneSuggestion_;

    // GUI thread only: the one owner of the running downloads. A worker's
    // event is applied only while its task is still the current one for the
    // id, so a late event of a cancelled download re-creates nothing.
    std::map<std::string, std::shared_ptr<Task>> taskByID_;
    uint64_t nextSerial_ = 1;
    uint64_t scanGeneration_ = 0;
    std::vector<std::unique_ptr<Worker>> workers_;
};

} // namespace vivirov
