// Workspace search: files by name, lines by content, and a shallow tree.
//
// Model-supplied text never reaches a search program where it could be read
// as an option: roots go through ChildProgram::operand ("./" in front of a
// leading "-", which GNU find would otherwise parse as an action such as
// -delete), and patterns follow "-e" (ripgrep's --pre would run a program).
#include <algorithm>
#include <sys/stat.h>

#include "VivirovKit/Support/Text.h"
#include "VivirovKit/Tools/Documents/ChildProgram.h"
#include "VivirovKit/Tools/Documents/DocumentTools.h"

namespace vivirov {

namespace {
size_t clampedLimit(int64_t limit) { return limit < 0 ? 0 : static_cast<size_t>(limit); }
} // namespace

std::string DocumentTools::workspaceScan(const std::string& root, const std::string& query, int64_t limit) {
    std::string r = expand(root);
    struct stat st {};
    if (::stat(r.c_str(), &st) != 0) return "error: root not found: " + r;
    // There is no metadata index to ask here: the name search is the search.
    return findFallback(r, text::trimmed(query), limit);
}

std::string DocumentTools::findFallback(const std::string& root, const std::string& query, int64_t limit) {
    std::vector<std::string> args = {ChildProgram::operand(root), "-type", "f"};
    if (!query.empty()) {
        args.push_back("-iname");
        args.push_back("*" + query + "*");
    }
    args.push_back("-print");
    size_t cap = clampedLimit(limit);
    ProcessRunResult p = ChildProgram::run(ProgramPaths::path("find"), args, cap);
    if (!p.started) return "error: find: " + p.startError;
    if (p.timedOut) return ChildProgram::timedOutText("find");
    auto kept = ChildProgram::lines(ChildProgram::decodeListing(p.stdoutData), cap);
    return "found " + std::to_string(kept.size()) + ":\n" + ChildProgram::joinLines(kept);
}

std::string DocumentTools::workspaceSearch(const std::string& root, const std::string& pattern, int64_t limit) {
    std::string r = expand(root);
    std::string trimmedPattern = text::trimmed(pattern);
    if (trimmedPattern.empty()) return "error: empty pattern";

    std::string rg = ProgramPaths::path("rg");
    std::string program = isExecutableFile(rg) ? rg : ProgramPaths::path("grep");
    size_t cap = clampedLimit(limit);
    std::string count = std::to_string(cap);
    std::vector<std::string> args;
    if (text::endsWith(program, "rg"))
        args = {"-n", "--max-count", count, "-S", "-e", trimmedPattern, "--", ChildProgram::operand(r)};
    else
        args = {"-R", "-n", "-m", count, "-e", trimmedPattern, "--", ChildProgram::operand(r)};

    ProcessRunResult p = ChildProgram::run(program, args, cap);
    if (!p.started) return "error: search failed: " + p.startError;
    if (p.timedOut) return ChildProgram::timedOutText("search");
    std::string out = ChildProgram::decodeListing(p.stdoutData);
    if (out.empty()) return "no matches for " + trimmedPattern + " under " + r;
    return ChildProgram::joinLines(ChildProgram::lines(out, cap));
}

std::string DocumentTools::fileTree(const std::string& root, int64_t depth) {
    std::string r = expand(root);
    int64_t clamped = std::clamp<int64_t>(depth, 1, 4);
    constexpr size_t maxLines = 200;
    ProcessRunResult p = ChildProgram::run(ProgramPaths::path("find"),
                                        {ChildProgram::operand(r), "-maxdepth", std::to_string(clamped), "-print"},
                                        maxLines);
    if (!p.started) return "error: find failed: " + p.startError;
    if (p.timedOut) return ChildProgram::timedOutText("find");
    return ChildProgram::joinLines(ChildProgram::lines(ChildProgram::decodeListing(p.stdoutData), maxLines));
}

} // namespace vivirov
