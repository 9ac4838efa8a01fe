#include "tests/support/HttpTestServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace vivirov::test {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

std::string trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return std::string(s);
}

const char* reasonPhrase(int status) {
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

bool sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(size_t(n));
    }
    return true;
}

// Reads more bytes into `buffer`; false on end of stream or error.
bool readMore(int fd, std::string& buffer) {
    char chunk[4096];
    for (;;) {
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buffer.append(chunk, size_t(n));
        return true;
    }
}

// Makes sure `buffer` holds at least `size` bytes.
bool fill(int fd, std::string& buffer, size_t size) {
    while (buffer.size() < size)
        if (!readMore(fd, buffer)) return false;
    return true;
}

// Reads a line ending in CRLF from the buffered stream (without the CRLF).
bool readLine(int fd, std::string& buffer, std::string& line) {
    size_t end;
    while ((end = buffer.find("\r\n")) == std::string::npos)
        if (!readMore(fd, buffer)) return false;
    line = buffer.substr(0, end);
    buffer.erase(0, end + 2);
    return true;
}

enum class PeerWait { peerClosed, stopping, elapsed };

} // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (equalsIgnoringCase(key, name)) return value;
    return std::nullopt;
}

std::string RecordedRequest::path() const { return target.substr(0, target.find('?')); }

std::string RecordedRequest::query() const {
    size_t q = target.find('?');
    return q == std::string::npos ? std::string() : target.substr(q + 1);
}

ScriptedResponse ScriptedResponse::text(int status, std::string body, std::string contentType) {
    ScriptedResponse r;
    r.status = status;
    r.headers.emplace_back("Content-Type", std::move(contentType));
    r.chunks.push_back({std::move(body), Millis(0)});
    return r;
}

ScriptedResponse ScriptedResponse::json(int status, std::string body) {
    return text(status, std::move(body), "application/json");
}

ScriptedResponse ScriptedResponse::sse(std::string body) {
    ScriptedResponse r = text(200, std::move(body), "text/event-stream");
    r.headers.emplace_back("Cache-Control", "no-cache");
    r.framing = Framing::chunked;
    return r;
}

ScriptedResponse ScriptedResponse::neverAnswer() {
    ScriptedResponse r;
    r.ending = Ending::neverAnswer;
    return r;
}

std::string ScriptedResponse::body() const {
    std::string all;
    for (const auto& c : chunks) all += c.bytes;
    return all;
}

ScriptedResponse& ScriptedResponse::splitAt(const std::vector<size_t>& offsets, Millis delay) {
    std::string all = body();
    chunks.clear();
    size_t from = 0;
    for (size_t cut : offsets) {
        if (cut <= from || cut >= all.size()) continue;
        chunks.push_back({all.substr(from, cut - from), delay});
        from = cut;
    }
    chunks.push_back({all.substr(from), delay});
    return *this;
}

ScriptedResponse& ScriptedResponse::splitEvery(size_t size, Millis delay) {
    std::vector<size_t> offsets;
    std::string all = body();
    for (size_t at = size; size > 0 && at < all.size(); at += size) offsets.push_back(at);
    return splitAt(offsets, delay);
}

ScriptedResponse& ScriptedResponse::closeAfter(size_t bytes) {
    ending = Ending::closeMidBody;
    cutAfter = bytes;
    return *this;
}

ScriptedResponse& ScriptedResponse::stallAfter(size_t bytes) {
    ending = Ending::stall;
    cutAfter = bytes;
    return *this;
}

ScriptedResponse& ScriptedResponse::header(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
    return *this;
}

HttpTestServer::HttpTestServer(int port) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) throw std::runtime_error("HttpTestServer: socket failed");
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 64) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("HttpTestServer: bind/listen failed");
    }
    socklen_t length = sizeof address;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    if (::pipe2(wakeFds_, O_CLOEXEC) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("HttpTestServer: pipe failed");
    }
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

HttpTestServer::~HttpTestServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (auto& c : connections_)
            if (c.fd >= 0) ::shutdown(c.fd, SHUT_RDWR);
    }
    changed_.notify_all();
    char byte = 1;
    (void)!::write(wakeFds_[1], &byte, 1);
    acceptThread_.join();
    // No new connections can appear now; wake and join the ones we have.
    for (auto& c : connections_) {
        {
            std::lock_guard lock(mutex_);
            if (c.fd >= 0) ::shutdown(c.fd, SHUT_RDWR);
        }
        c.thread.join();
    }
    ::close(listenFd_);
    ::close(wakeFds_[0]);
    ::close(wakeFds_[1]);
}

std::string HttpTestServer::baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

void HttpTestServer::enqueue(ScriptedResponse response) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(response));
}

void HttpTestServer::setHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<RecordedRequest> HttpTestServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

RecordedRequest HttpTestServer::lastRequest() const {
    std::lock_guard lock(mutex_);
    return requests_.empty() ? RecordedRequest{} : requests_.back();
}

size_t HttpTestServer::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

int HttpTestServer::acceptedConnections() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

int HttpTestServer::connectionsClosedByClient() const {
    std::lock_guard lock(mutex_);
    return closedByClient_;
}

bool HttpTestServer::waitForRequests(size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return requests_.size() >= count; });
}

bool HttpTestServer::waitForClientCloses(int count, std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return closedByClient_ >= count; });
}

void HttpTestServer::noteClientClose() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        ++closedByClient_;
    }
    changed_.notify_all();
}

void HttpTestServer::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard lock(mutex_);
        if (stopping_) {
            ::close(fd);
            return;
        }
        connections_.push_back({fd, ++accepted_, {}});
        Connection* connection = &connections_.back();
        connection->thread = std::thread([this, connection] { serve(connection); });
    }
}

ScriptedResponse HttpTestServer::nextResponse(const RecordedRequest& request) {
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        if (!queue_.empty()) {
            ScriptedResponse r = std::move(queue_.front());
            queue_.pop_front();
            return r;
        }
        handler = handler_;
    }
    if (handler) return handler(request);
    return ScriptedResponse::text(500, "no scripted answer");
}

void HttpTestServer::serve(Connection* connection) {
    const int fd = connection->fd;
    std::string buffer;

    // Waits up to `limit` (forever when negative) for the client to close.
    auto waitForPeer = [&](int limitMs) {
        for (;;) {
            pollfd p{fd, POLLRDHUP, 0};
            int n = ::poll(&p, 1, limitMs);
            if (n < 0 && errno == EINTR) continue;
            {
                std::lock_guard lock(mutex_);
                if (stopping_) return PeerWait::stopping;
            }
            if (n == 0) return PeerWait::elapsed;
            return PeerWait::peerClosed;
        }
    };
    auto readRequest = [&](RecordedRequest& request) {
        std::string line;
        do {
            if (!readLine(fd, buffer, line)) return false;
        } while (line.empty()); // tolerate stray blank lines between requests
        size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
        if (sp1 == std::string::npos || sp2 <= sp1) return false;
        request.method = line.substr(0, sp1);
        request.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
        for (;;) {
            if (!readLine(fd, buffer, line)) return false;
            if (line.empty()) break;
            size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            request.headers.emplace_back(line.substr(0, colon), trim(std::string_view(line).substr(colon + 1)));
        }
        if (auto expect = request.header("Expect"); expect && equalsIgnoringCase(*expect, "100-continue"))
            sendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n");
        if (auto coding = request.header("Transfer-Encoding"); coding && equalsIgnoringCase(*coding, "chunked")) {
            for (;;) {
                if (!readLine(fd, buffer, line)) return false;
                size_t size = std::stoul(line, nullptr, 16);
                if (!fill(fd, buffer, size + 2)) return false;
                request.body.append(buffer, 0, size);
                buffer.erase(0, size + 2);
                if (size == 0) break;
            }
        } else if (auto length = request.header("Content-Length")) {
            size_t size = std::stoul(*length);
            if (!fill(fd, buffer, size)) return false;
            request.body = buffer.substr(0, size);
            buffer.erase(0, size);
        }
        return true;
    };
    // Sends one answer; true when the connection can carry another request.
    auto answer = [&](const ScriptedResponse& r, bool clientWantsClose) {
        using Ending = ScriptedResponse::Ending;
        using Framing = ScriptedResponse::Framing;
        if (r.ending == Ending::neverAnswer) {
            if (waitForPeer(-1) == PeerWait::peerClosed) noteClientClose();
            return false;
        }
        const bool cut = r.ending == Ending::closeMidBody || r.ending == Ending::stall;
        size_t total = 0;
        for (const auto& c : r.chunks) total += c.bytes.size();
        std::string head = "HTTP/1.1 " + std::to_string(r.status) + " " + reasonPhrase(r.status) + "\r\n";
        for (const auto& [name, value] : r.headers) head += name + ": " + value + "\r\n";
        if (r.framing == Framing::contentLength) head += "Content-Length: " + std::to_string(total) + "\r\n";
        if (r.framing == Framing::chunked) head += "Transfer-Encoding: chunked\r\n";
        if (r.framing == Framing::closeDelimited || clientWantsClose) head += "Connection: close\r\n";
        head += "\r\n";
        if (!sendAll(fd, head)) {
            noteClientClose();
            return false;
        }
        size_t sent = 0;
        for (const auto& c : r.chunks) {
            if (c.delay.count() > 0) {
                PeerWait w = waitForPeer(int(c.delay.count()));
                if (w == PeerWait::stopping) return false;
                if (w == PeerWait::peerClosed) {
                    noteClientClose();
                    return false;
                }
            }
            std::string_view bytes = c.bytes;
            if (cut) bytes = bytes.substr(0, sent >= r.cutAfter ? 0 : r.cutAfter - sent);
            if (bytes.empty()) continue;
            std::string wire = r.framing == Framing::chunked
                                   ? [&] {
                                         char size[32];
                                         std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
                                         return std::string(size) + std::string(bytes) + "\r\n";
                                     }()
                                   : std::string(bytes);
            if (!sendAll(fd, wire)) {
                noteClientClose();
                return false;
            }
            sent += bytes.size();
        }
        if (r.ending == Ending::closeMidBody) return false;
        if (r.ending == Ending::stall) {
            if (waitForPeer(-1) == PeerWait::peerClosed) noteClientClose();
            return false;
        }
        if (r.framing == Framing::chunked && !sendAll(fd, "0\r\n\r\n")) {
            noteClientClose();
            return false;
        }
        return r.framing != Framing::closeDelimited && !clientWantsClose;
    };

    for (;;) {
        RecordedRequest request;
        bool complete = false;
        try {
            complete = readRequest(request);
        } catch (const std::exception&) { // a malformed length or chunk size
            break;
        }
        if (!complete) {
            noteClientClose();
            break;
        }
        request.connection = connection->index;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        changed_.notify_all();
        ScriptedResponse response = nextResponse(request);
        auto close = request.header("Connection");
        if (!answer(response, close && equalsIgnoringCase(*close, "close"))) break;
    }
    std::lock_guard lock(mutex_);
    ::close(connection->fd);
    connection->fd = -1;
}

} // namespace vivirov::test
