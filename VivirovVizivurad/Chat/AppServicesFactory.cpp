#include "VivirovVizivurad/Chat/AppServicesFactory.h"

#include "VivirovVizivurad/Accessibility/ComputerUse.h"
#include "VivirovVizivurad/Browser/BrowserHub.h"
#include "VivirovVizivurad/HostTools/GitRepositoryCloner.h"
#include "VivirovVizivurad/HostTools/PublicWebTools.h"
#include "VivirovVizivurad/HostTools/DerovSwarmBackend.h"
#include "VivirovVizivurad/HostTools/LocalResearchSwarm.h"

#include <QCoreApplication>
#include <QThread>

#include "VivirovKit/Scheduler/TaskStore.h"
#include "VivirovKit/Tools/ToolRegistry.h"
#include "VivirovKit/Verification/UniversalASTVerifier.h"
#include "VivirovVizivurad/EngineHost/InProcessEngine.h"
#include "VivirovVizivurad/Graph/GraphContext.h"
#include "VivirovVizivurad/SelfTest/SelfTestHooks.h"
#include "VivirovVizivurad/Store/ChatStore.h"
#include "VivirovVizivurad/Store/DatabaseManager.h"

namespace vivirov {

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
    return std::make_unique<InProcessEngine>();
}
DatabaseManager& AppServicesFactory::database() { return *database_; }
std::unique_ptr<ProviderRouter> AppServicesFactory::takeRouter() { return std::move(router_); }
std::function<StoredProviderKeys()> AppServicesFactory::keyReader() { return &ProviderRouter::readStoredKeys; }
std::unique_ptr<SelfTestHooks> AppServicesFactory::makeSelfTestHooks() { return std::make_unique<SelfTestHooks>(); }

// The executor reaches the swarm backend and other apps' interfaces; the
// catalogue's research tool asks the local chat servers.
std::shared_ptr<ToolExecutionManager> AppServicesFactory::makeToolExecutor() {
    HostToolBackends backends;
    backends.web = std::make_shared<PublicWebTools>();
    backends.cloner = std::make_shared<GitRepositoryCloner>();
    backends.swarm = std::make_shared<DerovSwarmBackend>();
    backends.accessibility = ComputerUse::live();
    backends.browser = BrowserHub::shared();
    return std::make_shared<ToolExecutionManager>(std::move(backends));
}

HostToolCatalogue::Services AppServicesFactory::makeHostToolServices() {
    auto services = HostToolCatalogue::kitServices();
    services.research = std::make_shared<LocalResearchSwarm>();
    return services;
}

} // namespace vivirov
