#include "VivirovVizivurad/HostTools/LocalResearchSwarm.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "VivirovKit/Agentic/SwapGuard.h"
#include "VivirovKit/Fleet/HealthProbe.h"
#include "VivirovKit/Fleet/LocalServerPorts.h"
#include "VivirovKit/Fleet/ModelRouter.h"
#include "VivirovKit/Providers/HTTPSession.h"
#include "VivirovKit/Support/Json.h"
#include "VivirovKit/Support/Regex.h"
#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {

struct Endpoint {
    std::string baseURL;
    std::string model;
    std::string label;
};

// The multi-drafter server when it answers its health probe, else the main
// local server.
Endpoint chooseEndpoint(const LocalResearchSwarm::Environment& environment) {
    if (environment.probe(HealthProbe::healthURL(8095)))
        return {"http://127.0.0.1:" + std::to_string(LocalServerPorts::resolve(8095)), "rozazu-rizeru-27b", "rozazu"};
    return {"http://127.0.0.1:" + std::to_string(LocalServerPorts::resolve(8080)), "rizeru-qwen3.6-27b",
            "rizeru-direct"};
}

std::string trimSpacesAndTabs(std::string_view piece) {
    const size_t begin = piece.find_first_not_of(" \t");
    if (begin == std::string_view::npos) return {};
    const size_t end = piece.find_last_not_of(" \t");
    return std::string(piece.substr(begin, end - begin + 1));
}

std::string askAngle(const Endpoint& endpoint, const std::string& angle, const std::string& question,
                     double timeout, std::stop_token stop) {
    HTTPRequest request;
    request.method = "POST";
    request.url = endpoint.baseURL + "/v1/chat/completions";
    if (!HTTPSession::isSupportedURL(request.url)) return "error: encode";
    const std::string prompt =
        "In 80 words max, research angle [" + angle + "] for: " + question + ". Facts only, no preamble.";
    request.headers = {{"Content-Type", "application/json"}};
    request.body = json::dump(json::Value{
        {"model", endpoint.model},
        {"messages", json::Value::array({json::Value{{"role", "user"}, {"content", prompt}}})},
        {"max_tokens", 200},
        {"temperature", 0.3},
        {"stream", false},
        {"chat_template_kwargs", json::Value{{"enable_thinking", false}}},
    });
    request.timeoutInterval = timeout;
    request.totalTimeout = timeout;

    std::string body;
    try {
        HTTPSession session;
        session.perform(
            request, stop, [](int) { return true; },
            [&](std::string_view bytes) { body.append(bytes); return true; });
    } catch (const std::exception& error) {
        return std::string("error: ") + error.what();
    }
    // The status is not looked at: an error object reads as a bad response.
    return LocalResearchSwarm::answerFromBody(body);
}

} // namespace

LocalResearchSwarm::Environment LocalResearchSwarm::Environment::live() {
    return {[] { return SwapGuard::usedMB(); }, [](const std::string& url) { return ModelRouter::probe(url); }};
}

std::vector<std::string> LocalResearchSwarm::angles(const std::string& perspectives) {
    std::vector<std::string> result;
    size_t start = 0;
    while (start <= perspectives.size()) {
        size_t comma = perspectives.find(',', start);
        if (comma == std::string::npos) comma = perspectives.size();
        std::string piece = trimSpacesAndTabs(std::string_view(perspectives).substr(start, comma - start));
        if (!piece.empty()) result.push_back(std::move(piece));
        start = comma + 1;
    }
    if (result.empty()) result = {"history", "market", "risks"};
    return result;
}

std::string LocalResearchSwarm::answerFromBody(const std::string& body) {
    json::Value document;
    try {
        document = json::Value::parse(body);
    } catch (const std::exception& error) {
        return std::string("error: ") + error.what();
    }
    if (!document.is_object()) return "error: bad response";
    const json::Value* choices = json::arrayMember(document, "choices");
    if (!choices || choices->empty() || !(*choices)[0].is_object()) return "error: bad response";
    const json::Value* message = json::objectMember((*choices)[0], "message");
    if (!message) return "error: bad response";
    auto content = json::stringMember(*message, "content");
    if (!content) return "error: bad response";
    static const Regex think("(?is)<think>[\\s\\S]*?</think>\\s*");
    std::string answer = think.isValid() ? think.replaceAll(*content, "") : *content;
    return text::trimmed(answer);
}

LocalResearchSwarm::LocalResearchSwarm(Environment environment) : environment_(std::move(environment)) {}

std::string LocalResearchSwarm::runResearchSwarm(const std::string& query, const std::string& perspectives,
                                                 std::stop_token stop) {
    const Environment& environment = environment_;
    const std::string question = text::trimmed(query);
    if (question.empty()) return "error: empty query";

    const auto firstReading = environment.usedSwapMB();
    if (firstReading && *firstReading > 6000)
        return "error: swap pressure critical (" + SwapGuard::statusLine(firstReading) +
               "). research_swarm disabled. Answer without swarm or free RAM first.";

    std::vector<std::string> chosen = angles(perspectives);
    // A fresh reading: pressure that rose since the first narrows the pass.
    const auto reading = environment.usedSwapMB();
    chosen.resize(size_t(SwapGuard::maxPerspectives(int(chosen.size()), reading)));
    // And one more for the parallelism and the header, as each question reads afresh.
    const auto latest = environment.usedSwapMB();
    const bool parallel = SwapGuard::allowParallelTools(latest) && chosen.size() >= 2;

    const Endpoint endpoint = chooseEndpoint(environment);
    std::string report = "swarm: " + std::to_string(chosen.size()) + " perspectives via " + endpoint.label +
                         " parallel=" + (parallel ? "true" : "false") + " " + SwapGuard::statusLine(latest);
    auto addSection = [&](const std::string& angle, const std::string& answer) {
        report += "\n\n### " + angle + "\n" + answer;
    };

    if (!parallel) {
        for (const auto& angle : chosen) addSection(angle, askAngle(endpoint, angle, question, environment.requestTimeout, stop));
        return report;
    }
    // One thread per angle; sections are added by this thread alone, in the
    // order the answers arrive.
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<std::pair<std::string, std::string>> done;
    std::vector<std::jthread> workers;
    for (const auto& angle : chosen)
        workers.emplace_back([&, angle] {
            std::string answer = askAngle(endpoint, angle, question, environment.requestTimeout, stop);
            std::lock_guard lock(mutex);
            done.emplace_back(angle, std::move(answer));
            arrived.notify_one();
        });
    for (size_t collected = 0; collected < chosen.size(); ++collected) {
        std::unique_lock lock(mutex);
        arrived.wait(lock, [&] { return !done.empty(); });
        auto [angle, answer] = std::move(done.front());
        done.pop_front();
        lock.unlock();
        addSection(angle, answer);
    }
    return report;
}

} // namespace vivirov
