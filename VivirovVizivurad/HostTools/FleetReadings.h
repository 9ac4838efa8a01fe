#pragma once
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "VivirovKit/Fleet/ModelRoute.h"

namespace vivirov {

// What the fleet tools read of the local model servers; kit() is the kit's
// router, lifecycle manager and swap reading, tests put fakes in its place.
// Every call may block on probes; never call it on the GUI thread.
class FleetReadings {
public:
    virtual ~FleetReadings() = default;
    // Fleet key -> whether it answered.
    virtual std::map<std::string, bool> fleetStatus() = 0;
    virtual ModelRoute route(ModelRouteKind kind) = 0;
    // The memory pressure line.
    virtual std::string memoryStatusLine() = 0;
    virtual void refreshHealth() = 0;
    virtual std::vector<std::string> lifecycleStatusLines() = 0;

    static std::shared_ptr<FleetReadings> kit();
};

} // namespace vivirov
