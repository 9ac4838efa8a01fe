#pragma once
#include <functional>
#include <memory>

#include "VivirovVizivurad/HostTools/HostToolCatalogue.h"
#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"
#include "VivirovVizivurad/Providers/ProviderRouter.h"

namespace vivirov {

class ChatStore;
class CodeVerifier;
class DatabaseManager;
class GraphContext;
class InProcessHost;
class SelfTestHooks;
class TaskStore;
class ToolRegistry;

// Where the chat controller's services come from: the app's factory builds
// the real ones, tests fill one with fakes.
class ServicesFactory {
public:
    virtual ~ServicesFactory() = default;

    // On a worker thread, before the controller is built: everything that
    // blocks (opening the conversation store, the router's server probe and
    // key-store reads), so the window's event loop keeps turning meanwhile.
    virtual void prepare() = 0;

    // On the GUI thread, called by the controller in this order.
    virtual std::unique_ptr<ChatStore> makeChatStore() = 0;
    virtual std::unique_ptr<GraphContext> makeGraph() = 0;
    // Null when the task store cannot be opened.
    virtual std::unique_ptr<TaskStore> makeTaskStore() = 0;
    virtual std::unique_ptr<CodeVerifier> makeCodeVerifier() = 0;
    // The host-tool executor, built before the registry.
    virtual std::shared_ptr<ToolExecutionManager> makeToolExecutor() { return std::make_shared<ToolExecutionManager>(); }
    virtual std::unique_ptr<ToolRegistry> makeToolRegistry() = 0;
    virtual std::unique_ptr<InProcessHost> makeInProcessHost() = 0;
    // Opened by prepare(); outlives the controller.
    virtual DatabaseManager& database() = 0;
    // Built by prepare(), handed over once.
    virtual std::unique_ptr<ProviderRouter> takeRouter() = 0;
    // Reads the router's keys; the controller calls it off the GUI thread.
    virtual std::function<StoredProviderKeys()> keyReader() = 0;
    virtual std::unique_ptr<SelfTestHooks> makeSelfTestHooks() = 0;
    // What the host tools beside the executor work through (the controller
    // fills in the executor and its own permission card).
    virtual HostToolCatalogue::Services makeHostToolServices() { return HostToolCatalogue::kitServices(); }
};

} // namespace vivirov
