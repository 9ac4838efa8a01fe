#include "VivirovKit/Support/WorkerPool.h"

#include <algorithm>

namespace vivirov {

WorkerPool::WorkerPool(unsigned threads) {
    threads = std::max(1u, threads);
    for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { run(); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    for (auto& w : workers_) w.join();
}

void WorkerPool::submit(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    cv_.notify_one();
}

namespace {

// Never destroyed: detached work may still be running at exit.
WorkerPool* makeShared(unsigned threads) {
    return new WorkerPool(std::max(4u, threads ? threads : std::thread::hardware_concurrency()));
}

WorkerPool* g_shared = nullptr;
std::once_flag g_sharedMade;

} // namespace

WorkerPool& WorkerPool::shared() {
    std::call_once(g_sharedMade, [] { g_shared = makeShared(0); });
    return *g_shared;
}

unsigned WorkerPool::setSharedSize(unsigned threads) {
    std::call_once(g_sharedMade, [&] { g_shared = makeShared(threads); });
    return g_shared->size();
}

void WorkerPool::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        cv_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        auto job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        try {
            job();
        } catch (...) {
            // A detached job has nobody to report to; it must not take the pool down.
        }
        lock.lock();
    }
}

} // namespace vivirov
