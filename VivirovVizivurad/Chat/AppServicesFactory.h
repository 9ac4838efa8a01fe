#pragma once
#include "VivirovVizivurad/Chat/ServicesFactory.h"

namespace vivirov {

// The application's real services: the conversation store at its standard
// place, the router over the user's settings and key store, and the rest
// built fresh.
class AppServicesFactory final : public ServicesFactory {
public:
    AppServicesFactory();
    ~AppServicesFactory() override;

    void prepare() override;
    std::unique_ptr<ChatStore> makeChatStore() override;
    std::unique_ptr<GraphContext> makeGraph() override;
    std::unique_ptr<TaskStore> makeTaskStore() override;
    std::unique_ptr<CodeVerifier> makeCodeVerifier() override;
    std::unique_ptr<ToolRegistry> makeToolRegistry() override;
    std::unique_ptr<InProcessHost> makeInProcessHost() override;
    DatabaseManager& database() override;
    std::unique_ptr<ProviderRouter> takeRouter() override;
    std::function<StoredProviderKeys()> keyReader() override;
    std::unique_ptr<SelfTestHooks> makeSelfTestHooks() override;
    std::shared_ptr<ToolExecutionManager> makeToolExecutor() override;
    HostToolCatalogue::Services makeHostToolServices() override;

private:
    DatabaseManager* database_ = nullptr;
    std::unique_ptr<ProviderRouter> router_;
};

} // namespace vivirov
