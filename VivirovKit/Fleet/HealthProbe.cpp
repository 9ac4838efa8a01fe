#include "VivirovKit/Fleet/HealthProbe.h"

#include <curl/curl.h>

#include "VivirovKit/Fleet/LocalServerPorts.h"
#include "VivirovKit/Providers/HTTPSession.h"

namespace vivirov {

namespace {

size_t discardBody(char*, size_t size, size_t count, void*) { return size * count; }

CURL* makeProbe(const std::string& url, HealthProbe::Timing timing) {
    CURL* easy = curl_easy_init();
    if (!easy) return nullptr;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // A proxy from the environment must not stand in for a loopback server.
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timing.request.count()));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(timing.wait.count()));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discardBody);
    return easy;
}

} // namespace

bool HealthProbe::probe(const std::string& url, Timing timing) { return probeAll({url}, timing).front(); }

std::vector<bool> HealthProbe::probeAll(const std::vector<std::string>& urls, Timing timing) {
    std::vector<bool> up(urls.size(), false);
    CURLM* multi = curl_multi_init();
    if (!multi) return up;
    std::vector<CURL*> handles(urls.size(), nullptr);
    for (size_t i = 0; i < urls.size(); ++i) {
        // Also initialises libcurl; a text that is no URL sends nothing.
        if (!HTTPSession::isSupportedURL(urls[i])) continue;
        handles[i] = makeProbe(urls[i], timing);
        if (handles[i]) curl_multi_add_handle(multi, handles[i]);
    }
    int running = 0;
    do {
        if (curl_multi_perform(multi, &running) != CURLM_OK) break;
        if (running > 0 && curl_multi_poll(multi, nullptr, 0, 100, nullptr) != CURLM_OK) break;
    } while (running > 0);

    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
        if (message->msg != CURLMSG_DONE || message->data.result != CURLE_OK) continue;
        long status = 0;
        curl_easy_getinfo(message->easy_handle, CURLINFO_RESPONSE_CODE, &status);
        for (size_t i = 0; i < handles.size(); ++i)
            if (handles[i] == message->easy_handle) up[i] = status > 0 && status < 500;
    }
    for (CURL* easy : handles) {
        if (!easy) continue;
        curl_multi_remove_handle(multi, easy);
        curl_easy_cleanup(easy);
    }
    curl_multi_cleanup(multi);
    return up;
}

std::string HealthProbe::healthURL(int usualPort) {
    return "http://127.0.0.1:" + std::to_string(LocalServerPorts::resolve(usualPort)) + "/health";
}

} // namespace vivirov
