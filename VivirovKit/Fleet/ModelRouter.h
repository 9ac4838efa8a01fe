#pragma once
#include <map>
#include <string>
#include <vector>

#include "VivirovKit/Fleet/ModelRoute.h"

namespace vivirov {

// Maps each kind of model work to its local endpoint. Keeps no state: every
// call probes afresh. All calls block (up to one probe wait, 0.8 s, since
// the fleet is probed all at once) and may run on any thread but the GUI's.
class ModelRouter {
public:
    struct FleetServer {
        std::string key; // "<name>:<usual port>"
        int port;        // usual port
    };

    // The fleet in probe order: rizeru:8080, bridge:8090, rozazu:8095,
    // micro:8100, vision:8081, whisper:8082, smollm:8083.
    static const std::vector<FleetServer>& fleet();

    // True when the URL answers within 0.8 s with an HTTP status below 500.
    // A text that is no URL is false without any request.
    static bool probe(const std::string& url);
    // Exactly the seven fleet keys, each mapped to whether it answered.
    static std::map<std::string, bool> fleetStatus();
    static ModelRoute route(ModelRouteKind kind);
};

} // namespace vivirov
