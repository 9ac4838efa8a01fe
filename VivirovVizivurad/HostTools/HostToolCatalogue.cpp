#include "VivirovVizivurad/HostTools/HostToolCatalogue.h"

#include <charconv>

#include "VivirovKit/Support/Json.h"
#include "VivirovKit/Support/Log.h"
#include "VivirovKit/Support/Paths.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovKit/Tools/ToolRegistry.h"
#include "VivirovVizivurad/HostTools/CommandPreview.h"
#include "VivirovVizivurad/HostTools/GitHosts.h"
#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"

namespace vivirov {

namespace {

using Args = std::map<std::string, std::string>;

constexpr const char* kDenied = "error: command denied by the user via the permission gate";
// Characters of the card body the refusal log line keeps.
constexpr size_t kDeniedLogPreview = 80;

ToolSchema::Parameter required(std::string key, std::string description) {
    return {std::move(key), std::move(description), true};
}
ToolSchema::Parameter optional(std::string key, std::string description) {
    return {std::move(key), std::move(description), false};
}

std::string argument(const Args& args, const std::string& key, const std::string& fallback = "") {
    auto it = args.find(key);
    return it == args.end() ? fallback : it->second;
}

// A decimal integer with an optional sign, the whole text; none otherwise.
std::optional<int64_t> signedInteger(const std::string& text) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty()) return std::nullopt;
    uint64_t magnitude = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    if (magnitude > uint64_t(INT64_MAX) + (negative ? 1 : 0)) return std::nullopt;
    return negative ? int64_t(0 - magnitude) : int64_t(magnitude);
}

std::string gitHostsJoined() {
    std::string joined;
    for (auto host : kGitHostNames) {
        if (!joined.empty()) joined += " or ";
        joined += host;
    }
    return joined;
}

} // namespace

HostToolCatalogue::Services HostToolCatalogue::kitServices() {
    Services services;
    services.documents = DocumentOperations::kit();
    services.fleet = FleetReadings::kit();
    return services;
}

std::vector<ToolSchema> HostToolCatalogue::schemas() {
    const std::string home = "The file path (tilde-expanded).";
    return {
        {"execute_bash", "Run a bash command on the host computer and return stdout/stderr + exit code.",
         {required("command", "The shell command to run.")}},
        {"read_file", "Read a UTF-8 text file's contents from the host.", {required("path", home)}},
        {"write_file", "Write text content to a file on the host (creates or overwrites).",
         {required("path", home), required("content", "The full text to write.")}},
        {"browser_navigate",
         "Open a web URL (https://…) or a LOCAL FILE PATH in the in-app browser so you and the user can see it "
         "render. Pass a .html path you just wrote to view it.",
         {required("url", "A web URL or a local file path to open.")}},
        {"browser_refresh", "Reload the in-app browser's current page (e.g. after editing the file it is showing).", {}},
        {"browser_extract", "Read back the visible text of the in-app browser's current page, to verify what actually rendered.",
         {}},
        {"web_search",
         "Search the live internet (DuckDuckGo) and read the top result pages; returns cited titles, URLs, snippets, "
         "and page excerpts. Use this for ANY current/online info — prices, news, schedules, facts. Read-only and "
         "free. NEVER fetch the web with execute_bash/curl.",
         {required("query", "The search query.")}},
        {"web_fetch",
         "Fetch a single web page by URL (http/https) and return its readable text. Use this to read a specific page "
         "you already have a URL for (e.g. a result from web_search). Read-only and free.",
         {required("url", "The page URL to fetch.")}},
        {"dispatch_derov_swarm",
         "Dispatch a query to the local Derov multi-agent swarm backend (POST 127.0.0.1:8009) and return its "
         "aggregated response. Use for heavy parallel research or analysis that benefits from many concurrent "
         "agents. Runs a backend job, so it is permission-gated.",
         {required("query", "The task or question to run across the Derov agent swarm."),
          optional("agent_count", "Number of swarm agents to dispatch (default 10000).")}},
        {"git_clone_repo",
         "Shallow-clone a public GitHub/GitLab repo (--depth 1) into the app's managed repos dir "
         "(~/.local/share/com.dudive.vivirov/repos/<owner>-<repo>), or fast-forward it if already cloned. Returns "
         "the local path + short commit hash. Use to pull a repo locally before reading/searching its code. "
         "Network + local write — permission-gated.",
         {required("url", "The https:// repo URL (" + gitHostsJoined() + ")."),
          optional("dest", "Optional directory name under the managed repos dir (default <owner>-<repo>)."),
          optional("branch", "Optional branch or tag to clone.")}},
        {"pdf_extract",
         "Extract readable text from a PDF, Word (.docx), RTF, or text document on disk. Uses pandoc/pdftotext.",
         {required("path", "Absolute or ~ path to the document.")}},
        {"document_create",
         "Create a Word .docx file from plain text (python-docx when available, else pandoc). Path should end in "
         ".docx.",
         {required("path", "Output .docx path."), required("content", "Plain text body."),
          optional("title", "Optional heading title.")}},
        {"excel_sum", "Sum a numeric column in an .xlsx file (openpyxl). Default column B rows 2-100.",
         {required("path", "Path to .xlsx"), optional("column", "Column letter (default B)")}},
        {"document_edit", "Edit a Word .docx: optional find/replace plus append a Revisions note (practical redline).",
         {required("path", "Path to .docx"), required("instruction", "What changed / why"),
          optional("find", "Optional text to find"), optional("replace", "Optional replacement text")}},
        {"excel_query", "Query an .xlsx: preview sheets or sum a column (query e.g. 'sum D' or 'preview').",
         {required("path", "Path to .xlsx"), optional("query", "preview | sum D")}},
        {"excel_update", "Update one cell in an .xlsx (e.g. cell=B2 value=1200).",
         {required("path", "Path to .xlsx"), required("cell", "Cell ref like B2"), required("value", "New value")}},
        {"pdf_fill_form", "Fill PDF form fields or stamp key=value on page 1. fields is JSON object string.",
         {required("path", "Path to .pdf"), required("fields", "JSON object e.g. {\"name\":\"Ada\"}")}},
        {"ppt_create", "Create a PowerPoint .pptx. slides = newline-separated Title|Body lines.",
         {required("path", "Output .pptx path"), required("slides", "Title|Body per line")}},
        {"document_convert", "Convert a document between formats using pandoc (txt/html/rtf/docx/odt).",
         {required("path", "Source file path."), required("format", "Target format: txt|html|rtf|docx|odt"),
          optional("output", "Optional output path.")}},
        {"workspace_scan", "Find files under a directory matching a name/query (find).",
         {required("root", "Directory to search."), optional("query", "Filename or name query.")}},
        {"workspace_search", "Search file contents under a directory (ripgrep/grep).",
         {required("root", "Directory to search."), required("pattern", "Text/regex pattern.")}},
        {"file_tree", "List a shallow directory tree (find -maxdepth).",
         {required("root", "Directory root."), optional("depth", "Max depth 1-4 (default 2).")}},
        {"fleet_status",
         "Report which Vivirov model endpoints are UP (Rizeru, Rozazu, micro, optional vision/whisper). Use before "
         "claiming multi-model capabilities.",
         {}},
        {"image_generate",
         "Request local image generation. Currently returns an honest unavailable message (lab policy: no "
         "ComfyUI/SD on reserved GPU path).",
         {required("prompt", "Image description.")}},
        {"research_swarm",
         "Run a bounded multi-perspective research pass (2-4 short specialist prompts via Rozazu if up, else "
         "sequential Rizeru). Returns aggregated notes. Not a 10k-agent fantasy.",
         {required("query", "Research question."),
          optional("perspectives", "Comma-separated angles (default: history,market,risks).")}},
    };
}

std::string HostToolCatalogue::encodeToolCall(const std::string& name, const Args& args) {
    json::Value call = json::Value::object();
    call["tool"] = name;
    if (!args.empty()) {
        json::Value members = json::Value::object();
        for (const auto& [key, value] : args) members[key] = value;
        call["args"] = std::move(members);
    }
    return json::dump(call);
}

std::string HostToolCatalogue::gatedToolHandler(const std::string& json, ToolExecutionManager& executor,
                                                ToolCallApprover& approver, std::stop_token stop) {
    const auto label = ToolExecutionManager::toolName(json);
    if (ToolExecutionManager::readOnlyTools().contains(ToolExecutionManager::rawToolName(json)))
        return executor.handle(json, stop);
    const auto body = commandPreview(json);
    if (!approver.requestPermission(label, body, stop).value_or(false)) {
        logLine("[vivirov] tool call DENIED by user: " + label + " — " + text::graphemePrefix(body, kDeniedLogPreview));
        return kDenied;
    }
    return executor.handle(json, stop);
}

std::string HostToolCatalogue::fleetStatus(FleetReadings& fleet) {
    std::vector<std::string> lines;
    for (const auto& [label, up] : fleet.fleetStatus()) lines.push_back(label + ": " + (up ? "UP" : "DOWN"));
    lines.push_back("--- memory ---");
    lines.push_back(fleet.memoryStatusLine());
    // A status report only: stopping servers here could take down the one the
    // asking loop talks to.
    lines.push_back("--- lifecycle ---");
    fleet.refreshHealth();
    for (auto& line : fleet.lifecycleStatusLines()) lines.push_back(std::move(line));
    lines.push_back("--- routes ---");
    for (auto kind : {ModelRouteKind::general, ModelRouteKind::consensus, ModelRouteKind::fastDraft,
                      ModelRouteKind::vision, ModelRouteKind::audio, ModelRouteKind::document,
                      ModelRouteKind::imageGen}) {
        const auto route = fleet.route(kind);
        lines.push_back(std::string(rawValue(kind)) + ": " + (route.available ? "ready" : "unavailable") + " — " +
                        route.note);
    }
    lines.push_back("--- gemma4 ---");
    lines.push_back("Q1_0 GGUF: NOT PUBLISHED (smallest public ~IQ2_XXS 10GB — too large for 24GB dual-brain). Stay "
                    "on Rizeru Q1_0 until a true ~4GB quant exists.");
    std::string text;
    for (const auto& line : lines) {
        if (!text.empty()) text += '\n';
        text += line;
    }
    return text;
}

std::string HostToolCatalogue::imageGenerate(FleetReadings& fleet, const std::string& prompt) {
    return "error: image_generate unavailable. " + fleet.route(ModelRouteKind::imageGen).note + " Prompt was: " +
           prompt;
}

void HostToolCatalogue::registerHostTools(ToolRegistry& registry, Services services) {
    auto schemaList = schemas();
    auto schemaOf = [&](const std::string& name) {
        for (const auto& schema : schemaList)
            if (schema.name == name) return schema;
        return ToolSchema{name, "", {}};
    };

    // The executor tools: the whole argument map goes on, through the card.
    // The approver holds the controller weakly, so holding it keeps nothing alive.
    auto approver = services.approver;
    for (const char* name : {"execute_bash", "read_file", "write_file", "browser_navigate", "browser_refresh",
                             "browser_extract", "web_search", "web_fetch", "dispatch_derov_swarm", "git_clone_repo"}) {
        registry.registerTool(schemaOf(name), ToolHandler([name = std::string(name), executor = services.executor,
                                                           approver](const Args& args, std::stop_token stop) {
            if (!approver || !approver->available() || !executor) return std::string("error: assistant unavailable");
            return gatedToolHandler(encodeToolCall(name, args), *executor, *approver, stop);
        }));
    }

    auto docs = services.documents;
    auto plain = [&](const char* name, std::function<std::string(DocumentOperations&, const Args&)> run) {
        registry.registerTool(schemaOf(name), PlainToolHandler([docs, run](const Args& args) { return run(*docs, args); }));
    };
    plain("pdf_extract", [](DocumentOperations& d, const Args& a) { return d.extract(argument(a, "path"), 80000); });
    plain("document_create", [](DocumentOperations& d, const Args& a) {
        const auto path = argument(a, "path"), title = argument(a, "title"), content = argument(a, "content");
        auto result = d.createDocxRich(path, title, content);
        if (text::startsWith(result, "error:")) return d.createDocx(path, title.empty() ? content : title + "\n\n" + content);
        if (text::startsWith(result, "ok")) return "ok: wrote docx " + path;
        return result;
    });
    plain("excel_sum", [](DocumentOperations& d, const Args& a) {
        return d.excelSumColumn(argument(a, "path"), argument(a, "column", "B"), 2, 100);
    });
    plain("document_edit", [](DocumentOperations& d, const Args& a) {
        return d.documentEdit(argument(a, "path"), argument(a, "instruction"), argument(a, "find"),
                              argument(a, "replace"));
    });
    plain("excel_query", [](DocumentOperations& d, const Args& a) {
        return d.excelQuery(argument(a, "path"), argument(a, "query", "preview"));
    });
    plain("excel_update", [](DocumentOperations& d, const Args& a) {
        return d.excelUpdate(argument(a, "path"), argument(a, "cell", "A1"), argument(a, "value"));
    });
    plain("pdf_fill_form", [](DocumentOperations& d, const Args& a) {
        return d.pdfFillForm(argument(a, "path"), argument(a, "fields", "{}"));
    });
    plain("ppt_create", [](DocumentOperations& d, const Args& a) {
        return d.pptCreate(argument(a, "path"), argument(a, "slides"));
    });
    plain("document_convert", [](DocumentOperations& d, const Args& a) {
        auto output = a.find("output");
        return d.convert(argument(a, "path"), argument(a, "format", "txt"),
                         output == a.end() ? std::nullopt : std::optional<std::string>(output->second));
    });
    plain("workspace_scan", [](DocumentOperations& d, const Args& a) {
        return d.workspaceScan(argument(a, "root", paths::home()), argument(a, "query"), 40);
    });
    plain("workspace_search", [](DocumentOperations& d, const Args& a) {
        return d.workspaceSearch(argument(a, "root", paths::home()), argument(a, "pattern"), 30);
    });
    plain("file_tree", [](DocumentOperations& d, const Args& a) {
        return d.fileTree(argument(a, "root", paths::home()), signedInteger(argument(a, "depth", "2")).value_or(2));
    });

    auto fleet = services.fleet;
    registry.registerTool(schemaOf("fleet_status"), PlainToolHandler([fleet](const Args&) { return fleetStatus(*fleet); }));
    registry.registerTool(schemaOf("image_generate"), PlainToolHandler([fleet](const Args& a) {
        return imageGenerate(*fleet, argument(a, "prompt"));
    }));
    registry.registerTool(schemaOf("research_swarm"), ToolHandler([research = services.research](
                                                                      const Args& a, std::stop_token stop) {
        if (!research) return std::string("error: research swarm unavailable");
        return research->runResearchSwarm(argument(a, "query"), argument(a, "perspectives", "history,market,risks"), stop);
    }));
}

} // namespace vivirov
