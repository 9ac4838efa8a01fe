// A stand-in for a local model server: listens on 127.0.0.1, answers
// GET /health with a chosen status (or never), streams an OpenAI-style chat
// reply on POST /v1/chat/completions, records its argv, and can exit early or
// ignore SIGTERM.
//
// Options come from the command line and then from "<argv[0]>.conf"
// (key=value lines), which wins: started under another program's name with
// that program's arguments, the stand-in still takes its orders from there.
//   port=N  health=200|404|503|never  argv-file=PATH  exit-after-ms=N
//   ignore-term=1  reply=TEXT
// Unknown arguments are ignored (they may be the imitated server's own, or a
// marker that shows in the process's command line).
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "tests/support/HttpTestServer.h"

using vivirov::test::HttpTestServer;
using vivirov::test::RecordedRequest;
using vivirov::test::ScriptedResponse;

namespace {

std::map<std::string, std::string> readOptions(int argc, char** argv) {
    std::map<std::string, std::string> options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) continue;
        std::string key = arg.substr(2);
        if (key == "ignore-term") options[key] = "1";
        else if (i + 1 < argc) options[key] = argv[++i];
    }
    std::ifstream conf(std::string(argv[0]) + ".conf");
    for (std::string line; std::getline(conf, line);) {
        auto eq = line.find('=');
        if (eq != std::string::npos) options[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return options;
}

std::string chatStream(const std::string& reply) {
    std::string body;
    for (size_t at = 0; at < reply.size(); at += 4) {
        nlohmann::json chunk = {{"choices", {{{"index", 0}, {"delta", {{"content", reply.substr(at, 4)}}}}}}};
        body += "data: " + chunk.dump() + "\n\n";
    }
    body += "data: " + nlohmann::json({{"choices", {{{"index", 0}, {"delta", nlohmann::json::object()},
                                                      {"finish_reason", "stop"}}}}}).dump() + "\n\n";
    return body + "data: [DONE]\n\n";
}

} // namespace

int main(int argc, char** argv) {
    auto options = readOptions(argc, argv);
    auto option = [&](const std::string& key, const std::string& fallback) {
        auto it = options.find(key);
        return it == options.end() ? fallback : it->second;
    };

    if (auto file = option("argv-file", ""); !file.empty()) {
        std::ofstream out(file, std::ios::trunc);
        for (int i = 0; i < argc; ++i) out << argv[i] << '\n';
    }
    if (option("ignore-term", "0") == "1") std::signal(SIGTERM, SIG_IGN);

    const std::string health = option("health", "200");
    const std::string reply = option("reply", "hello from the stand-in");
    HttpTestServer server(std::atoi(option("port", "0").c_str()));
    server.setHandler([&](const RecordedRequest& request) {
        if (request.path() == "/health") {
            if (health == "never") return ScriptedResponse::neverAnswer();
            return ScriptedResponse::json(std::atoi(health.c_str()), R"({"status":"ok"})");
        }
        if (request.method == "POST" && request.path() == "/v1/chat/completions")
            return ScriptedResponse::sse(chatStream(reply));
        return ScriptedResponse::text(404, "not found");
    });

    std::printf("stand-in listening on %d\n", server.port());
    std::fflush(stdout);

    if (auto ms = option("exit-after-ms", ""); !ms.empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(ms.c_str())));
        std::_Exit(3);
    }
    while (true) ::pause();
}
