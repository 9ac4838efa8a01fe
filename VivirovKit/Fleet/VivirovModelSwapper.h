#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "VivirovKit/Fleet/VivirovModelInfo.h"

namespace vivirov {

// Lists the model files under <home>/models and restarts the primary local
// server (llama-server on loopback port 8080) on a chosen model. Both block:
// run them off the GUI thread. Waits run on the process clock. Keeps no
// state: the next swap finds the running server by its port.
class VivirovModelSwapper {
public:
    static constexpr int kPort = 8080;
    static constexpr int64_t kMinimumModelBytes = 50'000'000;

    // Paths under the home folder ($HOME), read at each call.
    static std::string modelsRoot();   // <home>/models
    static std::string llamaServer();  // <home>/repos/llama.cpp/build/bin/llama-server
    static std::string startScript();  // <home>/models/Rizeru-27B-gguf/start_vivirov_clean.sh
    static std::string serverLogPath(); // <home>/models/Rizeru-27B-gguf/server_clean.log

    // Model files (".gguf", ".tcm") of at least 50,000,000 bytes, without
    // projector ("mmproj") and draft ("mtp-") files: Rizeru models in Q1_0
    // first, then other Rizeru models, other Q1_0 models, the rest; by name
    // within each group.
    static std::vector<VivirovModelInfo> listModels();

    // Stops what listens on port 8080, starts llama-server on the model with
    // its output in the server log (rewritten from empty) and waits up to
    // 90 s for its health answer. Answers "ok: swapped to <path> in <s.ss>s
    // (pid <pid>)" or an "error: ..." text; a started server is left running
    // in its own process group either way.
    static std::string swapModel(const std::string& modelPath, int nCtx);

    // "Q1_0", "Q4_K", "Q8_0", "IQ2" (first found, in that order) or "gguf".
    static std::string quantHint(std::string_view fileName);
    // "~" or a leading "~/" becomes the home folder.
    static std::string expandTilde(const std::string& path);

private:
    static void killPort(int port);
    static bool portListening(int port);
    static bool probeHealth(int port);
};

} // namespace vivirov
