// Writing, editing and converting office documents.
#include <cctype>
#include <filesystem>
#include <map>
#include <sys/stat.h>

#include "VivirovKit/Support/Text.h"
#include "VivirovKit/Tools/Documents/ChildProgram.h"
#include "VivirovKit/Tools/Documents/DocumentTools.h"
#include "VivirovKit/Tools/Documents/PandocFormats.h"
#include "VivirovKit/Tools/Documents/ScratchFile.h"

namespace vivirov {

namespace {

std::string parentFolder(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return std::string();
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string withoutExtension(const std::string& path) {
    auto slash = path.rfind('/');
    auto dot = path.rfind('.');
    size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    // A leading dot names a hidden file, not an extension.
    if (dot == std::string::npos || dot <= nameStart) return path;
    return path.substr(0, dot);
}

// The pandoc reader for a source file; "" for formats it cannot read. Text
// files, with or without an extension, are read as plain text.
std::string readerForSource(const std::string& ext) {
    if (std::string reader = PandocFormats::documentReader(ext); !reader.empty()) return reader;
    return PandocFormats::isUnreadable(ext) ? std::string() : PandocFormats::plainTextReader();
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

} // namespace

std::string DocumentTools::createDocx(const std::string& path, const std::string& content) {
    std::string target = expand(path);
    std::string folder = parentFolder(target);
    if (!folder.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        if (ec) return "error: cannot create directory " + folder + ": " + ec.message();
    }

    ScratchFile tmp(".txt");
    std::string error;
    if (!tmp.write(content, error)) return "error: write temp failed: " + error;

    ProcessRunResult r = ChildProgram::run(
        ProgramPaths::path("pandoc"),
        {"-f", PandocFormats::plainTextReader(), "--preserve-tabs", "-t", "docx", tmp.path(), "-o", ChildProgram::operand(target)});
    if (auto failure = ChildProgram::failureText(r, "pandoc", "error: pandoc failed to start: ")) return *failure;
    return "ok: wrote docx " + target + " (" + std::to_string(text::graphemeCount(content)) + " source chars)";
}

std::string DocumentTools::createDocxRich(const std::string& path, const std::string& title,
                                          const std::string& content) {
    return runScript("create_docx_rich", {{"path", expand(path)}, {"title", title}, {"content", content}});
}

std::string DocumentTools::documentEdit(const std::string& path, const std::string& instruction,
                                        const std::string& find, const std::string& replace) {
    std::string p = expand(path);
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) return "error: file not found: " + p;
    return runScript("document_edit",
                     {{"path", p}, {"instruction", instruction}, {"find", find}, {"replace", replace}});
}

std::string DocumentTools::sumColumnFromQuery(const std::string& loweredQuery) {
    // The first one-letter word after "sum" names the column: "sum d",
    // "sum column c", "sum(b)".
    size_t at = loweredQuery.find("sum");
    if (at == std::string::npos) return "D";
    const std::string& q = loweredQuery;
    size_t i = at + 3;
    while (i < q.size()) {
        while (i < q.size() && !std::isalnum(static_cast<unsigned char>(q[i]))) ++i;
        size_t start = i;
        while (i < q.size() && std::isalnum(static_cast<unsigned char>(q[i]))) ++i;
        if (i - start == 1 && std::isalpha(static_cast<unsigned char>(q[start])))
            return std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(q[start]))));
    }
    return "D";
}

std::string DocumentTools::excelQuery(const std::string& path, const std::string& query) {
    std::string p = expand(path);
    std::string q = text::lowercased(query);
    if (q.find("sum") != std::string::npos) return excelSumColumn(p, sumColumnFromQuery(q), 2, 100);
    return pythonExtractXlsx(p, 40000);
}

std::string DocumentTools::excelSumColumn(const std::string& path, const std::string& column, int64_t startRow,
                                          int64_t endRow) {
    return runScript("excel_sum", {{"path", expand(path)}, {"column", column}},
                     {{"start", startRow}, {"end", endRow}});
}

std::string DocumentTools::excelUpdate(const std::string& path, const std::string& cell, const std::string& value) {
    return runScript("excel_update", {{"path", expand(path)}, {"cell", cell}, {"value", value}});
}

std::string DocumentTools::pdfFillForm(const std::string& path, const std::string& fieldsJSON) {
    return runScript("pdf_fill_form", {{"path", expand(path)}, {"fields", fieldsJSON}});
}

std::string DocumentTools::pptCreate(const std::string& path, const std::string& slides) {
    return runScript("ppt_create", {{"path", expand(path)}, {"slides", slides}});
}

std::string DocumentTools::convert(const std::string& path, const std::string& format,
                                   const std::optional<std::string>& outputPath) {
    std::string source = expand(path);
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0) return "error: file not found: " + source;

    std::string fmt = text::lowercased(format);
    static const std::map<std::string, std::string> writers = {
        {"docx", "docx"}, {"html", "html"}, {"odt", "odt"}, {"rtf", "rtf"}, {"txt", "plain"}};
    auto writer = writers.find(fmt);
    if (writer == writers.end()) return "error: unsupported format '" + fmt + "'. Allowed: docx, html, odt, rtf, txt";

    std::string target = outputPath && !outputPath->empty() ? expand(*outputPath) : withoutExtension(source) + "." + fmt;
    // A converter writing over the file it reads would destroy it.
    if (sameFile(source, target)) return "error: output is the source file: " + target;

    std::string ext = pathExtension(source);
    std::string reader = readerForSource(ext);
    if (reader.empty()) return "error: pandoc cannot read ." + ext + " files";

    std::vector<std::string> args = {"-f", reader, "--preserve-tabs", "-t", writer->second};
    if (fmt == "html" || fmt == "rtf") args.push_back("--standalone");
    if (fmt == "html") {
        auto slash = source.rfind('/');
        args.push_back("--metadata=pagetitle:" + withoutExtension(slash == std::string::npos ? source : source.substr(slash + 1)));
    }
    if (fmt == "txt") args.push_back("--wrap=none");
    args.insert(args.end(), {ChildProgram::operand(source), "-o", ChildProgram::operand(target)});

    ProcessRunResult r = ChildProgram::run(ProgramPaths::path("pandoc"), args);
    if (auto failure = ChildProgram::failureText(r, "pandoc", "error: pandoc: ")) return *failure;
    return "ok: converted → " + target;
}

} // namespace vivirov
