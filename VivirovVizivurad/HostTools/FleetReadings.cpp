#include "VivirovVizivurad/HostTools/FleetReadings.h"

#include "VivirovKit/Agentic/SwapGuard.h"
#include "VivirovKit/Fleet/ModelLifecycleManager.h"
#include "VivirovKit/Fleet/ModelRouter.h"

namespace vivirov {

namespace {

class KitFleetReadings final : public FleetReadings {
public:
    std::map<std::string, bool> fleetStatus() override { return ModelRouter::fleetStatus(); }
    ModelRoute route(ModelRouteKind kind) override { return ModelRouter::route(kind); }
    std::string memoryStatusLine() override { return SwapGuard::statusLine(); }
    void refreshHealth() override { ModelLifecycleManager::shared().refreshHealth(); }
    std::vector<std::string> lifecycleStatusLines() override { return ModelLifecycleManager::shared().statusLines(); }
};

} // namespace

std::shared_ptr<FleetReadings> FleetReadings::kit() { return std::make_shared<KitFleetReadings>(); }

} // namespace vivirov
