// The fleet snapshot while every server accepts connections and never
// answers, beside one probe's wait against such a server, in the same run.
// The seven probes of a snapshot run at once, so the ratio should stay near 1
// (probed one after another it would be near 7).
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <chrono>
#include <map>
#include <memory>
#include <vector>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "VivirovKit/Fleet/HealthProbe.h"
#include "VivirovKit/Fleet/LocalServerPorts.h"
#include "VivirovKit/Fleet/ModelRouter.h"

using namespace vivirov;

namespace {

// A socket that listens and never accepts: the kernel completes connections
// into its backlog, and requests sit there unanswered.
struct SilentListener {
    int fd = -1;
    int port = 0;
    SilentListener() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd, 128);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~SilentListener() { ::close(fd); }
};

double secondsOf(const auto& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_FleetStatusWhileNothingAnswers(benchmark::State& state) {
    std::vector<std::unique_ptr<SilentListener>> listeners;
    std::map<int, int> ports;
    for (const auto& server : ModelRouter::fleet()) {
        listeners.push_back(std::make_unique<SilentListener>());
        ports[server.port] = listeners.back()->port;
    }
    LocalServerPorts::ScopedOverride redirect(ports);

    double probeTotal = 0, snapshotTotal = 0;
    for (auto _ : state) {
        probeTotal += secondsOf([] { benchmark::DoNotOptimize(ModelRouter::probe(HealthProbe::healthURL(8080))); });
        const double snapshot = secondsOf([] { benchmark::DoNotOptimize(ModelRouter::fleetStatus()); });
        snapshotTotal += snapshot;
        state.SetIterationTime(snapshot);
    }
    state.counters["probe_wait_s"] = probeTotal / double(state.iterations());
    state.counters["snapshot_s"] = snapshotTotal / double(state.iterations());
    state.counters["ratio"] = snapshotTotal / probeTotal;
}
BENCHMARK(BM_FleetStatusWhileNothingAnswers)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
