#pragma once
// The HTTP transport of the provider clients, on libcurl: one easy handle per
// request, connections kept alive for later requests, time-outs read through
// Clock::current(), and cancellation through a std::stop_token that ends a
// transfer at once (the connection is dropped).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vivirov {

struct HTTPRequest {
    std::string method = "GET";
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // Longest wait for further data; the session's request time-out applies
    // when it is shorter.
    double timeoutInterval = 60.0;
    // Longest time for the whole transfer, on top of the session's resource
    // time-out; 0 means none of its own.
    double totalTimeout = 0.0;
    // Replaces the default User-Agent when not empty.
    std::string userAgent;
    // Pinned addresses ("host:port:address"): the host is reached only at an
    // address its caller has checked, never through a fresh lookup or a proxy.
    std::vector<std::string> pinnedAddresses;
    // Redirects followed, at most this many and only to http or https; 0
    // follows none. An "Authorization" header never goes to another host.
    int maxRedirects = 0;
};

// What a transfer into a file sink ended with.
struct HTTPDownloadResult {
    int status = 0;
    int64_t expectedBytes = -1; // the announced length; -1 when none was sent
    int64_t receivedBytes = 0;  // body bytes written to the file
};

class HTTPSession {
public:
    struct Configuration {
        double requestTimeout = 120.0;  // seconds without any data
        double resourceTimeout = 600.0; // seconds for a whole transfer
        // Transfers whose connections are kept for reuse once they end.
        size_t keptConnectionSlots = 8;
    };

    // Called once when the response head has arrived, before any body byte
    // (also for an empty body). Return false to end without reading the body.
    using OnResponse = std::function<bool(int status)>;
    // Body bytes as they arrive. Return false to stop reading.
    using OnBody = std::function<bool(std::string_view bytes)>;
    // Each raw header line of the response (status line included), before
    // OnResponse.
    using OnHeader = std::function<void(std::string_view line)>;

    explicit HTTPSession(Configuration configuration);
    HTTPSession();
    ~HTTPSession();
    HTTPSession(const HTTPSession&) = delete;
    HTTPSession& operator=(const HTTPSession&) = delete;

    const Configuration& configuration() const { return configuration_; }

    // Sends the request and blocks until the body has ended or a handler asked
    // to stop; handlers run on the calling thread. Only http and https URLs are
    // accepted; redirects are followed only as `request.maxRedirects` allows
    // (otherwise a 3xx is an answer like any other).
    // Throws CancellationError when `cancel` is requested, TransportError for a
    // bad URL, a failed connection, a time-out or a broken transfer; an
    // exception thrown by a handler ends the transfer and is rethrown.
    void perform(const HTTPRequest& request, std::stop_token cancel, const OnResponse& onResponse,
                 const OnBody& onBody, const OnHeader& onHeader = {});

    // Body bytes so far and the announced length (-1 when none), reported
    // from the transfer thread as bytes arrive.
    using OnProgress = std::function<void(int64_t received, int64_t expected)>;

    // A transfer into a file sink: a 2xx body is written to `fd` (opened by
    // the caller) from its current offset; any other status writes nothing
    // and ends the transfer. Errors as for `perform`; a failing write throws
    // std::system_error with the write's errno.
    HTTPDownloadResult download(const HTTPRequest& request, std::stop_token cancel, int fd,
                                const OnProgress& onProgress);

    // True when libcurl can parse the text as an http or https URL.
    static bool isSupportedURL(const std::string& url);

private:
    struct Pool;
    void run(const HTTPRequest& request, std::stop_token cancel, const OnResponse& onResponse,
             const OnBody& onBody, const OnHeader& onHeader, int64_t* contentLength);
    Configuration configuration_;
    std::unique_ptr<Pool> pool_;
};

} // namespace vivirov
