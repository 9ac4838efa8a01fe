#pragma once
// Follows one file and calls back when it is written, deleted or renamed.
// After a delete or rename it watches the same path again a tenth of a second
// later, so a file saved by writing a new one and moving it over the old keeps
// being followed. On inotify: a reader thread polls the inotify descriptor
// and an eventfd that wakes it for stop and destruction.
//
// The callback runs on the reader thread, once per batch of events read; the
// app hops it to the GUI thread. watch() and stop() may be called from any
// thread, also from inside the callback.
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace vivirov {

class KqueueFileWatcher {
public:
    static constexpr uint64_t rearmDelayNanos = 100'000'000;

    KqueueFileWatcher();
    // Stops the watch and the reader thread.
    ~KqueueFileWatcher();
    KqueueFileWatcher(const KqueueFileWatcher&) = delete;
    KqueueFileWatcher& operator=(const KqueueFileWatcher&) = delete;

    // Replaces any watch with one of `path` ("~" expanded, "." and ".."
    // removed). A path that cannot be watched leaves the watcher idle,
    // silently. A re-arm still pending from an earlier delete is dropped.
    void watch(const std::string& path, std::function<void()> onChange);
    // Ends the current watch and drops a pending re-arm; idle: nothing.
    void stop();

    bool isWatching() const;
    // True while a delete or rename waits to watch its path again.
    bool rearmPending() const;
    // The standardised path of the current watch ("" when idle).
    std::string watchedPath() const;

    static std::string standardisedPath(const std::string& path);

private:
    void run();
    void arm(const std::string& path, std::function<void()> onChange); // lock held
    void disarm();                                                       // lock held
    void wake();

    int inotifyFd_ = -1;
    int wakeFd_ = -1;
    mutable std::mutex lock_;
    int wd_ = -1;
    std::string path_;
    std::function<void()> onChange_;
    struct Rearm {
        uint64_t dueNanos;
        std::string path;
        std::function<void()> onChange;
    };
    std::optional<Rearm> rearm_;
    bool closing_ = false;
    std::thread reader_; // last: starts once the rest exists
};

} // namespace vivirov
