#include "VivirovKit/Tools/Documents/DocumentToolCatalog.h"

#include "VivirovKit/Support/Env.h"
#include "VivirovKit/Support/Paths.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovKit/Tools/Documents/DocumentTools.h"

namespace vivirov {

namespace {

using Arguments = DocumentToolCatalog::Arguments;

// A missing argument takes its default; the `required` flags are advice to
// the model only.
std::string arg(const Arguments& args, const char* key, const std::string& fallback = std::string()) {
    auto it = args.find(key);
    return it == args.end() ? fallback : it->second;
}

ToolSchema::Parameter required(const char* key, const char* description) { return {key, description, true}; }
ToolSchema::Parameter optional(const char* key, const char* description) { return {key, description, false}; }

std::string documentCreate(const Arguments& args) {
    std::string path = arg(args, "path"), title = arg(args, "title"), content = arg(args, "content");
    std::string rich = DocumentTools::createDocxRich(path, title, content);
    if (text::startsWith(rich, "error:"))
        return DocumentTools::createDocx(path, title.empty() ? content : title + "\n\n" + content);
    if (text::startsWith(rich, "ok")) return "ok: wrote docx " + path;
    return rich;
}

std::vector<DocumentToolCatalog::Entry> makeEntries() {
    std::vector<DocumentToolCatalog::Entry> e;
    e.push_back({{"pdf_extract",
                  "Extract readable text from a PDF, Word (.docx), RTF, or text document on disk. Uses "
                  "pandoc/pdftotext.",
                  {required("path", "Absolute or ~ path to the document.")}},
                 [](const Arguments& a) { return DocumentTools::extract(arg(a, "path"), 80000); }});
    e.push_back({{"document_create",
                  "Create a Word .docx file from plain text (python-docx when available, else pandoc). Path "
                  "should end in .docx.",
                  {required("path", "Output .docx path."), required("content", "Plain text body."),
                   optional("title", "Optional heading title.")}},
                 documentCreate});
    e.push_back({{"excel_sum",
                  "Sum a numeric column in an .xlsx file (openpyxl). Default column B rows 2-100.",
                  {required("path", "Path to .xlsx"), optional("column", "Column letter (default B)")}},
                 [](const Arguments& a) {
                     return DocumentTools::excelSumColumn(arg(a, "path"), arg(a, "column", "B"), 2, 100);
                 }});
    e.push_back({{"document_edit",
                  "Edit a Word .docx: optional find/replace plus append a Revisions note (practical redline).",
                  {required("path", "Path to .docx"), required("instruction", "What changed / why"),
                   optional("find", "Optional text to find"), optional("replace", "Optional replacement text")}},
                 [](const Arguments& a) {
                     return DocumentTools::documentEdit(arg(a, "path"), arg(a, "instruction"), arg(a, "find"),
                                                        arg(a, "replace"));
                 }});
    e.push_back({{"excel_query",
                  "Query an .xlsx: preview sheets or sum a column (query e.g. 'sum D' or 'preview').",
                  {required("path", "Path to .xlsx"), optional("query", "preview | sum D")}},
                 [](const Arguments& a) { return DocumentTools::excelQuery(arg(a, "path"), arg(a, "query", "preview")); }});
    e.push_back({{"excel_update",
                  "Update one cell in an .xlsx (e.g. cell=B2 value=1200).",
                  {required("path", "Path to .xlsx"), required("cell", "Cell ref like B2"),
                   required("value", "New value")}},
                 [](const Arguments& a) {
                     return DocumentTools::excelUpdate(arg(a, "path"), arg(a, "cell", "A1"), arg(a, "value"));
                 }});
    e.push_back({{"pdf_fill_form",
                  "Fill PDF form fields or stamp key=value on page 1. fields is JSON object string.",
                  {required("path", "Path to .pdf"), required("fields", "JSON object e.g. {\"name\":\"Ada\"}")}},
                 [](const Arguments& a) { return DocumentTools::pdfFillForm(arg(a, "path"), arg(a, "fields", "{}")); }});
    e.push_back({{"ppt_create",
                  "Create a PowerPoint .pptx. slides = newline-separated Title|Body lines.",
                  {required("path", "Output .pptx path"), required("slides", "Title|Body per line")}},
                 [](const Arguments& a) { return DocumentTools::pptCreate(arg(a, "path"), arg(a, "slides")); }});
    e.push_back({{"document_convert",
                  "Convert a document between formats using pandoc (txt/html/rtf/docx/odt).",
                  {required("path", "Source file path."), required("format", "Target format: txt|html|rtf|docx|odt"),
                   optional("output", "Optional output path.")}},
                 [](const Arguments& a) {
                     auto out = a.find("output");
                     return DocumentTools::convert(arg(a, "path"), arg(a, "format", "txt"),
                                                   out == a.end() ? std::nullopt : std::optional(out->second));
                 }});
    e.push_back({{"workspace_scan",
                  "Find files under a directory matching a name/query (find).",
                  {required("root", "Directory to search."), optional("query", "Filename or part of one.")}},
                 [](const Arguments& a) {
                     return DocumentTools::workspaceScan(arg(a, "root", paths::home()), arg(a, "query"), 40);
                 }});
    e.push_back({{"workspace_search",
                  "Search file contents under a directory (ripgrep/grep).",
                  {required("root", "Directory to search."), required("pattern", "Text/regex pattern.")}},
                 [](const Arguments& a) {
                     return DocumentTools::workspaceSearch(arg(a, "root", paths::home()), arg(a, "pattern"), 30);
                 }});
    e.push_back({{"file_tree",
                  "List a shallow directory tree (find -maxdepth).",
                  {required("root", "Directory root."), optional("depth", "Max depth 1-4 (default 2).")}},
                 [](const Arguments& a) {
                     int64_t depth = env::parseInteger(arg(a, "depth", "2")).value_or(2);
                     return DocumentTools::fileTree(arg(a, "root", paths::home()), depth);
                 }});
    return e;
}

} // namespace

const std::vector<DocumentToolCatalog::Entry>& DocumentToolCatalog::entries() {
    static const std::vector<Entry> all = makeEntries();
    return all;
}

std::vector<ToolSchema> DocumentToolCatalog::schemas() {
    std::vector<ToolSchema> out;
    for (const auto& e : entries()) out.push_back(e.schema);
    return out;
}

DocumentToolCatalog::Handler DocumentToolCatalog::handler(const std::string& name) {
    for (const auto& e : entries())
        if (e.schema.name == name) return e.handler;
    return nullptr;
}

} // namespace vivirov
