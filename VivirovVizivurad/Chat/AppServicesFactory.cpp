#include "VivirovVizivurad/Chat/AppServicesFactory.h"

#include <QCoreApplication>
#include <QThread>

#include "VivirovKit/Scheduler/TaskStore.h"
#include "VivirovKit/Tools/ToolRegistry.h"
#include "VivirovKit/Verification/UniversalASTVerifier.h"
#include "VivirovVizivurad/EngineHost/InProcessHost.h"
#include "VivirovVizivurad/Graph/GraphContext.h"
#include "VivirovVizivurad/SelfTest/SelfTestHooks.h"
#include "VivirovVizivurad/Store/ChatStore.h"
#include "VivirovVizivurad/Store/DatabaseManager.h"

namespace vivirov {

namespace {

// Stands in for the first-generation engine host until it is built into the
// app: it has no model and reports every load as failed.
class UnavailableInProcessHost final : public InProcessHost {
public:
    std::string modelPath() const override { return {}; }
    void setOnEntropy(std::function<void(float)>) override {}
    void start(StatusCallback onStatus) override { onStatus("Derevududuv engine failed to load"); }
    void swap(const std::string&, StatusCallback onStatus) override { onStatus("load failed"); }
    void shutdownForTermination() override {}
};

} // namespace

AppServicesFactory::AppServicesFactory() = default;
AppServicesFactory::~AppServicesFactory() = default;

void AppServicesFactory::prepare() {
    database_ = &DatabaseManager::defaultStore();
    router_ = std::make_unique<ProviderRouter>();
    // Built here on a worker; it lives on the GUI thread.
    if (auto* app = QCoreApplication::instance()) router_->moveToThread(app->thread());
}

std::unique_ptr<ChatStore> AppServicesFactory::makeChatStore() { return std::make_unique<ChatStore>(); }
std::unique_ptr<GraphContext> AppServicesFactory::makeGraph() { return std::make_unique<GraphContext>(); }
std::unique_ptr<TaskStore> AppServicesFactory::makeTaskStore() { return TaskStore::open(TaskStore::defaultPath()); }
std::unique_ptr<CodeVerifier> AppServicesFactory::makeCodeVerifier() {
    return std::make_unique<UniversalASTVerifier>();
}
std::unique_ptr<ToolRegistry> AppServicesFactory::makeToolRegistry() { return std::make_unique<ToolRegistry>(); }
std::unique_ptr<InProcessHost> AppServicesFactory::makeInProcessHost() {
    return std::make_unique<UnavailableInProcessHost>();
}
DatabaseManager& AppServicesFactory::database() { return *database_; }
std::unique_ptr<ProviderRouter> AppServicesFactory::takeRouter() { return std::move(router_); }
std::function<StoredProviderKeys()> AppServicesFactory::keyReader() { return &ProviderRouter::readStoredKeys; }
std::unique_ptr<SelfTestHooks> AppServicesFactory::makeSelfTestHooks() { return std::make_unique<SelfTestHooks>(); }

} // namespace vivirov
