#pragma once
// Test side of the stand-in model server (tests/programs/FakeModelServer):
// starts it as a real child in its own process group on a port of the
// test's own, and ends it (SIGKILL to its group) when the test is done.
#include <arpa/inet.h>
#include <csignal>
#include <future>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "VivirovKit/Support/Clock.h"
#include "VivirovKit/Support/ProcessRunner.h"
#include "tests/support/WaitUntil.h"

namespace vivirov::test {

inline std::string fakeModelServerPath() { return VIVIROV_FAKE_MODEL_SERVER; }

// A port nothing listens on right now (taken from the kernel's ephemeral range).
inline int freeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

inline bool acceptsConnections(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

class FakeServerProcess {
public:
    struct Options {
        std::string health = "200"; // or "404", "503", "never"
        bool ignoreTerm = false;
        std::vector<std::string> extraArguments; // e.g. a marker for ps to show
    };

    FakeServerProcess(int port, Options options) : port_(port) {
        ProcessRequest request;
        request.program = fakeModelServerPath();
        request.arguments = {"--port", std::to_string(port), "--health", options.health};
        if (options.ignoreTerm) request.arguments.push_back("--ignore-term");
        request.arguments.insert(request.arguments.end(), options.extraArguments.begin(),
                                 options.extraArguments.end());
        ProcessStart started = ProcessRunner::start(request);
        EXPECT_TRUE(started.started) << started.startError;
        process_ = started.process;
        EXPECT_TRUE(waitUntil([&] { return acceptsConnections(port); })) << "stand-in never listened";
    }
    ~FakeServerProcess() {
        if (process_ && process_->isRunning()) ::killpg(process_->pid(), SIGKILL);
        if (process_) waitUntil([&] { return !process_->isRunning(); });
    }
    FakeServerProcess(const FakeServerProcess&) = delete;
    FakeServerProcess& operator=(const FakeServerProcess&) = delete;

    int port() const { return port_; }
    bool isRunning() const { return process_ && process_->isRunning(); }
    bool waitForExit() const { return waitUntil([&] { return !isRunning(); }); }

private:
    int port_;
    std::shared_ptr<RunningProcess> process_;
};

// Runs `call` on a worker with `clock` as the process clock, moving the
// clock on by `step` whenever the worker sleeps on it, until the call returns.
template <typename Call>
auto runAdvancing(FakeClock& clock, uint64_t stepNanos, Call call) {
    Clock::setCurrent(&clock);
    auto result = std::async(std::launch::async, call);
    while (result.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
        if (clock.sleepers() > 0) clock.advance(stepNanos);
    Clock::setCurrent(nullptr);
    return result.get();
}

} // namespace vivirov::test
