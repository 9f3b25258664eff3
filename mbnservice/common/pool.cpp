// The completion thread pool of the simulated service (see pool.h).
//
// Each start makes a new State shared by its workers, so a worker still
// leaving after Stop never touches the state of a later start, and a pool
// destroyed by one of its own workers leaves that worker a valid state to
// finish with.
#include "pool.h"

#include <algorithm>
#include <deque>

#include "platform/winapi.h"

namespace mbnservice {

namespace {
thread_local bool tOnPoolThread = false;
}

bool OnPoolThread() { return tOnPoolThread; }

struct Pool::State : std::enable_shared_from_this<Pool::State> {
    State(size_t min, size_t max) : minThreads(min), maxThreads(max) {}

    struct Entry {
        Job job;
        Clock::time_point due;
    };
    std::mutex mutex;
    std::condition_variable wake;     // workers: a job or stop
    std::condition_variable changed;  // WaitIdle: a job finished
    std::deque<Entry> jobs;
    std::vector<std::thread> threads;
    size_t idle = 0;
    size_t running = 0;
    size_t inCallback = 0;  // running threads inside a CallbackScope
    bool stop = false;
    const size_t minThreads;
    const size_t maxThreads;
};

thread_local Pool::State* Pool::tState_ = nullptr;
thread_local int Pool::tCallbackDepth_ = 0;

Pool::Pool(size_t minThreads, size_t maxThreads)
    : minThreads_(std::max<size_t>(minThreads, 1)), maxThreads_(std::max(maxThreads, minThreads_)) {}

Pool::~Pool() {
    Stop();
    std::vector<std::thread> zombies;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        zombies.swap(zombies_);
    }
    for (auto& t : zombies) {
        if (t.get_id() == std::this_thread::get_id())
            t.detach();  // the pool dies inside its own job; the thread ends on its own
        else
            t.join();
    }
}

void Pool::Post(Job job, Clock::time_point due) {
    std::shared_ptr<State> state;
    std::unique_lock<std::mutex> lock;
    for (;;) {
        {
            std::lock_guard<std::mutex> poolLock(mutex_);
            if (!state_) state_ = std::make_shared<State>(minThreads_, maxThreads_);
            state = state_;
        }
        lock = std::unique_lock<std::mutex>(state->mutex);
        if (!state->stop) break;  // stopped in between: post to the next start
        lock.unlock();
    }
    state->jobs.push_back({std::move(job), due});
    if (state->inCallback > 0 && ThreadsWanted(*state) > state->threads.size()) {
        // The sink that a thread is calling may just have woken this caller,
        // which then took that thread's processor before the callback could
        // return. Letting it finish first saves starting a thread for a job
        // it takes itself; one still inside its callback gets a new thread.
        lock.unlock();
        std::this_thread::yield();
        lock.lock();
    }
    StartNeededThreads(*state);
    state->wake.notify_all();
}

// How many threads the due jobs want: one for every due job beyond the
// threads that will take it without waiting on client code, which are the
// idle ones and the running ones outside a callback (they only finish their
// job's own work, which never blocks). state.mutex held.
size_t Pool::ThreadsWanted(const State& state) {
    const auto now = Clock::now();
    const size_t ready = static_cast<size_t>(
        std::count_if(state.jobs.begin(), state.jobs.end(), [&](const State::Entry& e) { return e.due <= now; }));
    const size_t available = state.idle + (state.running > state.inCallback ? state.running - state.inCallback : 0);
    const size_t wanted = state.threads.size() + (ready > available ? ready - available : 0);
    return std::min(std::max(wanted, state.minThreads), state.maxThreads);
}

// Starts the threads ThreadsWanted asks for. A thread entering a callback
// calls it too (CallbackScope), so that a due job it would have taken gets a
// thread before the callback can block. state.mutex held.
void Pool::StartNeededThreads(State& state) {
    if (state.stop) return;
    const size_t wanted = ThreadsWanted(state);
    while (state.threads.size() < wanted) {
        // A pool that cannot grow: the jobs wait for the threads there are.
        if (!state.threads.empty() && PAL_FAULT_POINT("PoolThreadStart")) break;
        state.threads.emplace_back(WorkerLoop, state.shared_from_this());
        ++state.idle;  // waiting from the start, so the next count includes it
    }
}

Pool::CallbackScope::CallbackScope() : counted_(tState_ != nullptr && tCallbackDepth_++ == 0) {
    if (!counted_) return;
    std::lock_guard<std::mutex> lock(tState_->mutex);
    ++tState_->inCallback;
    StartNeededThreads(*tState_);
}

Pool::CallbackScope::~CallbackScope() {
    if (tState_ == nullptr) return;
    --tCallbackDepth_;
    if (!counted_) return;
    std::lock_guard<std::mutex> lock(tState_->mutex);
    --tState_->inCallback;
}

void Pool::WorkerLoop(std::shared_ptr<State> state) {
    tOnPoolThread = true;
    tState_ = state.get();
    // Callbacks of the real service arrive on threads of the multithreaded
    // apartment.
    const HRESULT comInit = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::unique_lock<std::mutex> lock(state->mutex);
    --state->idle;  // the count Post gave this thread when it started it
    for (;;) {
        if (state->stop) break;
        // The first job that is due, in posting order.
        auto now = Pool::Clock::now();
        auto ready = state->jobs.end();
        auto next = Pool::Clock::time_point::max();
        for (auto it = state->jobs.begin(); it != state->jobs.end(); ++it) {
            if (it->due <= now) {
                ready = it;
                break;
            }
            next = std::min(next, it->due);
        }
        if (ready == state->jobs.end()) {
            ++state->idle;
            if (next == Pool::Clock::time_point::max())
                state->wake.wait(lock);
            else
                state->wake.wait_until(lock, next);
            --state->idle;
            continue;
        }
        Pool::Job job = std::move(ready->job);
        state->jobs.erase(ready);
        ++state->running;
        lock.unlock();
        job();
        job = nullptr;  // the job's references go before it counts as finished
        lock.lock();
        --state->running;
        state->changed.notify_all();
    }
    lock.unlock();
    if (SUCCEEDED(comInit)) CoUninitialize();
    tState_ = nullptr;
}

void Pool::Stop() {
    std::vector<std::thread> threads;
    std::deque<State::Entry> unrun;
    {
        // Under mutex_ throughout, so a WaitIdle woken by the stop finds the
        // calling worker among the zombies when it looks.
        std::lock_guard<std::mutex> lock(mutex_);
        std::shared_ptr<State> state;
        state.swap(state_);
        if (!state) return;
        std::lock_guard<std::mutex> stateLock(state->mutex);
        state->stop = true;
        for (auto& t : state->threads) {
            if (t.get_id() == std::this_thread::get_id())
                zombies_.push_back(std::move(t));
            else
                threads.push_back(std::move(t));
        }
        state->threads.clear();
        unrun.swap(state->jobs);
        state->wake.notify_all();
        state->changed.notify_all();
    }
    unrun.clear();
    for (auto& t : threads) t.join();
}

void Pool::JoinZombies() {
    std::vector<std::thread> zombies;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto self = std::find_if(zombies_.begin(), zombies_.end(),
                                 [](const std::thread& t) { return t.get_id() == std::this_thread::get_id(); });
        if (self != zombies_.end()) return;  // a worker cannot join itself; leave all for later
        zombies.swap(zombies_);
    }
    for (auto& t : zombies) t.join();
}

bool Pool::WaitIdle(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::shared_ptr<State> state;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state = state_;
    }
    if (state) {
        std::unique_lock<std::mutex> lock(state->mutex);
        if (!state->changed.wait_until(lock, deadline,
                                       [&] { return state->stop || (state->jobs.empty() && state->running == 0); }))
            return false;
    }
    if (!OnPoolThread()) JoinZombies();
    return true;
}

size_t Pool::Threads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = zombies_.size();
    if (state_) {
        std::lock_guard<std::mutex> stateLock(state_->mutex);
        n += state_->threads.size();
    }
    return n;
}

}  // namespace mbnservice
