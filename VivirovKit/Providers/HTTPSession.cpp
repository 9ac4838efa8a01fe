#include "VivirovKit/Providers/HTTPSession.h"
#include "VivirovKit/Support/Text.h"

#include <chrono>

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>

#include <cerrno>
#include <unistd.h>

#include "VivirovKit/Providers/ProviderTypes.h"
#include "VivirovKit/Support/Cancellation.h"
#include "VivirovKit/Support/Clock.h"

namespace vivirov {

namespace {

constexpr long kPollMillis = 50;

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

constexpr size_t kDrainBytes = 64 * 1024;
constexpr auto kDrainTime = std::chrono::milliseconds(250);

uint64_t secondsToNanos(double s) { return s <= 0 ? 0 : uint64_t(s * 1e9); }

// State shared with libcurl's callbacks during one transfer.
struct Transfer {
    CURL* easy = nullptr;
    const HTTPSession::OnResponse* onResponse = nullptr;
    const HTTPSession::OnBody* onBody = nullptr;
    const HTTPSession::OnHeader* onHeader = nullptr;
    bool responseReported = false;
    bool followsRedirects = false;
    bool headHasLocation = false; // the head being read names a redirect target
    bool stoppedByHandler = false;
    // After the handler has what it needs (an SSE "[DONE]"), the rest of a
    // short body is read and dropped, so the connection ends cleanly and stays
    // cached for the next round instead of being torn down.
    bool draining = false;
    size_t drained = 0;
    std::chrono::steady_clock::time_point drainStart;
    std::exception_ptr handlerError;
    int64_t* contentLength = nullptr; // filled when the response head is reported
    uint64_t lastActivity = 0;
    curl_off_t uploaded = 0;

    void touch() { lastActivity = Clock::current().uptimeNanos(); }

    // False when the handler wants no more.
    bool reportResponse() {
        if (responseReported) return true;
        responseReported = true;
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        if (contentLength) {
            curl_off_t length = -1;
            curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
            *contentLength = int64_t(length);
        }
        try {
            if (*onResponse && !(*onResponse)(int(status))) stoppedByHandler = true;
        } catch (...) {
            handlerError = std::current_exception();
        }
        return !stoppedByHandler && !handlerError;
    }
};

size_t writeCallback(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t n = size * count;
    t->touch();
    if (t->draining) {
        t->drained += n;
        return t->drained > kDrainBytes ? 0 : n;
    }
    if (!t->reportResponse()) return 0;
    try {
        if (*t->onBody && !(*t->onBody)(std::string_view(data, n))) {
            t->stoppedByHandler = true;
            t->draining = true;
            t->drainStart = std::chrono::steady_clock::now();
            return n;
        }
    } catch (...) {
        t->handlerError = std::current_exception();
        return 0;
    }
    return n;
}

size_t headerCallback(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    t->touch();
    const std::string_view line(data, size * count);
    if (t->onHeader && *t->onHeader) {
        try {
            (*t->onHeader)(line);
        } catch (...) {
            t->handlerError = std::current_exception();
            return 0;
        }
    }
    // The blank line ends a head; a final (non-1xx) one is reported before any
    // body byte, so a handler can refuse a body that never comes.
    if (line == "\r\n" || line == "\n") {
        long status = 0;
        curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
        // A redirect that libcurl is about to follow is not the answer.
        const bool followed = t->followsRedirects && status >= 300 && status < 400 && t->headHasLocation;
        t->headHasLocation = false;
        if (status >= 200 && !followed && !t->reportResponse()) return 0;
    } else if (line.size() > 9 && (line[0] == 'L' || line[0] == 'l') &&
               text::lowercased(line.substr(0, 9)) == "location:") {
        t->headHasLocation = true;
    }
    return size * count;
}

int progressCallback(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) {
    auto* t = static_cast<Transfer*>(user);
    if (ulnow != t->uploaded) {
        t->uploaded = ulnow;
        t->touch();
    }
    return 0;
}

TransportError::Code codeFor(CURLcode code) {
    switch (code) {
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
        return TransportError::Code::invalidURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
        return TransportError::Code::cannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
        return TransportError::Code::timedOut;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
        return TransportError::Code::connectionLost;
    default:
        return TransportError::Code::other;
    }
}

} // namespace

// Multi handles whose connection caches outlive a transfer. A transfer borrows
// one (each multi serves one transfer at a time), so the next request finds
// the kept-alive connection; DNS and TLS sessions are shared by all of them.
// (libcurl's shared connection cache is not safe across concurrent threads.)
struct HTTPSession::Pool {
    std::mutex mutex;
    std::vector<CURLM*> idle;
    size_t limit;
    CURLSH* share = nullptr;
    std::array<std::mutex, CURL_LOCK_DATA_LAST> shareLocks;

    explicit Pool(size_t keep) : limit(keep) {
        share = curl_share_init();
        curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Pool::lock);
        curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Pool::unlock);
        curl_share_setopt(share, CURLSHOPT_USERDATA, this);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
    ~Pool() {
        for (CURLM* m : idle) curl_multi_cleanup(m);
        curl_share_cleanup(share);
    }
    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
        static_cast<Pool*>(user)->shareLocks[size_t(data) % CURL_LOCK_DATA_LAST].lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* user) {
        static_cast<Pool*>(user)->shareLocks[size_t(data) % CURL_LOCK_DATA_LAST].unlock();
    }
    CURLM* take() {
        {
            std::lock_guard guard(mutex);
            if (!idle.empty()) {
                CURLM* m = idle.back();
                idle.pop_back();
                return m;
            }
        }
        return curl_multi_init();
    }
    void give(CURLM* m) {
        {
            std::lock_guard guard(mutex);
            if (idle.size() < limit) {
                idle.push_back(m);
                return;
            }
        }
        curl_multi_cleanup(m);
    }
};

HTTPSession::HTTPSession() : HTTPSession(Configuration{}) {}

HTTPSession::HTTPSession(Configuration configuration) : configuration_(configuration) {
    globalInit();
    pool_ = std::make_unique<Pool>(configuration_.keptConnectionSlots);
}

HTTPSession::~HTTPSession() = default;

bool HTTPSession::isSupportedURL(const std::string& url) {
    globalInit();
    CURLU* u = curl_url();
    bool ok = curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
    char* scheme = nullptr;
    if (ok && curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK) {
        std::string s = scheme;
        ok = s == "http" || s == "https";
        curl_free(scheme);
    } else {
        ok = false;
    }
    char* host = nullptr;
    if (ok && curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
        ok = host[0] != '\0';
        curl_free(host);
    } else {
        ok = false;
    }
    curl_url_cleanup(u);
    return ok;
}

void HTTPSession::perform(const HTTPRequest& request, std::stop_token cancel, const OnResponse& onResponse,
                          const OnBody& onBody, const OnHeader& onHeader) {
    run(request, cancel, onResponse, onBody, onHeader, nullptr);
}

HTTPDownloadResult HTTPSession::download(const HTTPRequest& request, std::stop_token cancel, int fd,
                                         const OnProgress& onProgress) {
    HTTPDownloadResult result;
    auto onResponse = [&](int status) {
        result.status = status;
        if (onProgress) onProgress(0, result.expectedBytes);
        return status >= 200 && status < 300;
    };
    auto onBody = [&](std::string_view bytes) {
        while (!bytes.empty()) {
            ssize_t n = ::write(fd, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw std::system_error(n < 0 ? errno : EIO, std::generic_category(), "writing the download");
            bytes.remove_prefix(size_t(n));
            result.receivedBytes += n;
        }
        if (onProgress) onProgress(result.receivedBytes, result.expectedBytes);
        return true;
    };
    run(request, cancel, onResponse, onBody, {}, &result.expectedBytes);
    return result;
}

void HTTPSession::run(const HTTPRequest& request, std::stop_token cancel, const OnResponse& onResponse,
                      const OnBody& onBody, const OnHeader& onHeader, int64_t* contentLength) {
    throwIfCancelled(cancel);
    if (!isSupportedURL(request.url)) throw TransportError(TransportError::Code::invalidURL, "unsupported URL");

    Transfer t;
    t.onResponse = &onResponse;
    t.onBody = &onBody;
    t.onHeader = &onHeader;
    t.contentLength = contentLength;
    t.followsRedirects = request.maxRedirects > 0;
    t.easy = curl_easy_init();
    if (!t.easy) throw TransportError(TransportError::Code::other, "could not create a transfer");
    CURL* easy = t.easy;

    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    if (request.maxRedirects > 0) {
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, long(request.maxRedirects));
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        // libcurl keeps a custom "Authorization" header to the first host only
        // while this stays off; set it anyway so no default can change that.
        curl_easy_setopt(easy, CURLOPT_UNRESTRICTED_AUTH, 0L);
    } else {
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    }
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_SHARE, pool_->share);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, request.userAgent.empty() ? "Vivirov/1.0" : request.userAgent.c_str());
    curl_slist* pinned = nullptr;
    for (const auto& entry : request.pinnedAddresses) pinned = curl_slist_append(pinned, entry.c_str());
    if (pinned) {
        curl_easy_setopt(easy, CURLOPT_RESOLVE, pinned);
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
    }
    curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
    if (request.method == "GET") {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else {
        if (request.method == "POST") curl_easy_setopt(easy, CURLOPT_POST, 1L);
        else curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.body.size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
    }
    curl_slist* headers = nullptr;
    for (const auto& [name, value] : request.headers)
        headers = curl_slist_append(headers, (name + ": " + value).c_str());
    // The whole body goes at once; waiting for "100 Continue" only adds a round trip.
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &writeCallback);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &headerCallback);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &progressCallback);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);

    uint64_t idleLimit = secondsToNanos(configuration_.requestTimeout);
    if (request.timeoutInterval > 0) idleLimit = std::min(idleLimit, secondsToNanos(request.timeoutInterval));
    uint64_t totalLimit = secondsToNanos(configuration_.resourceTimeout);
    if (request.totalTimeout > 0) totalLimit = std::min(totalLimit, secondsToNanos(request.totalTimeout));

    CURLM* multi = pool_->take();
    curl_multi_add_handle(multi, easy);
    std::atomic<bool> cancelled{false};
    std::optional<std::stop_callback<std::function<void()>>> wake;
    wake.emplace(cancel, std::function<void()>([&] {
                     cancelled = true;
                     curl_multi_wakeup(multi);
                 }));

    const uint64_t start = Clock::current().uptimeNanos();
    t.lastActivity = start;
    CURLcode result = CURLE_OK;
    bool finished = false, timedOut = false;
    for (;;) {
        int running = 0;
        curl_multi_perform(multi, &running);
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) {
                result = msg->data.result;
                finished = true;
            }
        }
        if (finished || t.handlerError || cancelled) break;
        if (t.stoppedByHandler && (!t.draining || t.drained > kDrainBytes ||
                                   std::chrono::steady_clock::now() - t.drainStart > kDrainTime))
            break;
        uint64_t now = Clock::current().uptimeNanos();
        uint64_t idleFor = now > t.lastActivity ? now - t.lastActivity : 0;
        if (now - start >= totalLimit || idleFor >= idleLimit) {
            timedOut = true;
            break;
        }
        curl_multi_poll(multi, nullptr, 0, int(kPollMillis), nullptr);
    }
    wake.reset();
    if (finished && result == CURLE_OK && !t.handlerError && !cancelled) t.reportResponse();

    // Removing an unfinished transfer closes its connection; a finished one
    // leaves it in this multi's cache for the next request.
    curl_multi_remove_handle(multi, easy);
    curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
    curl_slist_free_all(pinned);
    pool_->give(multi);

    if (t.handlerError) std::rethrow_exception(t.handlerError);
    if (t.stoppedByHandler) return;
    if (cancelled || cancel.stop_requested()) throw CancellationError();
    if (timedOut) throw TransportError(TransportError::Code::timedOut, "the request timed out");
    if (result != CURLE_OK) throw TransportError(codeFor(result), curl_easy_strerror(result));
}

} // namespace vivirov
