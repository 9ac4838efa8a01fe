#include "VivirovVizivurad/HostTools/GitRepositoryCloner.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <vector>

#include <curl/curl.h>

#include "VivirovKit/Support/Paths.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovVizivurad/HostTools/ProcessRegistry.h"
#include "VivirovVizivurad/HostTools/ShellQuote.h"
#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"

namespace vivirov {

namespace {

const std::set<std::string>& hostAllowlist() {
    static const std::set<std::string> hosts = {"github.com", "www.github.com", "gitlab.com", "www.gitlab.com"};
    return hosts;
}

bool allOf(const std::string& s, std::string_view extra) {
    for (char c : s) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                        extra.find(c) != std::string_view::npos;
        if (!ok) return false;
    }
    return true;
}

void log(const std::string& line) {
    std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
}

struct URLParts {
    bool ok = false;
    std::string scheme, host, path;
    bool credentials = false;
};

URLParts parse(const std::string& url) {
    URLParts parts;
    CURLU* u = curl_url();
    if (curl_url_set(u, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
        char *scheme = nullptr, *host = nullptr, *path = nullptr, *user = nullptr, *password = nullptr;
        if (curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
            parts.ok = true;
            parts.scheme = text::lowercased(scheme);
            parts.host = text::lowercased(host);
            if (curl_url_get(u, CURLUPART_PATH, &path, 0) == CURLUE_OK) parts.path = path;
            parts.credentials = curl_url_get(u, CURLUPART_USER, &user, 0) == CURLUE_OK ||
                                curl_url_get(u, CURLUPART_PASSWORD, &password, 0) == CURLUE_OK;
        }
        for (char* p : {scheme, host, path, user, password}) curl_free(p);
    }
    curl_url_cleanup(u);
    return parts;
}

} // namespace

GitRepositoryCloner::GitRepositoryCloner() : GitRepositoryCloner(Options{}) {}

GitRepositoryCloner::GitRepositoryCloner(Options options) : options_(std::move(options)) {
    if (options_.reposDir.empty()) options_.reposDir = paths::appData() + "/repos";
}

const std::string& GitRepositoryCloner::reposDir() {
    if (!reposDirReady_) {
        paths::ensureDirectory(options_.reposDir); // a failure shows in git's own message
        reposDirReady_ = true;
    }
    return options_.reposDir;
}

bool GitRepositoryCloner::isSafeGitName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name[0] == '-') return false;
    return allOf(name, "._-");
}

bool GitRepositoryCloner::isSafeGitRef(const std::string& ref) {
    if (ref.empty() || ref[0] == '-' || ref[0] == '/' || ref.find("..") != std::string::npos) return false;
    return allOf(ref, "._/-");
}

std::string GitRepositoryCloner::gitCloneRepo(const std::string& url, const std::optional<std::string>& dest,
                                              const std::optional<std::string>& branch, ProcessRegistry& registry,
                                              std::stop_token stop) {
    const std::string trimmed = text::trimmed(url);
    const std::string shown = text::graphemePrefix(trimmed, 120);
    URLParts parts = parse(trimmed);
    if (!parts.ok || parts.scheme != "https" || !hostAllowlist().count(parts.host))
        return "error: git_clone_repo needs an https:// URL on an allowed host (github.com, gitlab.com) \xE2\x80\x94 "
               "got: " +
               shown;
    if (parts.credentials)
        return "error: git_clone_repo refuses URLs with embedded credentials \xE2\x80\x94 clone a public repo, or "
               "pre-authorize git on the host.";

    std::vector<std::string> pieces;
    for (size_t start = 0; start <= parts.path.size();) {
        size_t slash = parts.path.find('/', start);
        if (slash == std::string::npos) slash = parts.path.size();
        if (slash > start) pieces.push_back(parts.path.substr(start, slash - start));
        start = slash + 1;
    }
    if (pieces.size() < 2 || !isSafeGitName(pieces[pieces.size() - 2]))
        return "error: could not parse a safe <owner>/<repo> from " + shown;
    const std::string owner = pieces[pieces.size() - 2];
    std::string repo = pieces.back();
    if (text::endsWith(repo, ".git")) repo.resize(repo.size() - 4);
    if (!isSafeGitName(repo)) return "error: unsafe repo name in " + shown;

    std::string folder = owner + "-" + repo;
    if (dest) {
        const std::string d = text::trimmed(*dest);
        if (!d.empty()) {
            if (!isSafeGitName(d))
                return "error: dest must be one directory name (letters, digits, . _ - only \xE2\x80\x94 no slashes, "
                       "no ..).";
            folder = d;
        }
    }
    const std::string target = reposDir() + "/" + folder;

    std::string branchOption;
    if (branch) {
        const std::string b = text::trimmed(*branch);
        if (!b.empty()) {
            if (!isSafeGitRef(b)) return "error: unsafe branch name '" + text::graphemePrefix(b, 60) + "'.";
            branchOption = " --branch " + shellQuoted(b);
        }
    }

    namespace fs = std::filesystem;
    std::error_code ec;
    const bool existing = fs::exists(target + "/.git", ec);
    const bool targetExisted = fs::exists(target, ec);
    const std::string git = shellQuoted(options_.git);
    const std::string command =
        existing ? "GIT_TERMINAL_PROMPT=0 " + git + " -C " + shellQuoted(target) + " pull --ff-only 2>&1"
                 : "GIT_TERMINAL_PROMPT=0 " + git + " clone --depth 1" + branchOption + " " + shellQuoted(trimmed) +
                       " " + shellQuoted(target) + " 2>&1";
    const std::string verb = existing ? "pull" : "clone";
    log("[vivirov] git_clone_repo EXEC: " + verb + " " + trimmed + " \xE2\x86\x92 " + target);

    const auto start = std::chrono::steady_clock::now();
    ProcessRegistry::Result run = registry.runBash(command, options_.timeoutSeconds, stop);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const std::string tail = ToolExecutionManager::capTail(run.out, 4000, run.outDropped);

    if (run.exit != 0) {
        const bool timedOut = run.signaled && elapsed >= std::chrono::seconds(options_.timeoutSeconds - 1);
        const std::string reason = timedOut ? "timed out after " + std::to_string(options_.timeoutSeconds) +
                                                  "s (process group killed)"
                                            : "git exited " + std::to_string(run.exit);
        // Only what this clone made goes: a folder that was there before the
        // call (git refuses to clone into one that holds anything) stays.
        if (!existing && !targetExisted) fs::remove_all(target, ec);
        return "error: git_clone_repo " + verb + " failed \xE2\x80\x94 " + reason + "\n" + tail;
    }

    ProcessRegistry::Result head =
        registry.runBash(git + " -C " + shellQuoted(target) + " rev-parse --short HEAD 2>/dev/null", 0, stop);
    const std::string commit = text::trimmed(head.out);
    std::string result = "ok: " + std::string(existing ? "updated" : "cloned") + " " + trimmed + " \xE2\x86\x92 " + target;
    if (!commit.empty()) result += " (commit " + commit + ")";
    if (!tail.empty()) result += "\n" + tail;
    return result;
}

} // namespace vivirov
