#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>

#include "VivirovKit/Support/Json.h"
#include "VivirovKit/Support/Log.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovVizivurad/HostTools/DestructiveCommandFilter.h"

namespace vivirov {

namespace {

using Args = std::map<std::string, std::string>;

struct Call {
    std::string tool;
    std::optional<Args> args;
};

// The strict decoding of handle(): an object with a string "tool" and, when
// present and not null, an object "args" whose values are all strings.
std::optional<Call> decodeCall(const std::string& text) {
    auto value = json::parse(text);
    if (!value || !value->is_object()) return std::nullopt;
    auto tool = value->find("tool");
    if (tool == value->end() || !tool->is_string()) return std::nullopt;
    Call call{tool->get<std::string>(), std::nullopt};
    auto args = value->find("args");
    if (args != value->end() && !args->is_null()) {
        if (!args->is_object()) return std::nullopt;
        Args map;
        for (auto it = args->begin(); it != args->end(); ++it) {
            if (!it->is_string()) return std::nullopt;
            map[it.key()] = it->get<std::string>();
        }
        call.args = std::move(map);
    }
    return call;
}

// A string written as a double-quoted literal with its special characters escaped.
std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\0': out += "\\0"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char buf[12];
                std::snprintf(buf, sizeof buf, "\\u{%X}", c);
                out += buf;
            } else {
                out += char(c);
            }
        }
    }
    return out + "\"";
}

std::string describe(const Args& args) {
    if (args.empty()) return "[:]";
    std::string out = "[";
    bool first = true;
    for (const auto& [k, v] : args) {
        if (!first) out += ", ";
        first = false;
        out += quoted(k) + ": " + quoted(v);
    }
    return out + "]";
}

std::optional<std::string> optionalArg(const Args& args, const std::string& key) {
    auto it = args.find(key);
    if (it == args.end()) return std::nullopt;
    return it->second;
}

std::string arg(const Args& args, const std::string& key, const std::string& fallback = "") {
    return optionalArg(args, key).value_or(fallback);
}

// The whole text must be a floating-point literal, without blanks.
std::optional<double> strictDouble(const std::string& s) {
    if (s.empty() || text::trimmed(s).size() != s.size()) return std::nullopt;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size()) return std::nullopt;
    return v;
}

// An optional sign followed by decimal digits only, within 64 bits.
std::optional<int64_t> strictInt64(std::string_view s) {
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return std::nullopt;
    for (char c : s)
        if (c < '0' || c > '9') return std::nullopt;
    std::string digits = (negative ? "-" : "") + std::string(s);
    int64_t v = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return v;
}

std::string unavailable(const std::string& tool) { return "error: " + tool + " is unavailable"; }

std::string truncationNote(size_t cut) { return "…[truncated " + std::to_string(cut) + " chars]"; }

} // namespace

ToolExecutionManager::ToolExecutionManager(HostToolBackends backends) : backends_(std::move(backends)) {}

const std::set<std::string>& ToolExecutionManager::readOnlyTools() {
    static const std::set<std::string> tools = {"web_search",       "web_fetch",       "read_file",
                                                "browser_navigate", "browser_refresh", "browser_extract",
                                                "ui_apps",          "ui_dump"};
    return tools;
}

std::string ToolExecutionManager::rawToolName(const std::string& json) {
    auto value = json::parse(text::trimmed(json));
    if (!value || !value->is_object()) return "";
    return json::stringMember(*value, "tool").value_or("");
}

std::string ToolExecutionManager::toolName(const std::string& json) {
    static const std::map<std::string, std::string, std::less<>> labels = {
        {"execute_bash", "Bash"},          {"read_file", "Read File"},
        {"write_file", "Write File"},      {"git_clone_repo", "Git Clone"},
        {"web_search", "Web Search"},      {"web_fetch", "Web Fetch"},
        {"ui_apps", "List Apps"},          {"ui_dump", "Read UI"},
        {"ui_click", "Click"},             {"ui_set_value", "Type"},
        {"ui_place_window", "Move Window"}, {"browser_navigate", "Browse"},
        {"browser_refresh", "Refresh"},    {"browser_extract", "Read Page"},
        {"dispatch_derov_swarm", "Derov Swarm"},
    };
    auto value = json::parse(text::trimmed(json));
    std::optional<std::string> name;
    if (value && value->is_object()) name = json::stringMember(*value, "tool");
    if (!name) return "tool";
    auto it = labels.find(*name);
    return it == labels.end() ? *name : it->second;
}

std::string ToolExecutionManager::cap(std::string_view text, size_t limit, size_t uncounted) {
    const size_t count = text::graphemeCount(text) + uncounted;
    if (count <= limit) return std::string(text);
    return text::graphemePrefix(text, limit) + "\n" + truncationNote(count - limit);
}

std::string ToolExecutionManager::capTail(std::string_view text, size_t limit, size_t uncounted) {
    const size_t shown = text::graphemeCount(text);
    const size_t count = shown + uncounted;
    if (count <= limit) return std::string(text);
    return truncationNote(count - limit) + "\n" + text::graphemeSuffix(text, std::min(limit, shown));
}

std::string ToolExecutionManager::handle(const std::string& json, std::stop_token stop) {
    const std::string trimmed = text::trimmed(json);
    auto call = decodeCall(trimmed);
    if (!call) {
        logLine("[tool] PARSE-FAIL: " + text::graphemePrefix(trimmed, 120));
        return "error: could not parse tool call JSON: " + text::graphemePrefix(trimmed, 160);
    }
    const Args args = call->args.value_or(Args{});
    const std::string& tool = call->tool;
    logLine("[tool] run " + tool + " args=" + describe(args));

    if (tool == "execute_bash") {
        const std::string command = arg(args, "command");
        if (auto reason = DestructiveCommandFilter::isBlocked(command)) {
            logLine("[tool] execute_bash BLOCKED: " + *reason);
            return "error: command refused by safety filter: " + *reason;
        }
        return executeBash(command, stop);
    }
    if (tool == "read_file") return readFile(arg(args, "path"));
    if (tool == "write_file") return writeFile(arg(args, "path"), arg(args, "content"));
    if (tool == "git_clone_repo") {
        if (!backends_.cloner) return unavailable(tool);
        return backends_.cloner->gitCloneRepo(arg(args, "url"), optionalArg(args, "dest"), optionalArg(args, "branch"),
                                              registry_, stop);
    }
    if (tool == "web_search") {
        if (!backends_.web) return unavailable(tool);
        return backends_.web->webSearch(arg(args, "query"), registry_, stop);
    }
    if (tool == "web_fetch") {
        if (!backends_.web) return unavailable(tool);
        return backends_.web->webFetch(arg(args, "url"), stop);
    }
    if (tool == "browser_navigate" || tool == "browser_refresh" || tool == "browser_extract") {
        auto& browser = backends_.browser;
        if (!browser) return unavailable(tool);
        if (tool == "browser_navigate")
            return browser->navigate(optionalArg(args, "url").value_or(arg(args, "path")));
        if (tool == "browser_refresh") return browser->refresh();
        return cap(browser->extractText(), 4000);
    }
    if (text::startsWith(tool, "ui_")) {
        // The Accessibility calls block for as long as the other app takes to
        // answer; they run here, on the caller's worker, never on the GUI thread.
        auto& ax = backends_.accessibility;
        if (tool == "ui_apps") return ax ? ax->runningAppsSummary() : unavailable(tool);
        if (tool == "ui_dump") return ax ? ax->dumpUIMap(optionalArg(args, "app"), 18, 350, false, 18000) : unavailable(tool);
        if (tool == "ui_click")
            return ax ? ax->click(optionalArg(args, "app"), optionalArg(args, "role"), arg(args, "title")) : unavailable(tool);
        if (tool == "ui_set_value")
            return ax ? ax->setValue(optionalArg(args, "app"), optionalArg(args, "role"), arg(args, "title"),
                                     arg(args, "value"))
                      : unavailable(tool);
        if (tool == "ui_place_window") {
            if (!ax) return unavailable(tool);
            auto number = [&](const char* key, double fallback) {
                auto v = optionalArg(args, key);
                return v ? strictDouble(*v).value_or(fallback) : fallback;
            };
            return ax->placeWindow(arg(args, "app"), number("x", 0), number("y", 0), number("w", 0.5),
                                   number("h", 1.0));
        }
    }
    if (tool == "dispatch_derov_swarm") {
        if (!backends_.swarm) return unavailable(tool);
        const int64_t agents = strictInt64(arg(args, "agent_count", "10000")).value_or(10000);
        return backends_.swarm->dispatchDerovSwarm(arg(args, "query"), agents, stop);
    }
    return "error: unknown tool '" + tool + "'";
}

} // namespace vivirov
