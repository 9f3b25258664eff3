// The service's own threads: a pool that runs completion jobs, started by the
// first job with one thread, grown when a due job would otherwise wait behind
// a callback into the client (a sink may block for seconds, and must not hold
// up the others), stopped when the service has no objects left.
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

    explicit Pool(size_t minThreads = 1, size_t maxThreads = 16);
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

    // Marks the calling pool thread as inside a callback into the client for
    // its lifetime (nested scopes count once; off a pool thread it does
    // nothing). Only such a thread is taken to be held up: a job posted while
    // the other threads are merely finishing their jobs' own work waits for
    // one of them, and a thread entering a callback while a job waits starts
    // one for it first, so no due job ever waits behind client code.
    class CallbackScope {
    public:
        CallbackScope();
        ~CallbackScope();
        CallbackScope(const CallbackScope&) = delete;
        CallbackScope& operator=(const CallbackScope&) = delete;

    private:
        bool counted_;
    };

private:
    struct State;
    static void WorkerLoop(std::shared_ptr<State> state);
    static size_t ThreadsWanted(const State& state);
    static void StartNeededThreads(State& state);
    void JoinZombies();

    // The state of the pool whose worker this thread is (the worker keeps it
    // alive), and how deeply its CallbackScopes are nested.
    static thread_local State* tState_;
    static thread_local int tCallbackDepth_;

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
