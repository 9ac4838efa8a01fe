#include "VivirovVizivurad/HostTools/DerovSwarmBackend.h"

#include <cstdio>

#include "VivirovKit/Providers/HTTPSession.h"
#include "VivirovKit/Providers/ProviderTypes.h"
#include "VivirovKit/Support/Cancellation.h"
#include "VivirovKit/Support/Json.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"

namespace vivirov {

DerovSwarmBackend::DerovSwarmBackend(int port) : port_(port), session_(std::make_unique<HTTPSession>()) {}
DerovSwarmBackend::~DerovSwarmBackend() = default;

std::string DerovSwarmBackend::dispatchDerovSwarm(const std::string& query, int64_t agentCount,
                                                  std::stop_token stop) {
    HTTPRequest request;
    request.method = "POST";
    request.url = "http://127.0.0.1:" + std::to_string(port_) + "/unleash_swarm";
    if (!HTTPSession::isSupportedURL(request.url)) return "error: invalid swarm url";

    const std::string line =
        "[vivirov] dispatch_derov_swarm EXEC: " + query + " with " + std::to_string(agentCount) + " agents\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);

    // The query goes as given (not trimmed) and the count as a JSON integer.
    request.headers = {{"Content-Type", "application/json"}};
    request.body = json::dump(json::Value{{"query", query}, {"agent_count", agentCount}});
    request.timeoutInterval = 60.0;

    int status = 0;
    std::string body;
    try {
        session_->perform(
            request, stop, [&](int s) { status = s; return true; },
            [&](std::string_view bytes) { body.append(bytes); return true; });
    } catch (const CancellationError& error) {
        return std::string("swarm_dispatched error: ") + error.what();
    } catch (const std::exception& error) {
        return std::string("swarm_dispatched error: ") + error.what();
    }
    const std::string text = ToolExecutionManager::cap(text::decodeUTF8Lossy(body), replyLimit);
    if (status == 200) return "swarm_dispatched successfully. Response:\n" + text;
    // A failure page is capped like a success: a large error page would
    // otherwise flood the model's context.
    return "swarm_dispatched failed with HTTP " + std::to_string(status) + ": " + text;
}

} // namespace vivirov
