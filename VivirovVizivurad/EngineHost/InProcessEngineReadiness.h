#pragma once
#include <atomic>

namespace vivirov {

// Whether the in-process engine reported "ready"; read and set from any thread.
class InProcessEngineReadiness {
public:
    static InProcessEngineReadiness& shared();
    bool isReady() const { return ready_.load(); }
    void set(bool ready) { ready_.store(ready); }

private:
    std::atomic<bool> ready_{false};
};

} // namespace vivirov
