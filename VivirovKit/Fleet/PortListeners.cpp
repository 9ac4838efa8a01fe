#include "VivirovKit/Fleet/PortListeners.h"

#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdint>

#include "VivirovKit/Fleet/LocalServerPorts.h"
#include "VivirovKit/Support/ProcessRunner.h"
#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {

constexpr std::chrono::seconds kToolTimeLimit{10};

// The program's standard output as UTF-8 (undecodable output reads as
// empty); none when it did not start.
std::optional<std::string> runTool(const char* name, std::vector<std::string> arguments,
                                   ProcessRunResult* run = nullptr) {
    ProcessRequest request;
    request.program = ProgramPaths::path(name);
    request.arguments = std::move(arguments);
    request.timeLimit = kToolTimeLimit;
    ProcessRunResult result = ProcessRunner::run(request);
    if (!result.started) return std::nullopt;
    std::string output = text::isValidUTF8(result.stdoutData) ? result.stdoutData : std::string();
    if (run) *run = std::move(result);
    return output;
}

} // namespace

std::optional<std::string> PortListeners::lsofOutput(int usualPort) {
    return runTool("lsof", {"-tiTCP:" + std::to_string(LocalServerPorts::resolve(usualPort)), "-sTCP:LISTEN"});
}

std::vector<int> PortListeners::parsePids(std::string_view output) {
    std::vector<int> pids;
    size_t i = 0;
    while (i < output.size()) {
        while (i < output.size() && std::isspace(static_cast<unsigned char>(output[i]))) ++i;
        size_t start = i;
        while (i < output.size() && !std::isspace(static_cast<unsigned char>(output[i]))) ++i;
        if (start == i) break;
        const std::string_view piece = output.substr(start, i - start);
        int32_t pid = 0;
        auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), pid);
        // kill() with 0 or a negative id would reach whole process groups.
        if (error == std::errc() && end == piece.data() + piece.size() && pid > 0) pids.push_back(pid);
    }
    return pids;
}

std::optional<std::vector<int>> PortListeners::pids(int usualPort) {
    std::optional<std::string> output = lsofOutput(usualPort);
    if (!output) return std::nullopt;
    return parsePids(*output);
}

bool PortListeners::anyListening(int usualPort) {
    std::optional<std::string> output = lsofOutput(usualPort);
    return output && !text::trimmed(*output).empty();
}

std::optional<std::string> PortListeners::commandLine(int pid) {
    ProcessRunResult run;
    std::optional<std::string> output = runTool("ps", {"-p", std::to_string(pid), "-o", "command="}, &run);
    // ps answers non-zero when it found no such process.
    if (!output || run.exitStatus != 0 || run.signaled || text::trimmed(*output).empty()) return std::nullopt;
    return output;
}

bool PortListeners::isSparedCommandLine(std::string_view commandLine) {
    return commandLine.find("Code") != std::string_view::npos ||
           commandLine.find("Visual Studio") != std::string_view::npos;
}

bool PortListeners::isSpared(int pid) {
    std::optional<std::string> line = commandLine(pid);
    return !line || isSparedCommandLine(*line);
}

} // namespace vivirov
