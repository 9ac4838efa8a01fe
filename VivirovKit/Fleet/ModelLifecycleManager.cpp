#include "VivirovKit/Fleet/ModelLifecycleManager.h"

#include <algorithm>
#include <csignal>

#include "VivirovKit/Agentic/SwapGuard.h"
#include "VivirovKit/Fleet/HealthProbe.h"
#include "VivirovKit/Fleet/PortListeners.h"

namespace vivirov {

namespace {

constexpr HealthProbe::Timing kProbeTiming{std::chrono::milliseconds(500), std::chrono::milliseconds(700)};
constexpr uint64_t kSecond = 1'000'000'000;

struct SlotRow {
    const char* name;
    int port;
    bool isCore;
};
constexpr SlotRow kTable[] = {
    {"rizeru", 8080, true}, {"bridge", 8090, true},   {"rozazu", 8095, false},
    {"micro", 8100, false}, {"vision", 8081, false}, {"whisper", 8082, false},
};

} // namespace

ModelLifecycleManager& ModelLifecycleManager::shared() {
    static ModelLifecycleManager manager;
    return manager;
}

ModelLifecycleManager::ModelLifecycleManager(Clock* clock, SwapReading swapReading)
    : clock_(clock), swapReading_(std::move(swapReading)) {
    if (!swapReading_) swapReading_ = [] { return SwapGuard::usedMB(); };
    const uint64_t now = this->clock().uptimeNanos();
    for (const SlotRow& row : kTable) slots_.push_back(Slot{row.name, row.port, row.isCore, now, false});
}

Clock& ModelLifecycleManager::clock() const { return clock_ ? *clock_ : Clock::current(); }

double ModelLifecycleManager::idleSeconds() const {
    std::lock_guard lock(mutex_);
    return idleSeconds_;
}

void ModelLifecycleManager::setIdleSeconds(double seconds) {
    std::lock_guard lock(mutex_);
    idleSeconds_ = seconds;
}

std::vector<ModelLifecycleManager::Slot> ModelLifecycleManager::slots() const {
    std::lock_guard lock(mutex_);
    return slots_;
}

void ModelLifecycleManager::touch(const std::string& name) {
    const uint64_t now = clock().uptimeNanos();
    std::lock_guard lock(mutex_);
    for (Slot& slot : slots_) {
        if (slot.name != name) continue;
        slot.lastUsed = std::max(slot.lastUsed, now);
        slot.running = true;
    }
}

void ModelLifecycleManager::refreshHealth() {
    std::vector<std::string> urls;
    for (const Slot& slot : slots()) urls.push_back(HealthProbe::healthURL(slot.port));
    const std::vector<bool> up = HealthProbe::probeAll(urls, kProbeTiming);

    const uint64_t now = clock().uptimeNanos();
    const uint64_t aSecondAgo = now > kSecond ? now - kSecond : 0;
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < slots_.size() && i < up.size(); ++i) {
        slots_[i].running = up[i];
        if (up[i]) slots_[i].lastUsed = std::max(slots_[i].lastUsed, aSecondAgo);
    }
}

std::vector<std::string> ModelLifecycleManager::statusLines() const {
    std::vector<Slot> sorted = slots();
    std::stable_sort(sorted.begin(), sorted.end(), [](const Slot& a, const Slot& b) { return a.port < b.port; });
    const uint64_t now = clock().uptimeNanos();
    std::vector<std::string> lines;
    for (const Slot& slot : sorted) {
        const uint64_t idle = now > slot.lastUsed ? (now - slot.lastUsed) / kSecond : 0;
        lines.push_back(slot.name + ":" + std::to_string(slot.port) + " " + (slot.running ? "UP" : "DOWN") +
                        " core=" + (slot.isCore ? "true" : "false") + " idle_s=" + std::to_string(idle));
    }
    return lines;
}

std::vector<std::string> ModelLifecycleManager::reapIdle(bool forceUnderCriticalSwap) {
    bool critical = false;
    if (forceUnderCriticalSwap) {
        const std::optional<double> used = swapReading_();
        critical = used && *used > kCriticalSwapMB;
    }
    const uint64_t now = clock().uptimeNanos();
    std::vector<Slot> due;
    {
        std::lock_guard lock(mutex_);
        for (const Slot& slot : slots_) {
            if (slot.isCore || !slot.running) continue;
            const double idle = now > slot.lastUsed ? double(now - slot.lastUsed) / double(kSecond) : 0.0;
            if (critical || idle >= idleSeconds_) due.push_back(slot);
        }
    }
    std::vector<std::string> reaped;
    for (const Slot& slot : due) {
        if (!killPort(slot.port)) continue;
        reaped.push_back(slot.name + ":" + std::to_string(slot.port));
        std::lock_guard lock(mutex_);
        for (Slot& s : slots_)
            if (s.name == slot.name) s.running = false;
    }
    return reaped;
}

bool ModelLifecycleManager::killPort(int port) {
    std::optional<std::vector<int>> pids = PortListeners::pids(port);
    if (!pids) return false;
    bool signalled = false;
    for (int pid : *pids) {
        if (PortListeners::isSpared(pid)) continue;
        if (::kill(pid, SIGTERM) == 0) signalled = true;
    }
    return signalled;
}

} // namespace vivirov
