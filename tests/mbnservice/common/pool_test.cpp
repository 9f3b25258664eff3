// When the completion pool starts a thread: one for the first job, and
// another only for a due job that would otherwise wait behind a callback
// into the client. Every wait is bounded; thread counts are read right after
// the call that decides them, never after a pause.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "pool.h"

namespace {

using mbnservice::Pool;

const auto kWait = std::chrono::seconds(5);

// A flag that one thread raises and others wait for (at most kWait).
class Gate {
public:
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kWait, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

TEST(Pool, starts_a_thread_only_for_a_job_that_would_wait_behind_a_callback) {
    Pool pool;

    // Jobs one after another share the first thread.
    for (int i = 0; i < 3; ++i) {
        pool.Post([] {});
        ASSERT_TRUE(pool.WaitIdle(kWait));
    }
    EXPECT_EQ(pool.Threads(), 1u);

    // A job busy with its own work holds the next one back: that work never
    // blocks for long, so no thread is started for it.
    Gate firstStarted, ownWorkDone, inCallback, callbackMayReturn, secondRan;
    pool.Post([&] {
        firstStarted.Open();
        ownWorkDone.Wait();
        Pool::CallbackScope client;
        Pool::CallbackScope nested;  // counts once
        inCallback.Open();
        callbackMayReturn.Wait();
    });
    ASSERT_TRUE(firstStarted.Wait());
    pool.Post([&] { secondRan.Open(); });
    EXPECT_EQ(pool.Threads(), 1u);

    // Once the first job calls into the client, where it blocks, the waiting
    // job gets a thread of its own and runs.
    ownWorkDone.Open();
    ASSERT_TRUE(inCallback.Wait());
    EXPECT_TRUE(secondRan.Wait());
    EXPECT_EQ(pool.Threads(), 2u);

    // A job posted while the one busy thread sits in a callback, and the
    // other waits idle, goes to the idle one.
    Gate thirdRan;
    pool.Post([&] { thirdRan.Open(); });
    EXPECT_TRUE(thirdRan.Wait());
    EXPECT_EQ(pool.Threads(), 2u);

    callbackMayReturn.Open();
    ASSERT_TRUE(pool.WaitIdle(kWait));
    EXPECT_EQ(pool.Threads(), 2u);
    pool.Stop();
    EXPECT_EQ(pool.Threads(), 0u);
}

// Off a pool thread a CallbackScope changes nothing.
TEST(Pool, a_callback_scope_off_the_pool_does_nothing) {
    Pool pool;
    {
        Pool::CallbackScope notOnThePool;
        pool.Post([] {});
        ASSERT_TRUE(pool.WaitIdle(kWait));
    }
    pool.Post([] {});
    ASSERT_TRUE(pool.WaitIdle(kWait));
    EXPECT_EQ(pool.Threads(), 1u);
}

}  // namespace
