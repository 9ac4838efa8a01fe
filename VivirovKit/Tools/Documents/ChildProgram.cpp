#include "VivirovKit/Tools/Documents/ChildProgram.h"

#include <cstdio>

#include "VivirovKit/Support/Text.h"
#include "VivirovKit/Tools/Documents/DocumentTools.h"

namespace vivirov {

ProcessRunResult ChildProgram::run(const std::string& program, const std::vector<std::string>& arguments,
                                size_t stopAfterStdoutLines,
                                std::vector<std::pair<std::string, std::string>> environment) {
    ProcessRequest request;
    request.program = program;
    request.arguments = arguments;
    request.timeLimit = DocumentTools::childTimeLimit();
    request.stopAfterStdoutLines = stopAfterStdoutLines;
    request.environment = std::move(environment);
    return ProcessRunner::run(request);
}

std::string ChildProgram::decode(const std::string& bytes, bool truncated) {
    std::string_view view(bytes);
    if (truncated) view = view.substr(0, text::completeUTF8PrefixLength(view));
    return text::isValidUTF8(view) ? std::string(view) : std::string();
}

std::string ChildProgram::decodeListing(const std::string& bytes) { return text::decodeUTF8Lossy(bytes); }

std::string ChildProgram::operand(const std::string& path) {
    return !path.empty() && path.front() == '-' ? "./" + path : path;
}

std::optional<std::string> ChildProgram::failureText(const ProcessRunResult& r, const std::string& label,
                                                     const std::string& startFailure) {
    if (!r.started) return startFailure + r.startError;
    if (r.timedOut) return timedOutText(label);
    if (r.signaled || r.exitStatus != 0)
        return "error: " + label + " exit " + std::to_string(r.exitStatus) + ": " + decode(r.stderrData, r.stderrTruncated);
    return std::nullopt;
}

std::string ChildProgram::timedOutText(const std::string& label) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", DocumentTools::childTimeLimit().count() / 1000.0);
    return "error: " + label + " timed out after " + seconds + " s";
}

std::vector<std::string> ChildProgram::lines(const std::string& text, size_t limit) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size() && out.size() < limit) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::string ChildProgram::joinLines(const std::vector<std::string>& lines) {
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i) out += '\n';
        out += lines[i];
    }
    return out;
}

} // namespace vivirov
