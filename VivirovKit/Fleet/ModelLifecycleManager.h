#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VivirovKit/Support/Clock.h"

namespace vivirov {

// The table of local model servers on the loopback interface, one slot per
// server: which answer their health probe, and stopping (SIGTERM) the
// non-core ones that sat idle too long, or all of them when the caller asks
// and swap use is critical. It never starts a server: a server is known only
// by the port it listens on.
//
// Thread-safe. Probes and child programs (lsof, ps) run outside the lock, so
// a slow pass never holds up status readers or touches.
class ModelLifecycleManager {
public:
    struct Slot {
        std::string name;
        int port = 0;
        bool isCore = false;
        uint64_t lastUsed = 0; // the clock's uptime nanoseconds
        bool running = false;  // last seen answering (probe or touch), until reaped
    };

    // Used swap in MB; none when it cannot be read.
    using SwapReading = std::function<std::optional<double>()>;

    static constexpr double kCriticalSwapMB = 6000;

    // The one manager of the process, created on first use.
    static ModelLifecycleManager& shared();

    // `clock` null means the process clock; `swapReading` empty means SwapGuard.
    explicit ModelLifecycleManager(Clock* clock = nullptr, SwapReading swapReading = {});

    double idleSeconds() const;
    void setIdleSeconds(double seconds);

    // Marks the slot used now and running; an unknown name changes nothing.
    void touch(const std::string& name);
    // Probes every slot (all at once) and records who answers.
    void refreshHealth();
    // "<name>:<port> UP|DOWN core=<bool> idle_s=<whole seconds>", by port.
    std::vector<std::string> statusLines() const;
    // Stops the due servers; one "<name>:<port>" per server signalled.
    std::vector<std::string> reapIdle(bool forceUnderCriticalSwap);

    std::vector<Slot> slots() const;

private:
    static bool killPort(int port);
    Clock& clock() const;

    Clock* clock_;
    SwapReading swapReading_;
    mutable std::mutex mutex_;
    std::vector<Slot> slots_; // in table order
    double idleSeconds_ = 300.0;
};

} // namespace vivirov
