#include "VivirovKit/Tools/Documents/DocumentTools.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "VivirovKit/Support/Paths.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovKit/Tools/Documents/ChildProgram.h"
#include "VivirovKit/Tools/Documents/PandocFormats.h"
#include "VivirovKit/Tools/Documents/ScratchFile.h"

#ifndef VIVIROV_RESOURCES_DIR
#define VIVIROV_RESOURCES_DIR "resources"
#endif

namespace vivirov {

namespace {

std::atomic<int64_t> gChildTimeLimitMs{120000};

size_t clampedLimit(int64_t limit) { return limit < 0 ? 0 : static_cast<size_t>(limit); }

// The first `maxChars` characters followed by `marker` when the text is longer
// (or was cut at the output bound), else the text itself.
std::string cutWithMarker(const std::string& text, size_t maxChars, bool alreadyCut, const std::string& marker) {
    if (text::graphemeCount(text) > maxChars) return text::graphemePrefix(text, maxChars) + "\n" + marker;
    return alreadyCut ? text + "\n" + marker : text;
}

std::string readResource(const std::string& name, bool& ok) {
    std::ifstream in(std::string(VIVIROV_RESOURCES_DIR) + "/documents/" + name, std::ios::binary);
    ok = static_cast<bool>(in);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

// ---- limits ----

std::chrono::milliseconds DocumentTools::childTimeLimit() {
    return std::chrono::milliseconds(gChildTimeLimitMs.load());
}

void DocumentTools::setChildTimeLimit(std::chrono::milliseconds limit) { gChildTimeLimitMs.store(limit.count()); }

// ---- paths and scripts ----

std::string DocumentTools::expand(const std::string& path) {
    if (path.empty() || path.front() != '~') return path;
    auto slash = path.find('/');
    std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    std::string rest = slash == std::string::npos ? std::string() : path.substr(slash);
    if (user.empty()) return paths::home() + rest;
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwnam_r(user.c_str(), &pw, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir)
        return path; // an unknown user leaves the path as written
    return std::string(found->pw_dir) + rest;
}

std::string DocumentTools::pathExtension(const std::string& path) {
    auto slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    auto dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : text::lowercased(name.substr(dot + 1));
}

std::string DocumentTools::docsPython() {
    std::string venv = paths::home() + "/models/Rizeru-27B-gguf/.venv-docs/bin/python";
    return isExecutableFile(venv) ? venv : ProgramPaths::path("python3");
}

std::string DocumentTools::pythonLiteral(const std::string& value) {
    std::string out = "'";
    for (char c : value) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\'': out += "\\'"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\0': out += "\\x00"; break; // Python source may not hold a NUL byte
        default: out += c;
        }
    }
    return out + "'";
}

std::string DocumentTools::runPython(const std::string& script) {
    ScratchFile file(".py");
    std::string error;
    if (!file.write(script, error)) return "error: write script: " + error;

    ProcessRunResult r = ChildProgram::run(docsPython(), {file.path()}, 0, {{"PYTHONIOENCODING", "utf-8"}});
    if (!r.started) return "error: python: " + r.startError;
    if (r.timedOut) return ChildProgram::timedOutText("python");
    std::string err = ChildProgram::decode(r.stderrData, r.stderrTruncated);
    if (r.signaled || r.exitStatus != 0)
        return "error: python exit " + std::to_string(r.exitStatus) + ": " + text::graphemePrefix(err, 400);
    std::string out = text::trimmed(ChildProgram::decode(r.stdoutData, r.stdoutTruncated));
    if (out.empty()) return "error: empty python output " + text::graphemePrefix(err, 200);
    return out;
}

std::string DocumentTools::runScript(const std::string& templateName,
                                     const std::map<std::string, std::string>& textValues,
                                     const std::map<std::string, int64_t>& integerValues) {
    bool preludeOK = false, bodyOK = false;
    std::string prelude = readResource("prelude.py", preludeOK);
    std::string body = readResource(templateName + ".py", bodyOK);
    if (!preludeOK || !bodyOK) return "error: missing document script " + templateName;

    // One pass over the template: values are never scanned for slots again.
    std::string script = prelude;
    size_t pos = 0;
    while (true) {
        size_t open = body.find("{{", pos);
        if (open == std::string::npos) break;
        size_t close = body.find("}}", open + 2);
        if (close == std::string::npos) break;
        script.append(body, pos, open - pos);
        std::string name = body.substr(open + 2, close - open - 2);
        if (auto t = textValues.find(name); t != textValues.end()) script += pythonLiteral(t->second);
        else if (auto i = integerValues.find(name); i != integerValues.end()) script += std::to_string(i->second);
        else return "error: document script " + templateName + " has no value for " + name;
        pos = close + 2;
    }
    script.append(body, pos, std::string::npos);
    return runPython(script);
}

// ---- text extraction ----

std::string DocumentTools::extract(const std::string& path, int64_t maxChars) {
    std::string p = expand(path);
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) return "error: file not found: " + p;

    static const char* const textExtensions[] = {"txt", "md",  "csv",  "json", "swift", "py", "rs",  "go",
                                                 "ts",  "js",  "html", "css",  "xml",   "yml", "yaml", "log"};
    std::string ext = pathExtension(p);
    for (const char* t : textExtensions)
        if (ext == t) return readTextFile(p, maxChars);
    if (ext == "docx") {
        std::string r = pythonExtractDocx(p, maxChars);
        return text::startsWith(r, "error:") ? pandocToText(p, maxChars) : r;
    }
    if (ext == "doc" || ext == "rtf" || ext == "odt" || ext == "htm" || ext == "webarchive")
        return pandocToText(p, maxChars);
    if (ext == "pdf") {
        std::string r = pythonExtractPDF(p, maxChars);
        return text::startsWith(r, "error:") ? pdfToText(p, maxChars) : r;
    }
    if (ext == "xlsx" || ext == "xls") return pythonExtractXlsx(p, maxChars);
    if (ext == "numbers") return "error: Numbers.app files need export to xlsx/csv first";
    if (ext == "pptx" || ext == "ppt" || ext == "key") return pandocToText(p, maxChars);
    std::string r = pandocToText(p, maxChars);
    return text::startsWith(r, "error:") ? readTextFile(p, maxChars) : r;
}

std::string DocumentTools::readTextFile(const std::string& path, int64_t maxChars) {
    // Non-blocking so that opening a named pipe cannot hang; only regular
    // files are read (a device or pipe could be read for ever).
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::string("error: read failed: ") + std::strerror(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int e = errno;
        ::close(fd);
        return std::string("error: read failed: ") + std::strerror(e);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::string("error: read failed: ") + (S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file");
    }
    std::string latin1;
    std::string_view content;
    void* mapped = MAP_FAILED;
    size_t size = static_cast<size_t>(st.st_size);
    if (size > 0) {
        mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapped == MAP_FAILED) {
            int e = errno;
            ::close(fd);
            return std::string("error: read failed: ") + std::strerror(e);
        }
        content = std::string_view(static_cast<const char*>(mapped), size);
    }
    ::close(fd);
    if (!text::isValidUTF8(content)) {
        latin1 = text::decodeLatin1(content);
        content = latin1;
    }
    size_t limit = clampedLimit(maxChars);
    std::string result;
    size_t total = text::graphemeCount(content);
    if (total > limit) {
        result = text::graphemePrefix(content, limit) + "\n…[truncated " + std::to_string(total - limit) + " chars]";
    } else {
        result = std::string(content);
    }
    if (mapped != MAP_FAILED) ::munmap(mapped, size);
    if (result.empty()) return "error: empty or binary file";
    return result;
}

std::string DocumentTools::pandocToText(const std::string& path, int64_t maxChars) {
    std::string ext = pathExtension(path);
    std::string reader = PandocFormats::documentReader(ext);
    if (reader.empty())
        return ext.empty() ? "error: pandoc cannot read files without an extension"
                           : "error: pandoc cannot read ." + ext + " files";
    ProcessRunResult r = ChildProgram::run(ProgramPaths::path("pandoc"),
                                        {"-f", reader, "-t", "plain", "--wrap=none", ChildProgram::operand(path)});
    if (auto failure = ChildProgram::failureText(r, "pandoc", "error: pandoc: ")) return *failure;
    std::string out = ChildProgram::decode(r.stdoutData, r.stdoutTruncated);
    if (out.empty()) return "error: empty conversion result";
    return cutWithMarker(out, clampedLimit(maxChars), r.stdoutTruncated, "…[truncated]");
}

std::string DocumentTools::pdfToText(const std::string& path, int64_t maxChars) {
    std::string pdftotext = ProgramPaths::path("pdftotext");
    if (isExecutableFile(pdftotext)) {
        ProcessRunResult r = ChildProgram::run(pdftotext, {"-layout", ChildProgram::operand(path), "-"});
        if (!r.started) return "error: pdftotext: " + r.startError;
        if (r.timedOut) return ChildProgram::timedOutText("pdftotext");
        std::string out = ChildProgram::decode(r.stdoutData, r.stdoutTruncated);
        // Blank pages still print form feeds: only real text counts.
        if (text::trimmed(out).empty()) return "error: empty PDF text (scanned image PDF? need OCR)";
        return cutWithMarker(out, clampedLimit(maxChars), r.stdoutTruncated, "…[truncated]");
    }
    std::string r = pandocToText(path, maxChars);
    if (text::startsWith(r, "error:"))
        return "error: pdftotext not found and pandoc failed. Install: apt-get install poppler-utils";
    return r;
}

std::string DocumentTools::pythonExtractDocx(const std::string& path, int64_t maxChars) {
    return runScript("extract_docx", {{"path", path}}, {{"limit", static_cast<int64_t>(clampedLimit(maxChars))}});
}

std::string DocumentTools::pythonExtractPDF(const std::string& path, int64_t maxChars) {
    return runScript("extract_pdf", {{"path", path}}, {{"limit", static_cast<int64_t>(clampedLimit(maxChars))}});
}

std::string DocumentTools::pythonExtractXlsx(const std::string& path, int64_t maxChars) {
    return runScript("extract_xlsx", {{"path", path}}, {{"limit", static_cast<int64_t>(clampedLimit(maxChars))}});
}

} // namespace vivirov
