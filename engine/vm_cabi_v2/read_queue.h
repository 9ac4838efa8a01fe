#pragma once
// The disk reader's concurrent queue: a few named threads taking jobs in
// FIFO order. Destruction runs every job already queued, then joins, so no
// read outlives the memory it reads into.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vm {

class ReadQueue {
public:
    // Throws std::system_error when no thread can be started.
    ReadQueue(const std::string& name, int threads);
    ~ReadQueue();
    ReadQueue(const ReadQueue&) = delete;
    ReadQueue& operator=(const ReadQueue&) = delete;

    void submit(std::function<void()> job);
    // Returns when every job submitted so far has finished.
    void drain();

private:
    void work();

    std::mutex mu_;
    std::condition_variable cv_, idle_;
    std::deque<std::function<void()>> jobs_;
    int running_ = 0;
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

} // namespace vm
