#pragma once
// A loopback HTTP/1.1 server for tests: listens on 127.0.0.1 on an ephemeral
// (or a chosen) port, records every request (method, target, headers, body) and plays
// scripted answers in order.
//
//   HttpTestServer server;
//   server.enqueue(ScriptedResponse::sse("data: {\"x\":1}\n\n").splitAt({3, 9}, 2ms));
//   server.enqueue(ScriptedResponse::json(401, R"({"error":"bad key"})"));
//   client.post(server.baseURL() + "/v1/chat/completions", ...);
//   EXPECT_EQ(server.lastRequest().header("authorization"), "Bearer k");
//
// A script can split its body into chunks at chosen byte offsets with a delay
// before each, cut the connection mid-body, stall (headers and part of the
// body, then silence) or never answer at all. When no script is queued the
// handler (if set) answers, else a 500. Connections are kept alive between
// requests; acceptedConnections() counts TCP accepts so tests can check reuse.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace vivirov::test {

struct RecordedRequest {
    std::string method;
    std::string target; // path and query exactly as sent
    std::vector<std::pair<std::string, std::string>> headers; // in order, names as sent
    std::string body;
    int connection = 0; // 1-based index of the accepted connection that carried it

    // The first header of that name (compared without case).
    std::optional<std::string> header(std::string_view name) const;
    std::string path() const;  // target up to "?"
    std::string query() const; // after "?", or empty
};

struct ScriptedResponse {
    using Millis = std::chrono::milliseconds;
    struct Chunk {
        std::string bytes;
        Millis delay{0}; // waited before these bytes go out
    };
    // How the body's end is told: Content-Length, chunked transfer coding, or
    // closing the connection.
    enum class Framing { contentLength, chunked, closeDelimited };
    // complete: the whole body. closeMidBody: the framing announces the whole
    // body, but the connection is closed after `cutAfter` bytes. stall: as
    // closeMidBody but the connection stays open and silent. neverAnswer: the
    // request is read and recorded, nothing is ever sent.
    enum class Ending { complete, closeMidBody, stall, neverAnswer };

    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::vector<Chunk> chunks;
    Framing framing = Framing::contentLength;
    Ending ending = Ending::complete;
    size_t cutAfter = 0;

    static ScriptedResponse text(int status, std::string body, std::string contentType = "text/plain");
    static ScriptedResponse json(int status, std::string body);
    // A text/event-stream answer with chunked framing.
    static ScriptedResponse sse(std::string body);
    static ScriptedResponse neverAnswer();

    std::string body() const;
    // Re-cuts the body into chunks at these byte offsets, `delay` before each.
    ScriptedResponse& splitAt(const std::vector<size_t>& offsets, Millis delay = Millis(0));
    // Re-cuts the body into pieces of `size` bytes.
    ScriptedResponse& splitEvery(size_t size, Millis delay = Millis(0));
    ScriptedResponse& closeAfter(size_t bytes);
    ScriptedResponse& stallAfter(size_t bytes);
    ScriptedResponse& header(std::string name, std::string value);
};

class HttpTestServer {
public:
    using Handler = std::function<ScriptedResponse(const RecordedRequest&)>;

    // Port 0 takes an ephemeral port.
    explicit HttpTestServer(int port = 0);
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    int port() const { return port_; }
    std::string baseURL() const; // "http://127.0.0.1:<port>"

    void enqueue(ScriptedResponse response);
    void setHandler(Handler handler);

    std::vector<RecordedRequest> requests() const;
    RecordedRequest lastRequest() const; // empty record when none arrived
    size_t requestCount() const;
    int acceptedConnections() const;
    // Connections the client closed (or reset) while the server still had them.
    int connectionsClosedByClient() const;
    bool waitForRequests(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    bool waitForClientCloses(int count, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

private:
    struct Connection {
        int fd = -1;
        int index = 0;
        std::thread thread;
    };
    void acceptLoop();
    void serve(Connection* connection);
    ScriptedResponse nextResponse(const RecordedRequest& request);
    void noteClientClose();

    int listenFd_ = -1;
    int port_ = 0;
    int wakeFds_[2] = {-1, -1};
    std::thread acceptThread_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    std::list<Connection> connections_;
    std::list<ScriptedResponse> queue_;
    Handler handler_;
    std::vector<RecordedRequest> requests_;
    int accepted_ = 0;
    int closedByClient_ = 0;
};

} // namespace vivirov::test
