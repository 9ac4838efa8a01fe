#pragma once
// The agent's document and workspace abilities. Every operation takes text
// (and a few integer) arguments and answers one text for the model: the
// payload, a confirmation beginning "ok: ", or a failure beginning "error: ".
// Nothing throws. The work is done by external programs (pandoc, pdftotext,
// find, ripgrep or grep, and Python scripts), each under a time limit and with
// its output bounded; calls share nothing and may run on any thread at once.
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace vivirov {

class DocumentTools {
public:
    DocumentTools() = delete;

    // ---- paths and scripts ----

    // Tilde expansion: a leading "~" or "~user" becomes that user's home
    // folder; anything else is returned unchanged.
    static std::string expand(const std::string& path);
    // The text after the last dot of the last path component, lower-cased.
    static std::string pathExtension(const std::string& path);
    // The interpreter for the document scripts, chosen afresh on every run.
    static std::string docsPython();
    // A single-quoted Python literal that yields `value` unchanged, on one line.
    static std::string pythonLiteral(const std::string& value);
    // Runs a whole Python script; its trimmed standard output or an "error: " text.
    static std::string runPython(const std::string& script);
    // Fills a script template from the documents resources ({{name}} slots)
    // with Python literals of the given values and runs it.
    static std::string runScript(const std::string& templateName,
                                 const std::map<std::string, std::string>& textValues,
                                 const std::map<std::string, int64_t>& integerValues = {});

    // ---- text extraction ----

    static std::string extract(const std::string& path, int64_t maxChars);
    static std::string readTextFile(const std::string& path, int64_t maxChars);
    // Plain text converted by pandoc (the formats it reads: docx, odt, rtf, html, epub).
    static std::string pandocToText(const std::string& path, int64_t maxChars);
    static std::string pdfToText(const std::string& path, int64_t maxChars);
    static std::string pythonExtractDocx(const std::string& path, int64_t maxChars);
    static std::string pythonExtractPDF(const std::string& path, int64_t maxChars);
    static std::string pythonExtractXlsx(const std::string& path, int64_t maxChars);

    // ---- workspace search ----

    static std::string workspaceScan(const std::string& root, const std::string& query, int64_t limit);
    static std::string workspaceSearch(const std::string& root, const std::string& pattern, int64_t limit);
    static std::string fileTree(const std::string& root, int64_t depth);
    static std::string findFallback(const std::string& root, const std::string& query, int64_t limit);

    // ---- office documents ----

    static std::string createDocx(const std::string& path, const std::string& content);
    static std::string createDocxRich(const std::string& path, const std::string& title, const std::string& content);
    static std::string documentEdit(const std::string& path, const std::string& instruction,
                                    const std::string& find, const std::string& replace);
    static std::string excelQuery(const std::string& path, const std::string& query);
    static std::string excelSumColumn(const std::string& path, const std::string& column, int64_t startRow,
                                      int64_t endRow);
    static std::string excelUpdate(const std::string& path, const std::string& cell, const std::string& value);
    static std::string pdfFillForm(const std::string& path, const std::string& fieldsJSON);
    static std::string pptCreate(const std::string& path, const std::string& slides);
    static std::string convert(const std::string& path, const std::string& format,
                               const std::optional<std::string>& outputPath);

    // The column letter a free-text "sum" query names ("D" when none).
    static std::string sumColumnFromQuery(const std::string& loweredQuery);

    // ---- limits ----

    // How long any one child program may run. Process-wide; tests shorten it.
    static std::chrono::milliseconds childTimeLimit();
    static void setChildTimeLimit(std::chrono::milliseconds limit);
};

} // namespace vivirov
