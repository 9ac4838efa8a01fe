#include "VivirovVizivurad/HostTools/PublicWebTools.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <curl/curl.h>

#include "VivirovKit/Providers/HTTPSession.h"
#include "VivirovKit/Providers/ProviderTypes.h"
#include "VivirovKit/Support/Cancellation.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovVizivurad/HostTools/FetchRedirectGuard.h"
#include "VivirovVizivurad/HostTools/ProcessRegistry.h"
#include "VivirovVizivurad/HostTools/PublicAddressCheck.h"
#include "VivirovVizivurad/HostTools/ShellQuote.h"
#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"
#include "VivirovVizivurad/HostTools/WebPageText.h"

#ifndef VIVIROV_RESOURCES_DIR
#define VIVIROV_RESOURCES_DIR "resources"
#endif

namespace vivirov {

namespace {

constexpr const char* kUserAgent = "Mozilla/5.0 (Macintosh; Intel Mac OS X) VivirovVizivurad/1.0";
constexpr int kMaxRedirects = 16;

void log(const std::string& line) {
    std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
}

bool fileExists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::exists(path, ec);
}

std::optional<std::string> scriptFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value && *value && fileExists(value)) return std::string(value);
    return std::nullopt;
}

// Resolves `location` against `base` as a browser would.
std::optional<std::string> resolveLocation(const std::string& base, const std::string& location) {
    CURLU* u = curl_url();
    std::optional<std::string> result;
    if (curl_url_set(u, CURLUPART_URL, base.c_str(), 0) == CURLUE_OK &&
        curl_url_set(u, CURLUPART_URL, location.c_str(), CURLU_ALLOW_SPACE) == CURLUE_OK) {
        char* full = nullptr;
        if (curl_url_get(u, CURLUPART_URL, &full, 0) == CURLUE_OK) result = std::string(full);
        curl_free(full);
    }
    curl_url_cleanup(u);
    return result;
}

// The header's value when `line` is "Name: value" (name compared without case).
std::optional<std::string> headerValue(std::string_view line, std::string_view name) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || text::lowercased(line.substr(0, colon)) != name) return std::nullopt;
    return text::trimmed(line.substr(colon + 1));
}

// A host the fetch may contact: public by name (or the test allowance) and by
// every address it resolves to.
struct HostDecision {
    bool refused = false;
    std::string error;
    std::vector<std::string> pinned;
};

HostDecision decideHost(const std::string& url) {
    HostDecision decision;
    const bool allowance = PublicAddressCheck::isAllowedForTesting(url);
    if (!allowance && ToolExecutionManager::isBlockedHost(url)) {
        decision.refused = true;
        return decision;
    }
    PublicAddressCheck check = PublicAddressCheck::check(url);
    decision.refused = check.refused;
    decision.error = check.error;
    decision.pinned = check.pinnedAddresses;
    return decision;
}

std::string hostForMessage(const std::string& url) {
    CURLU* u = curl_url();
    std::string host = "?";
    char* h = nullptr;
    if (curl_url_set(u, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_HOST, &h, 0) == CURLUE_OK && h && *h)
        host = h;
    curl_free(h);
    curl_url_cleanup(u);
    return host;
}

struct FetchedResponse {
    int status = 0;
    std::string contentType;
    long long announcedLength = -1;
    std::string body;
    bool capped = false;
    bool tooLarge = false;
};

} // namespace

PublicWebTools::PublicWebTools() : PublicWebTools(std::string(VIVIROV_RESOURCES_DIR) + "/web_search.py") {}

PublicWebTools::PublicWebTools(std::string bundledScript) : bundledScript_(std::move(bundledScript)) {}

std::optional<std::string> PublicWebTools::resolveWebSearchScript() const {
    if (auto path = scriptFromEnvironment("VIVIROV_WEB_SEARCH_SCRIPT")) return path;
    if (auto path = scriptFromEnvironment("VIVIROV_WEBSEARCH_SCRIPT")) return path;
    if (fileExists(bundledScript_)) return bundledScript_;
    return std::nullopt;
}

std::string PublicWebTools::webSearch(const std::string& query, ProcessRegistry& registry, std::stop_token stop) {
    const std::string trimmed = text::trimmed(query);
    if (trimmed.empty()) return "error: empty web_search query";
    auto script = resolveWebSearchScript();
    if (!script) {
        log("[vivirov] web_search UNAVAILABLE: no helper script found");
        return "error: web_search helper script not found \xE2\x80\x94 checked $VIVIROV_WEB_SEARCH_SCRIPT, the app "
               "bundle (Resources/web_search.py), and the legacy DudiveKelvor path. Set VIVIROV_WEB_SEARCH_SCRIPT to "
               "a valid web_search.py to enable live search.";
    }
    log("[vivirov] web_search EXEC: " + trimmed + " [script: " + *script + "]");
    const std::string command = "python3 " + shellQuoted(*script) + " " + shellQuoted(trimmed);
    ProcessRegistry::Result run = registry.runBash(command, 0, stop);
    if (!run.out.empty()) {
        std::string result = ToolExecutionManager::cap(run.out, 6000, run.outDropped);
        log("[vivirov] web_search OK: " + std::to_string(text::graphemeCount(result)) + " chars");
        return result;
    }
    if (!run.err.empty()) {
        log("[vivirov] web_search ERR: " + ToolExecutionManager::cap(run.err, 200, run.errDropped));
        return "web_search error: " + ToolExecutionManager::cap(run.err, 1200, run.errDropped);
    }
    log("[vivirov] web_search EMPTY (exit " + std::to_string(run.exit) + ")");
    return "web_search returned no output (exit " + std::to_string(run.exit) + ").";
}

std::string PublicWebTools::webFetch(const std::string& urlText, std::stop_token stop) {
    const std::string trimmed = text::trimmed(urlText);
    CURLU* parsed = curl_url();
    char* normalized = nullptr;
    const bool parses = !trimmed.empty() &&
                        curl_url_set(parsed, CURLUPART_URL, trimmed.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK &&
                        curl_url_get(parsed, CURLUPART_URL, &normalized, 0) == CURLUE_OK;
    const std::string absolute = normalized ? normalized : trimmed;
    curl_free(normalized);
    curl_url_cleanup(parsed);
    if (!parses) {
        // A bare word has no scheme: the host rule refuses it below.
        if (trimmed.empty() || trimmed.find_first_of(" \t\n\r<>\"{}|\\^`") != std::string::npos)
            return "error: web_fetch needs a valid http(s) URL (got: " + text::graphemePrefix(trimmed, 80) + ")";
    }
    const std::string refusal = "' \xE2\x80\x94 only public http(s) hosts are allowed (loopback / LAN / link-local / "
                                "metadata are blocked).";
    HostDecision first = decideHost(parses ? absolute : trimmed);
    if (first.refused) return "error: web_fetch refused host '" + (parses ? hostForMessage(absolute) : "?") + refusal;
    log("[vivirov] web_fetch EXEC: " + trimmed);
    const std::string arrow = " \xE2\x86\x92 HTTP ";

    try {
        if (!first.error.empty()) throw TransportError(TransportError::Code::cannotConnect, first.error);
        // A session of its own: nothing (connections, lookups) is shared with
        // other transfers, so the pinned addresses hold for this fetch alone.
        // Only the idle time-out ends a slow download, not its total length.
        HTTPSession session(HTTPSession::Configuration{idleTimeoutSeconds, 7 * 24 * 3600.0, 1});
        FetchRedirectGuard guard;
        std::string current = absolute;
        std::vector<std::string> pinned = first.pinned;
        FetchedResponse response;
        for (int hop = 0;; ++hop) {
            response = FetchedResponse{};
            std::optional<std::string> location;
            bool follow = false;
            std::string next;
            std::vector<std::string> nextPinned;
            HTTPRequest request;
            request.url = current;
            request.timeoutInterval = idleTimeoutSeconds;
            request.userAgent = kUserAgent;
            request.pinnedAddresses = pinned;
            auto onHeader = [&](std::string_view line) {
                if (text::startsWith(line, "HTTP/")) { // a new response head (after a 1xx)
                    response.contentType.clear();
                    response.announcedLength = -1;
                    location.reset();
                } else if (auto v = headerValue(line, "content-type")) {
                    response.contentType = *v;
                } else if (auto v = headerValue(line, "content-length")) {
                    response.announcedLength = std::atoll(v->c_str());
                } else if (auto v = headerValue(line, "location")) {
                    location = *v;
                }
            };
            auto onResponse = [&](int status) {
                response.status = status;
                if (status >= 300 && status < 400 && location && hop < kMaxRedirects) {
                    if (auto target = resolveLocation(current, *location)) {
                        const bool allowedByTest = PublicAddressCheck::isAllowedForTesting(*target);
                        if (allowedByTest || guard.willPerformHTTPRedirection(*target)) {
                            HostDecision decision = decideHost(*target);
                            if (!decision.refused) {
                                if (!decision.error.empty())
                                    throw TransportError(TransportError::Code::cannotConnect, decision.error);
                                follow = true;
                                next = *target;
                                nextPinned = decision.pinned;
                                return false;
                            }
                        }
                        log("[vivirov] web_fetch redirect refused: " + *target);
                    }
                }
                if (response.announcedLength > (long long)maxDownloadBytes) {
                    response.tooLarge = true;
                    return false;
                }
                response.body.reserve(65536);
                return true;
            };
            auto onBody = [&](std::string_view bytes) {
                const size_t room = maxDownloadBytes - response.body.size();
                response.body.append(bytes.substr(0, room));
                if (response.body.size() >= maxDownloadBytes) {
                    response.capped = true;
                    return false;
                }
                return true;
            };
            session.perform(request, stop, onResponse, onBody, onHeader);
            if (!follow) break;
            current = next;
            pinned = nextPinned;
        }

        const std::string status = std::to_string(response.status);
        if (response.tooLarge)
            return "web_fetch " + absolute + arrow + status + ": response too large (" +
                   std::to_string(response.announcedLength) + " bytes; cap 8 MB).";
        std::string decoded = webtext::decodeBody(response.body, response.contentType);
        response.body = {};
        if (text::graphemeCount(decoded) > maxDecodedCharacters)
            decoded = text::graphemePrefix(decoded, maxDecodedCharacters);
        const std::string readable = webtext::htmlToText(decoded);
        const std::string count = std::to_string(text::graphemeCount(readable));
        log("[vivirov] web_fetch OK: HTTP " + status + ", " + count + " chars" + (response.capped ? " (capped)" : ""));
        return "web_fetch " + absolute + arrow + status + ", " + count + " chars of readable text" +
               (response.capped ? " (download capped at 8 MB)" : "") + ":\n\n" +
               ToolExecutionManager::cap(readable, 6000);
    } catch (const CancellationError&) {
        log("[vivirov] web_fetch ERR: cancelled");
        return "web_fetch error: cancelled";
    } catch (const std::exception& error) {
        log(std::string("[vivirov] web_fetch ERR: ") + error.what());
        return std::string("web_fetch error: ") + error.what();
    }
}

} // namespace vivirov
