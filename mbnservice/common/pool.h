// The service's own threads: a pool that runs completion jobs, started by the
// first job, at least two threads and grown while every thread is busy (a
// callback may block for seconds in the client's sink, and must not hold up
// the others), stopped when the service has no objects left.
//
// A job's captured references are dropped on the worker before it counts as
// finished, so "idle" means every reference a job held is gone. Stop may run
// on a worker (the job that drops the last object): that worker is not joined
// by itself but kept to be joined later by another thread (WaitIdle, the next
// start, or the destructor, which detaches only a thread that destroys its
// own pool).
#ifndef MBNSERVICE_COMMON_POOL_H
#define MBNSERVICE_COMMON_POOL_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace mbnservice {

class Pool {
public:
    using Clock = std::chrono::steady_clock;
    using Job = std::function<void()>;

    explicit Pool(size_t minThreads = 2, size_t maxThreads = 16);
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // Runs job on a pool thread at or after due (never on the caller's thread).
    void Post(Job job, Clock::time_point due = Clock::time_point());
    // Ends the current threads once they finish their job; queued jobs are
    // destroyed unrun.
    void Stop();
    // Until nothing is queued or running. False on timeout.
    bool WaitIdle(std::chrono::milliseconds timeout);
    size_t Threads() const;

private:
    struct State;
    static void WorkerLoop(std::shared_ptr<State> state);
    void JoinZombies();

    const size_t minThreads_;
    const size_t maxThreads_;
    mutable std::mutex mutex_;  // guards state_ and zombies_
    std::shared_ptr<State> state_;
    std::vector<std::thread> zombies_;  // stopped, joined by a thread other than their own
};

// True on a thread of any Pool.
bool OnPoolThread();

}  // namespace mbnservice

#endif  // MBNSERVICE_COMMON_POOL_H
