#pragma once
// Services for the chat controller with a log of what was asked of them, in
// order, and an in-process host that reports from a thread of its own.
#include <QCoreApplication>
#include <QSettings>

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VivirovKit/Scheduler/TaskStore.h"
#include "VivirovKit/Tools/ToolRegistry.h"
#include "VivirovKit/Verification/UniversalASTVerifier.h"
#include "VivirovVizivurad/Chat/ServicesFactory.h"
#include "VivirovVizivurad/EngineHost/InProcessHost.h"
#include "VivirovVizivurad/Graph/GraphContext.h"
#include "VivirovVizivurad/SelfTest/SelfTestHooks.h"
#include "VivirovVizivurad/Store/ChatStore.h"
#include "VivirovVizivurad/Store/DatabaseManager.h"
#include "tests/support/TempDir.h"

namespace vivirov::test {

// What the services saw, shared by the factory, its products and the test.
struct ServiceLog {
    std::mutex mutex;
    std::vector<std::string> entries;
    // The host's callbacks, kept so a test can fire them after the controller is gone.
    InProcessHost::StatusCallback onStatus;
    std::function<void(float)> onEntropy;
    int keyReads = 0;

    void add(std::string entry) {
        std::lock_guard lock(mutex);
        entries.push_back(std::move(entry));
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return entries;
    }
};

// Reports each status of `script` from its own thread, as the engine host does.
class FakeHost final : public InProcessHost {
public:
    FakeHost(std::shared_ptr<ServiceLog> log, std::vector<std::string> script)
        : log_(std::move(log)), script_(std::move(script)) {}
    ~FakeHost() override {
        if (thread_.joinable()) thread_.join();
        if (swapThread_.joinable()) swapThread_.join();
    }
    std::string modelPath() const override { return "/models/fake.gguf"; }
    void setOnEntropy(std::function<void(float)> onEntropy) override {
        log_->add("inproc.setOnEntropy");
        log_->onEntropy = std::move(onEntropy);
    }
    void start(StatusCallback onStatus) override {
        log_->add("inproc.start");
        log_->onStatus = onStatus;
        thread_ = std::thread([onStatus, script = script_] {
            for (const auto& status : script) onStatus(status);
        });
    }
    // Reports as the engine does: "model GGUF not found" for a missing file,
    // else the loading line and "ready".
    void swap(const std::string& path, StatusCallback onStatus) override {
        log_->add("inproc.swap(" + path + ")");
        if (swapThread_.joinable()) swapThread_.join();
        swapThread_ = std::thread([onStatus, path] {
            if (!std::filesystem::exists(path)) return onStatus("model GGUF not found");
            onStatus("loading " + std::filesystem::path(path).filename().string() + "\xE2\x80\xA6");
            onStatus("ready");
        });
    }
    void shutdownForTermination() override { log_->add("inproc.shutdown"); }

private:
    std::shared_ptr<ServiceLog> log_;
    std::vector<std::string> script_;
    std::thread thread_;
    std::thread swapThread_;
};

class RecordingGraph final : public GraphContext {
public:
    explicit RecordingGraph(std::shared_ptr<ServiceLog> log) : log_(std::move(log)) {}
    void bootstrap(const std::optional<std::string>& vaultDir) override {
        log_->add(vaultDir ? "graph.bootstrap(" + *vaultDir + ")" : "graph.bootstrap(default)");
    }

private:
    std::shared_ptr<ServiceLog> log_;
};

class RecordingHooks final : public SelfTestHooks {
public:
    explicit RecordingHooks(std::shared_ptr<ServiceLog> log) : log_(std::move(log)) {}
    void applyVerifyHooks(QuintoraViewModel&) override { log_->add("hook.applyVerifyHooks"); }
    void seedDemoTasksIfRequested(QuintoraViewModel&) override { log_->add("hook.seedDemoTasks"); }
    void runDemoIfRequested(QuintoraViewModel&) override { log_->add("hook.demo"); }
    void runBrowserE2EIfRequested(QuintoraViewModel&) override { log_->add("hook.browserE2E"); }
    void runFabGuardE2EIfRequested(QuintoraViewModel&) override { log_->add("hook.fabGuardE2E"); }
    void runEngineDemoIfRequested(QuintoraViewModel&) override { log_->add("hook.engineDemo"); }
    void runDerevududuvProviderProofIfRequested(QuintoraViewModel&) override { log_->add("hook.providerProof"); }
    void runAgenticPillarE2EIfRequested(QuintoraViewModel&) override { log_->add("hook.agenticPillarE2E"); }
    void runUIChatProofIfRequested(QuintoraViewModel&) override { log_->add("hook.uiChatProof"); }
    void runKillRaceE2EIfRequested(QuintoraViewModel&) override { log_->add("hook.killRaceE2E"); }

private:
    std::shared_ptr<ServiceLog> log_;
};

// The router is real (over settings in a temporary file; the caller sets
// VIVIROV_PROVIDER); the store is a temporary database.
class FakeServices : public ServicesFactory {
public:
    FakeServices(const TempDir& dir, std::vector<std::string> hostScript = {"ready"})
        : dir_(dir), hostScript_(std::move(hostScript)) {}

    std::shared_ptr<ServiceLog> log = std::make_shared<ServiceLog>();
    // Runs in prepare(), before anything is built (lets a test hold it up).
    std::function<void()> beforePrepare;

    void prepare() override {
        if (beforePrepare) beforePrepare();
        log->add("prepare");
        database_ = std::make_unique<DatabaseManager>(dir_.file("vivirov.sqlite"));
        router_ = std::make_unique<ProviderRouter>(
            std::make_unique<QSettings>(QString::fromStdString(dir_.file("defaults.ini")), QSettings::IniFormat));
        if (auto* app = QCoreApplication::instance()) router_->moveToThread(app->thread());
    }
    std::unique_ptr<ChatStore> makeChatStore() override {
        log->add("chatStore");
        return std::make_unique<ChatStore>(dir_.file("chat-history.json"));
    }
    std::unique_ptr<GraphContext> makeGraph() override {
        log->add("graph");
        return std::make_unique<RecordingGraph>(log);
    }
    std::unique_ptr<TaskStore> makeTaskStore() override {
        log->add("taskStore");
        return TaskStore::open(dir_.file("tasks.tkg"));
    }
    std::unique_ptr<CodeVerifier> makeCodeVerifier() override {
        log->add("codeVerifier");
        return std::make_unique<UniversalASTVerifier>();
    }
    std::unique_ptr<ToolRegistry> makeToolRegistry() override {
        log->add("toolRegistry");
        return std::make_unique<ToolRegistry>();
    }
    std::unique_ptr<InProcessHost> makeInProcessHost() override {
        log->add("inproc");
        return std::make_unique<FakeHost>(log, hostScript_);
    }
    DatabaseManager& database() override {
        log->add("database");
        return *database_;
    }
    std::unique_ptr<ProviderRouter> takeRouter() override {
        log->add("router");
        return std::move(router_);
    }
    std::function<StoredProviderKeys()> keyReader() override {
        return [log = log] {
            {
                std::lock_guard lock(log->mutex);
                ++log->keyReads;
            }
            return StoredProviderKeys{};
        };
    }
    std::unique_ptr<SelfTestHooks> makeSelfTestHooks() override {
        log->add("hooks");
        return std::make_unique<RecordingHooks>(log);
    }

    DatabaseManager& store() { return *database_; }

private:
    const TempDir& dir_;
    std::vector<std::string> hostScript_;
    std::unique_ptr<DatabaseManager> database_;
    std::unique_ptr<ProviderRouter> router_;
};

} // namespace vivirov::test
