#pragma once
// The engine's one process-wide pool of CPU workers. parallel(job) runs
// job(i, n) once for every participant i and returns when all have
// finished. Participant 0 runs on the calling thread; participant i ≥ 1 runs
// on worker i, or on the caller when the caller finishes its own share
// before worker i has picked its share up (a worker that is asleep or
// descheduled then costs the job nothing). The pool never splits work: a job
// claims items from its own atomic counter and computes each output wholly
// on the thread that claimed it, in a fixed order of operations, which makes
// results identical for any participant count. A job must therefore not
// make one participant wait for another.
//
// One job at a time: callers from different threads (two engines) take
// turns. A job that calls parallel itself runs that inner job alone on its
// own thread as participant 0 of 1.
//
// Idle workers spin briefly for the next job and then sleep. A caller about
// to hand out many short jobs between serial stretches (a decode step) holds
// the pool with a Hold, which keeps the workers spinning until released so
// no hand-off pays for waking a sleeping thread.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace vm::apex {

class DetPool {
public:
    // How a worker thread is started; a starter that throws stops the
    // construction there and leaves a smaller pool.
    using ThreadStarter = std::function<std::thread(std::function<void()>)>;

    // k participants (1 when k < 2).
    explicit DetPool(int k);
    DetPool(int k, const ThreadStarter& start);
    // Stops and joins the workers. The process-wide pool is never destroyed.
    ~DetPool();
    DetPool(const DetPool&) = delete;
    DetPool& operator=(const DetPool&) = delete;

    int participants() const { return n_; }

    // Jobs handed to the workers so far (a job run alone on the caller does
    // not count); benchmarks weigh the hand-off cost per token with it.
    uint64_t handoffs() const { return handoffs_.load(std::memory_order_relaxed); }

    // job(int participant, int count), called once per participant.
    template <class Job>
    void parallel(Job&& job) {
        using J = std::remove_reference_t<Job>;
        run({const_cast<void*>(static_cast<const void*>(std::addressof(job))),
             [](void* p, int i, int n) { (*static_cast<J*>(p))(i, n); }});
    }

    // Keeps the workers awake and spinning while it lives (holds nest and
    // may come from any thread); taking one wakes sleeping workers at once,
    // so they are ready by the first job.
    class Hold {
    public:
        explicit Hold(DetPool* pool);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        DetPool* pool_;
    };

    // Workers asleep now, waiting for a job or a hold (for tests).
    int sleeping();

private:
    struct JobRef {
        void* ctx = nullptr;
        void (*call)(void*, int, int) = nullptr;
    };
    // The last generation whose share of participant i was taken, by its
    // worker or by the caller; one cache line each.
    struct alignas(64) Claim {
        std::atomic<uint64_t> generation{0};
    };

    void run(JobRef job);
    void work(int index);
    // Takes participant i's share of generation g; false when taken already.
    bool claim(int i, uint64_t g);
    // Waits (spinning, then asleep) for a generation other than seen, or stop.
    uint64_t next_generation(uint64_t seen);

    int n_ = 1;
    std::vector<std::thread> workers_;
    std::unique_ptr<Claim[]> claims_;
    std::mutex caller_mu_; // one caller at a time
    std::mutex mu_;        // guards the hand-off to sleeping workers
    std::condition_variable wake_;
    int sleepers_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> holds_{0};
    std::atomic<uint64_t> generation_{0};
    std::atomic<int> done_{0};
    JobRef job_;
    std::atomic<uint64_t> handoffs_{0};
};

// Participants of the process-wide pool for a thread budget h: h when 1-7,
// otherwise 8 (also when h is 0).
int det_pool_size(int h);

// The process-wide pool, created on first use with det_pool_size of the
// engine's thread budget.
DetPool* det_pool_global();

} // namespace vm::apex
