// Conformance tables for events and waits, critical sections, interlocked
// counters, thread and process IDs, and the local clock.
#include <atomic>
#include <ctime>
#include <thread>
#include <vector>

#include "core_test_support.h"

using namespace coretest;

namespace {

// Owns an event handle; an empty one is NULL, as CreateEventW reports failure.
class ScopedEvent {
public:
    ScopedEvent(BOOL manualReset, BOOL initialState)
        : handle_(CreateEventW(nullptr, manualReset, initialState, nullptr)) {}
    ~ScopedEvent() {
        if (handle_) CloseHandle(handle_);
    }
    ScopedEvent(const ScopedEvent&) = delete;
    ScopedEvent& operator=(const ScopedEvent&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// Runs a script of calls on one event. 'S' SetEvent, 'R' ResetEvent (both
// must succeed), '1' a 0 ms wait that must find the event signalled, '0' one
// that must time out. Every call must leave the last error alone.
void RunEventScript(Where at, int row, HANDLE event, const char* script) {
    for (const char* op = script; *op; ++op) {
        SetLastError(kSentinel);
        switch (*op) {
        case 'S': CheckRow(at, "SetEvent", row, "result", SetEvent(event), TRUE); break;
        case 'R': CheckRow(at, "ResetEvent", row, "result", ResetEvent(event), TRUE); break;
        case '1':
            CheckRow(at, "WaitForSingleObject", row, "result", WaitForSingleObject(event, 0), WAIT_OBJECT_0);
            break;
        case '0':
            CheckRow(at, "WaitForSingleObject", row, "result", WaitForSingleObject(event, 0), WAIT_TIMEOUT);
            break;
        default: ADD_FAILURE_AT(at.file, at.line) << "bad script op " << *op;
        }
        CheckLastError(at, "event script", row, kSentinel);
    }
}

// Day of the week (0 = Sunday) of a Gregorian date.
int DayOfWeek(int year, int month, int day) {
    static const int offsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3) year -= 1;
    return (year + year / 4 - year / 100 + year / 400 + offsets[month - 1] + day) % 7;
}

}  // namespace

TEST(Events, reset_kind_and_initial_state_decide_what_waits_see) {
    struct Row {
        int line;
        BOOL manualReset;
        BOOL initialState;
        const char* script;
    };
    const Row rows[] = {
        {__LINE__, TRUE, TRUE, "11"},       // manual, signalled: every wait passes
        {__LINE__, TRUE, FALSE, "0"},       // manual, not signalled
        {__LINE__, FALSE, TRUE, "10"},      // auto: the first wait takes the signal
        {__LINE__, FALSE, FALSE, "0"},      // auto, not signalled
        {__LINE__, TRUE, FALSE, "S111R0"},  // manual stays signalled until reset
        {__LINE__, FALSE, FALSE, "S10"},    // auto resets on the released wait
        {__LINE__, FALSE, FALSE, "SS10"},   // two sets still release one wait
        {__LINE__, FALSE, FALSE, "SR0"},    // reset takes back an unconsumed signal
        {__LINE__, TRUE, TRUE, "R0S1"},     // reset, then set again
        {__LINE__, FALSE, TRUE, "S10"},     // setting a signalled auto event adds nothing
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& r = rows[i];
        const int row = static_cast<int>(i) + 1;
        SetLastError(kSentinel);
        HANDLE event = CreateEventW(nullptr, r.manualReset, r.initialState, nullptr);
        CheckRow(ROW_AT(r.line), "CreateEventW", row, "handle is not NULL", event != nullptr, true);
        CheckLastError(ROW_AT(r.line), "CreateEventW", row, ERROR_SUCCESS);
        if (!event) continue;
        RunEventScript(ROW_AT(r.line), row, event, r.script);
        SetLastError(kSentinel);
        CheckRow(ROW_AT(r.line), "CloseHandle", row, "result", CloseHandle(event), TRUE);
    }
}

TEST(Events, null_closed_and_pseudo_handles_fail_as_windows_does) {
    HANDLE closed = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(closed, nullptr);
    ASSERT_TRUE(CloseHandle(closed));

    enum Call { kWait0, kSet, kReset, kClose };
    struct Row {
        int line;
        Call call;
        HANDLE handle;
        DWORD result;
        DWORD lastError;
    };
    const Row rows[] = {
        {__LINE__, kWait0, nullptr, WAIT_FAILED, ERROR_INVALID_HANDLE},
        {__LINE__, kWait0, closed, WAIT_FAILED, ERROR_INVALID_HANDLE},
        // The current-process pseudo-handle: never signalled while we run.
        {__LINE__, kWait0, INVALID_HANDLE_VALUE, WAIT_TIMEOUT, kSentinel},
        {__LINE__, kSet, nullptr, FALSE, ERROR_INVALID_HANDLE},
        {__LINE__, kSet, closed, FALSE, ERROR_INVALID_HANDLE},
        {__LINE__, kSet, INVALID_HANDLE_VALUE, FALSE, ERROR_INVALID_HANDLE},
        {__LINE__, kReset, nullptr, FALSE, ERROR_INVALID_HANDLE},
        {__LINE__, kReset, closed, FALSE, ERROR_INVALID_HANDLE},
        {__LINE__, kClose, closed, FALSE, ERROR_INVALID_HANDLE},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& r = rows[i];
        const int row = static_cast<int>(i) + 1;
        SetLastError(kSentinel);
        const char* name = "";
        DWORD got = 0;
        switch (r.call) {
        case kWait0:
            name = "WaitForSingleObject";
            got = WaitForSingleObject(r.handle, 0);
            break;
        case kSet:
            name = "SetEvent";
            got = static_cast<DWORD>(SetEvent(r.handle));
            break;
        case kReset:
            name = "ResetEvent";
            got = static_cast<DWORD>(ResetEvent(r.handle));
            break;
        case kClose:
            name = "CloseHandle";
            got = static_cast<DWORD>(CloseHandle(r.handle));
            break;
        }
        CheckRow(ROW_AT(r.line), name, row, "result", got, r.result);
        CheckLastError(ROW_AT(r.line), name, row, r.lastError);
    }
}

TEST(Events, bounded_wait_on_unsignalled_event_times_out) {
    ScopedEvent manual(TRUE, FALSE);
    ScopedEvent automatic(FALSE, FALSE);
    SetLastError(kSentinel);
    EXPECT_EQ(WaitForSingleObject(manual.get(), 30), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(automatic.get(), 30), WAIT_TIMEOUT);
    EXPECT_EQ(GetLastError(), kSentinel);
}

TEST(Events, manual_event_releases_every_waiter) {
    ScopedEvent event(TRUE, FALSE);
    std::vector<DWORD> results(3, 0x12345678);
    std::vector<std::thread> waiters;
    for (DWORD& result : results) {
        waiters.emplace_back([&event, &result] { result = WaitForSingleObject(event.get(), 5000); });
    }
    ASSERT_TRUE(SetEvent(event.get()));
    for (std::thread& t : waiters) t.join();
    for (DWORD result : results) EXPECT_EQ(result, WAIT_OBJECT_0);
}

TEST(Events, auto_event_releases_one_waiter_per_signal) {
    ScopedEvent event(FALSE, FALSE);
    DWORD first = 0x12345678;
    DWORD second = 0x12345678;
    std::thread a([&] { first = WaitForSingleObject(event.get(), 1000); });
    std::thread b([&] { second = WaitForSingleObject(event.get(), 1000); });
    ASSERT_TRUE(SetEvent(event.get()));
    a.join();
    b.join();
    // Whoever waited first took the one signal; the other timed out.
    EXPECT_EQ((first == WAIT_OBJECT_0) + (second == WAIT_OBJECT_0), 1);
    EXPECT_EQ((first == WAIT_TIMEOUT) + (second == WAIT_TIMEOUT), 1);
}

TEST(Events, set_from_another_thread_ends_a_wait) {
    ScopedEvent event(FALSE, FALSE);
    std::thread setter([&] { SetEvent(event.get()); });
    EXPECT_EQ(WaitForSingleObject(event.get(), 5000), WAIT_OBJECT_0);
    setter.join();
}

TEST(Events, calls_from_many_threads_at_once_stay_consistent) {
    ScopedEvent event(FALSE, FALSE);
    std::atomic<int> badResults{0};
    std::atomic<int> released{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                if (!SetEvent(event.get())) ++badResults;
            }
        });
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                DWORD result = WaitForSingleObject(event.get(), 0);
                if (result == WAIT_OBJECT_0)
                    ++released;
                else if (result != WAIT_TIMEOUT)
                    ++badResults;
                if (!ResetEvent(event.get())) ++badResults;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(badResults.load(), 0);
    // An auto event never releases more waits than it was set.
    EXPECT_LE(released.load(), 4000);
}

TEST(Events, handle_closed_during_a_wait_leaves_the_waiter_a_live_object) {
    if (!IsPosixLayer()) GTEST_SKIP() << "undefined on Windows; the POSIX layer keeps the object alive";
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    DWORD result = 0x12345678;
    std::thread waiter([&] { result = WaitForSingleObject(event, 200); });
    EXPECT_TRUE(CloseHandle(event));
    waiter.join();
    // Either the wait began before the close and timed out on the live
    // object, or it began after and found no handle.
    EXPECT_TRUE(result == WAIT_TIMEOUT || result == WAIT_FAILED) << result;
}

TEST(CriticalSections, owner_reenters_and_must_leave_once_per_entry) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    ScopedEvent entered(TRUE, FALSE);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);  // would deadlock if not recursive
    std::thread other([&] {
        EnterCriticalSection(&section);
        SetEvent(entered.get());
        LeaveCriticalSection(&section);
    });
    LeaveCriticalSection(&section);
    // Still held once: the other thread must not get in yet.
    EXPECT_EQ(WaitForSingleObject(entered.get(), 100), WAIT_TIMEOUT);
    LeaveCriticalSection(&section);
    EXPECT_EQ(WaitForSingleObject(entered.get(), 5000), WAIT_OBJECT_0);
    other.join();
    DeleteCriticalSection(&section);
}

TEST(CriticalSections, exclude_other_threads) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    long long counter = 0;  // plain on purpose: only the section protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                EnterCriticalSection(&section);
                counter = counter + 1;
                LeaveCriticalSection(&section);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    DeleteCriticalSection(&section);
    EXPECT_EQ(counter, 80000);
}

TEST(Interlocked, return_the_new_value_and_wrap) {
    struct Row {
        int line;
        LONG initial;
        bool increment;
        LONG result;  // both the return value and the stored value
    };
    const Row rows[] = {
        {__LINE__, 0, true, 1},
        {__LINE__, 1, false, 0},
        {__LINE__, 0, false, -1},
        {__LINE__, -1, true, 0},
        {__LINE__, 2, true, 3},
        {__LINE__, 0x7FFFFFFF, true, static_cast<LONG>(0x80000000u)},
        {__LINE__, static_cast<LONG>(0x80000000u), false, 0x7FFFFFFF},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& r = rows[i];
        const int row = static_cast<int>(i) + 1;
        const char* name = r.increment ? "InterlockedIncrement" : "InterlockedDecrement";
        LONG volatile value = r.initial;
        SetLastError(kSentinel);
        LONG got = r.increment ? InterlockedIncrement(&value) : InterlockedDecrement(&value);
        CheckRow(ROW_AT(r.line), name, row, "returned", got, r.result);
        CheckRow(ROW_AT(r.line), name, row, "stored", static_cast<LONG>(value), r.result);
        CheckLastError(ROW_AT(r.line), name, row, kSentinel);
    }
}

TEST(Interlocked, concurrent_increments_each_see_a_distinct_value) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 50000;
    LONG volatile counter = 0;
    std::vector<std::vector<LONG>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            seen[t].reserve(kPerThread);
            for (int i = 0; i < kPerThread; ++i) seen[t].push_back(InterlockedIncrement(&counter));
        });
    }
    for (std::thread& t : threads) t.join();
    std::vector<int> hits(kThreads * kPerThread + 1, 0);
    for (const auto& values : seen) {
        for (LONG v : values) {
            ASSERT_GE(v, 1);
            ASSERT_LE(v, kThreads * kPerThread);
            ++hits[static_cast<size_t>(v)];
        }
    }
    for (size_t v = 1; v < hits.size(); ++v) ASSERT_EQ(hits[v], 1) << "value " << v;
    EXPECT_EQ(counter, kThreads * kPerThread);
}

TEST(Interlocked, only_one_decrement_reaches_zero) {
    LONG volatile count = 8;
    std::atomic<int> zeros{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            if (InterlockedDecrement(&count) == 0) ++zeros;
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(zeros.load(), 1);
}

TEST(ThreadAndProcessIds, stable_per_thread_and_distinct_between_live_threads) {
    DWORD mine = GetCurrentThreadId();
    EXPECT_NE(mine, 0u);
    EXPECT_EQ(GetCurrentThreadId(), mine);
    DWORD process = GetCurrentProcessId();
    EXPECT_NE(process, 0u);

    ScopedEvent release(TRUE, FALSE);
    ScopedEvent reported(TRUE, FALSE);
    DWORD otherFirst = 0, otherSecond = 0, otherProcess = 0;
    std::thread other([&] {
        otherFirst = GetCurrentThreadId();
        otherSecond = GetCurrentThreadId();
        otherProcess = GetCurrentProcessId();
        SetEvent(reported.get());
        // Stay alive while compared: IDs of ended threads may be reused.
        WaitForSingleObject(release.get(), 5000);
    });
    ASSERT_EQ(WaitForSingleObject(reported.get(), 5000), WAIT_OBJECT_0);
    EXPECT_NE(otherFirst, mine);
    EXPECT_NE(otherFirst, 0u);
    EXPECT_EQ(otherSecond, otherFirst);
    EXPECT_EQ(otherProcess, process);
    SetEvent(release.get());
    other.join();
}

TEST(LocalTime, fields_are_in_range_in_order_and_match_the_c_clock) {
    for (int fill : {0x00, 0xFF}) {
        std::time_t before = std::time(nullptr);
        SYSTEMTIME st;
        std::memset(&st, fill, sizeof st);
        GetLocalTime(&st);
        std::time_t after = std::time(nullptr);
        struct std::tm tmBefore = *std::localtime(&before);
        struct std::tm tmAfter = *std::localtime(&after);

        EXPECT_GE(st.wMonth, 1) << "fill " << fill;
        EXPECT_LE(st.wMonth, 12) << "fill " << fill;
        EXPECT_GE(st.wDay, 1) << "fill " << fill;
        EXPECT_LE(st.wDay, 31) << "fill " << fill;
        EXPECT_LE(st.wHour, 23) << "fill " << fill;
        EXPECT_LE(st.wMinute, 59) << "fill " << fill;
        EXPECT_LE(st.wSecond, 59) << "fill " << fill;
        EXPECT_LE(st.wMilliseconds, 999) << "fill " << fill;
        // The day of the week sits before the day and agrees with the date.
        EXPECT_EQ(st.wDayOfWeek, DayOfWeek(st.wYear, st.wMonth, st.wDay)) << "fill " << fill;

        auto matches = [&st](const std::tm& t) {
            return st.wYear == t.tm_year + 1900 && st.wMonth == t.tm_mon + 1 && st.wDay == t.tm_mday &&
                   st.wHour == t.tm_hour && st.wMinute == t.tm_min;
        };
        EXPECT_TRUE(matches(tmBefore) || matches(tmAfter))
            << st.wYear << "-" << st.wMonth << "-" << st.wDay << " " << st.wHour << ":" << st.wMinute;
    }
}
