#pragma once
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>

#include "VivirovVizivurad/HostTools/HostToolBackends.h"

namespace vivirov {

class HTTPSession;

// Hands a query to the local swarm backend (POST 127.0.0.1:8009/unleash_swarm)
// and answers its reply as text for the model. Blocks the calling worker for
// as long as the backend takes, up to 60 s of silence.
class DerovSwarmBackend : public SwarmBackend {
public:
    static constexpr int defaultPort = 8009;
    // Characters of reply kept for the model, on success and failure alike.
    static constexpr size_t replyLimit = 6000;

    // The port is fixed in use; tests point it at their own server.
    explicit DerovSwarmBackend(int port = defaultPort);
    ~DerovSwarmBackend() override;

    std::string dispatchDerovSwarm(const std::string& query, int64_t agentCount, std::stop_token stop) override;

private:
    int port_;
    std::unique_ptr<HTTPSession> session_;
};

} // namespace vivirov
