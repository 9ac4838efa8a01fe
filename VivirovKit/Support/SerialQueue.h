#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace vivirov {

// A named dispatch queue: one thread, jobs run one at a time in FIFO order.
// Delayed jobs join the back of the queue when their delay ends. Destroying
// the queue drops delayed jobs that have not come due, runs what is already
// queued and joins the thread.
class SerialQueue {
public:
    using Job = std::function<void()>;

    explicit SerialQueue(std::string name);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(Job job);
    void asyncAfter(std::chrono::nanoseconds delay, Job job);

    // Runs `fn` on the queue and waits for its result (never call from the queue itself).
    template <class F>
    auto sync(F&& fn) -> decltype(fn()) {
        using R = decltype(fn());
        std::packaged_task<R()> task(std::forward<F>(fn));
        auto future = task.get_future();
        async([&task] { task(); });
        return future.get();
    }

    const std::string& name() const { return name_; }

private:
    void run();

    std::string name_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Job> ready_;
    std::multimap<std::chrono::steady_clock::time_point, Job> delayed_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace vivirov
