#include "VivirovKit/Fleet/VivirovModelSwapper.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

#include "VivirovKit/Fleet/HealthProbe.h"
#include "VivirovKit/Fleet/PortListeners.h"
#include "VivirovKit/Support/Clock.h"
#include "VivirovKit/Support/Paths.h"
#include "VivirovKit/Support/ProcessRunner.h"
#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace fs = std::filesystem;

namespace {

constexpr HealthProbe::Timing kProbeTiming{std::chrono::milliseconds(800), std::chrono::milliseconds(1000)};
constexpr uint64_t kMillisecond = 1'000'000;
constexpr uint64_t kPortFreeWait = 5'000 * kMillisecond;
constexpr uint64_t kPortPollInterval = 150 * kMillisecond;
constexpr uint64_t kHealthWait = 90'000 * kMillisecond;
constexpr uint64_t kHealthPollInterval = 400 * kMillisecond;
constexpr uint64_t kKillGrace = 300 * kMillisecond;

std::vector<std::string> serverArguments(const std::string& modelPath, int nCtx) {
    return {"-m",           modelPath,     "--host",          "127.0.0.1", "--port",         "8080",
            "-ngl",         "99",          "-c",              std::to_string(nCtx),
            "--cache-type-k", "q4_0",      "--cache-type-v",  "q4_0",      "--flash-attn",   "on",
            "--jinja",      "--reasoning", "off",             "--alias",   "vivirov-swapped", "-np",
            "1",            "--cont-batching", "--threads",   "8",         "-b",             "512",
            "-ub",          "64",          "--cache-prompt",  "--n-predict", "4096",         "--spec-type",
            "none"};
}

std::string asciiLower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Removes every occurrence of an ASCII `needle`, ignoring letter case.
std::string removingAllIgnoringCase(std::string text, std::string_view needle) {
    const std::string lowerNeedle = asciiLower(needle);
    size_t at = 0;
    while ((at = asciiLower(text).find(lowerNeedle, at)) != std::string::npos) text.erase(at, needle.size());
    return text;
}

std::string elapsedText(const char* format, uint64_t startNanos) {
    const double seconds = double(Clock::current().uptimeNanos() - startNanos) / 1e9;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, seconds);
    return buffer;
}

// 0 Rizeru in Q1_0, 1 other Rizeru, 2 other Q1_0, 3 the rest.
int sortGroup(const VivirovModelInfo& model) {
    return (text::containsCaseInsensitive(model.displayName, "rizeru") ? 0 : 2) + (model.quantHint == "Q1_0" ? 0 : 1);
}

} // namespace

std::string VivirovModelSwapper::modelsRoot() { return paths::home() + "/models"; }
std::string VivirovModelSwapper::llamaServer() { return paths::home() + "/repos/llama.cpp/build/bin/llama-server"; }
std::string VivirovModelSwapper::startScript() {
    return paths::home() + "/models/Rizeru-27B-gguf/start_vivirov_clean.sh";
}
std::string VivirovModelSwapper::serverLogPath() { return paths::home() + "/models/Rizeru-27B-gguf/server_clean.log"; }

std::string VivirovModelSwapper::expandTilde(const std::string& path) {
    if (path == "~") return paths::home();
    if (path.rfind("~/", 0) == 0) return paths::home() + path.substr(1);
    return path;
}

std::string VivirovModelSwapper::quantHint(std::string_view fileName) {
    const std::string upper = text::uppercased(fileName);
    for (const char* hint : {"Q1_0", "Q4_K", "Q8_0", "IQ2"})
        if (upper.find(hint) != std::string::npos) return hint;
    return "gguf";
}

std::vector<VivirovModelInfo> VivirovModelSwapper::listModels() {
    const std::string root = modelsRoot();
    std::error_code error;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error);
    if (error) return {};
    // Directory order is arbitrary here; a sorted walk keeps ties stable.
    std::vector<std::string> relativePaths;
    for (; it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (error) break;
        relativePaths.push_back(it->path().lexically_relative(root).string());
    }
    std::sort(relativePaths.begin(), relativePaths.end());

    std::vector<VivirovModelInfo> models;
    for (const std::string& relative : relativePaths) {
        const std::string lower = text::lowercased(relative);
        if (!text::endsWith(lower, ".gguf") && !text::endsWith(lower, ".tcm")) continue;
        if (lower.find("mmproj") != std::string::npos || lower.find("/mtp-") != std::string::npos ||
            text::startsWith(lower, "mtp-"))
            continue;

        std::string path = root + "/" + relative;
        if (fs::is_symlink(path, error)) {
            const std::string target = fs::read_symlink(path, error).string();
            if (error) continue;
            // A relative target is taken against the models folder itself.
            path = text::startsWith(target, "/") ? target : root + "/" + target;
        }
        const uintmax_t size = fs::file_size(path, error);
        if (error || size < static_cast<uintmax_t>(kMinimumModelBytes)) continue;

        const std::string fileName = fs::path(relative).filename().string();
        VivirovModelInfo model;
        model.path = path;
        model.displayName = removingAllIgnoringCase(removingAllIgnoringCase(fileName, ".gguf"), ".tcm");
        model.quantHint = quantHint(fileName);
        model.sizeBytes = static_cast<int64_t>(size);
        model.isTCM = text::endsWith(lower, ".tcm");
        models.push_back(std::move(model));
    }
    std::stable_sort(models.begin(), models.end(), [](const VivirovModelInfo& a, const VivirovModelInfo& b) {
        const int ga = sortGroup(a), gb = sortGroup(b);
        return ga != gb ? ga < gb : a.displayName < b.displayName;
    });
    return models;
}

std::string VivirovModelSwapper::swapModel(const std::string& modelPath, int nCtx) {
    Clock& clock = Clock::current();
    const uint64_t start = clock.uptimeNanos();
    const std::string expanded = expandTilde(modelPath);
    std::error_code error;
    if (!fs::exists(expanded, error)) return "error: model not found: " + expanded;

    killPort(kPort);
    const uint64_t freeBy = clock.uptimeNanos() + kPortFreeWait;
    bool busy = portListening(kPort);
    while (busy && clock.uptimeNanos() < freeBy) {
        clock.sleepFor(kPortPollInterval);
        busy = portListening(kPort);
    }
    if (busy) return "error: port 8080 still busy after kill";

    // Truncated, so the log shows only this server's lines.
    const std::string logPath = serverLogPath();
    const int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (logFd < 0) return "error: cannot open server log " + logPath + ": " + std::strerror(errno);

    ProcessRequest request;
    request.program = llamaServer();
    request.arguments = serverArguments(expanded, nCtx);
    const ProcessStart started = ProcessRunner::start(request, logFd);
    ::close(logFd);
    if (!started.started) return "error: failed to start llama-server: " + started.startError;

    const uint64_t healthyBy = clock.uptimeNanos() + kHealthWait;
    while (true) {
        if (probeHealth(kPort))
            return "ok: swapped to " + expanded + " in " + elapsedText("%.2f", start) + "s (pid " +
                   std::to_string(started.process->pid()) + ")";
        if (!started.process->isRunning()) return "error: llama-server exited early (see server_clean.log)";
        if (clock.uptimeNanos() >= healthyBy) return elapsedText("error: health timeout after %.1fs", start);
        clock.sleepFor(kHealthPollInterval);
    }
}

void VivirovModelSwapper::killPort(int port) {
    const std::vector<int> pids = PortListeners::pids(port).value_or(std::vector<int>{});
    for (int pid : pids) {
        if (PortListeners::isSpared(pid)) continue;
        ::kill(pid, SIGTERM);
        Clock::current().sleepFor(kKillGrace);
        ::kill(pid, SIGKILL);
    }
}

bool VivirovModelSwapper::portListening(int port) { return PortListeners::anyListening(port); }

bool VivirovModelSwapper::probeHealth(int port) {
    return HealthProbe::probe(HealthProbe::healthURL(port), kProbeTiming);
}

} // namespace vivirov
