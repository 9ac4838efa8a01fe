#pragma once
// Lets the work a test's controller left on the shared worker pool finish
// before the test takes the controller's services away: detached jobs hold
// plain pointers into them.
#include <condition_variable>
#include <mutex>

#include "VivirovKit/Support/WorkerPool.h"
#include "tests/support/QtHarness.h"

namespace vivirov::test {

// Each round turns the GUI loop, then occupies every pool thread at once;
// once all are held, every job queued before has run. Several rounds follow
// chains of jobs that hop between the pool and the GUI thread.
inline void settleDetachedWork(int rounds = 6) {
    WorkerPool& pool = WorkerPool::shared();
    for (int round = 0; round < rounds; ++round) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        std::mutex mutex;
        std::condition_variable cv;
        unsigned arrived = 0, left = pool.size();
        bool release = false;
        for (unsigned i = 0; i < pool.size(); ++i)
            pool.submit([&] {
                std::unique_lock lock(mutex);
                ++arrived;
                cv.notify_all();
                cv.wait(lock, [&] { return release; });
                --left;
                cv.notify_all();
            });
        qtWaitUntil([&] {
            std::lock_guard lock(mutex);
            return arrived == pool.size();
        });
        std::unique_lock lock(mutex);
        release = true;
        cv.notify_all();
        cv.wait(lock, [&] { return left == 0; });
    }
}

} // namespace vivirov::test
