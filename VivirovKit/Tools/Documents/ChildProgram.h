#pragma once
// How the document tools run their external programs: under the tools' time
// limit, with bounded output, and with paths that can never read as options.
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "VivirovKit/Support/ProcessRunner.h"

namespace vivirov {

class ChildProgram {
public:
    // Runs `program` with `arguments` under DocumentTools::childTimeLimit().
    static ProcessRunResult run(const std::string& program, const std::vector<std::string>& arguments,
                             size_t stopAfterStdoutLines = 0,
                             std::vector<std::pair<std::string, std::string>> environment = {});

    // The captured bytes as text: valid UTF-8 is kept, anything else counts as
    // empty. A stream cut at the output bound loses only its incomplete tail.
    static std::string decode(const std::string& bytes, bool truncated);

    // Listings of file names and matched lines: bytes that are not UTF-8 (a
    // Latin-1 file, an odd file name) become U+FFFD instead of emptying the
    // whole answer.
    static std::string decodeListing(const std::string& bytes);

    // A path handed to a program as an operand: one that begins with "-" gets
    // "./" in front so that no program can take it for an option.
    static std::string operand(const std::string& path);

    // The answer for a converter run that did not succeed: `startFailure` and
    // the reason when it could not start, the timed-out text, or
    // "error: <label> exit <n>: " and its whole error output; none on success.
    static std::optional<std::string> failureText(const ProcessRunResult& result, const std::string& label,
                                                  const std::string& startFailure);

    // "error: <label> timed out after <n> s".
    static std::string timedOutText(const std::string& label);

    // The non-empty lines of `text` split at line feeds, at most `limit`.
    static std::vector<std::string> lines(const std::string& text, size_t limit);
    static std::string joinLines(const std::vector<std::string>& lines);
};

} // namespace vivirov
