// CDefaultServiceEvent on its own: the tests play the platform, calling the
// callbacks from threads of their own with byte arrays they build, and the
// channel, calling the exchange operations. Waits that must run out their
// 5000 ms or 12288 ms bound are in SinkSlowWaits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "channel_test_support.h"
#include "tools/ZeroFilled.h"
#include "tools/mbim/CDefaultServiceEvent.h"

using mbimtest::ByteArray;
using mbimtest::LogWatch;

namespace {

// Allocations of at least this many bytes fail on a thread that set it
// (0: none fail). Only the kept response grows that large, so a test can make
// exactly its append run out of memory.
thread_local std::size_t failAllocationsFrom = 0;

void* Allocate(std::size_t size) {
    if (failAllocationsFrom != 0 && size >= failAllocationsFrom) {
        throw std::bad_alloc();
    }
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace {

const HRESULT kStatusNotSupported = static_cast<HRESULT>(0x80070032);

// Owns the creator's reference of one sink.
class SinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        logRefsBefore = mbimtest::SharedLogRefs();
        sink = NewZeroFilled<CDefaultServiceEvent>();
    }
    void TearDown() override {
        if (sink) {
            EXPECT_EQ(0u, sink->Release());
        }
        EXPECT_EQ(logRefsBefore, mbimtest::SharedLogRefs()) << "the sink kept its logger reference";
    }

    HRESULT Complete(ULONG requestID, const std::string& bytes, HRESULT status = S_OK) {
        ByteArray data(bytes);
        return sink->OnSetCommandComplete(nullptr, 0, data.get(), status, requestID);
    }
    HRESULT Deliver(const std::string& bytes) {
        ByteArray data(bytes);
        return sink->OnReadData(nullptr, data.get());
    }

    CDefaultServiceEvent* sink = nullptr;
    int logRefsBefore = 0;
};

// --- COM identity and lifetime ---------------------------------------------

TEST_F(SinkTest, query_interface_answers_iunknown_and_the_events_interface_with_the_sink) {
    // Both answers are the sink itself and take one reference each:
    // creator's 1, +1 per query, +1 for the AddRef below.
    for (const IID* iid : {&IID_IMbnDeviceServicesEvents, &IID_IUnknown}) {
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(S_OK, sink->QueryInterface(*iid, &out));
        EXPECT_EQ(static_cast<IMbnDeviceServicesEvents*>(sink), out);
    }
    EXPECT_EQ(4u, sink->AddRef());
    EXPECT_EQ(3u, sink->Release());
    EXPECT_EQ(2u, sink->Release());
    EXPECT_EQ(1u, sink->Release());

    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, sink->QueryInterface(IID_IMbnDeviceService, &out));
    EXPECT_EQ(nullptr, out);
    // A refused query leaves the count alone.
    EXPECT_EQ(2u, sink->AddRef());
    EXPECT_EQ(1u, sink->Release());
}

TEST_F(SinkTest, last_release_destroys_the_sink_and_gives_back_its_logger) {
    EXPECT_EQ(logRefsBefore + 1, mbimtest::SharedLogRefs());
    EXPECT_EQ(2u, sink->AddRef());
    EXPECT_EQ(1u, sink->Release());
    EXPECT_EQ(0u, sink->Release());
    sink = nullptr;
    EXPECT_EQ(logRefsBefore, mbimtest::SharedLogRefs());
}

TEST_F(SinkTest, references_from_many_threads_balance) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this] {
            for (int i = 0; i < 1000; ++i) {
                sink->AddRef();
                sink->Release();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(2u, sink->AddRef());
    EXPECT_EQ(1u, sink->Release());
}

TEST_F(SinkTest, every_callback_returns_s_ok_whatever_it_is_given) {
    ByteArray empty("");
    EXPECT_EQ(S_OK, sink->OnQuerySupportedCommandsComplete(nullptr, empty.get(), E_FAIL, 1));
    EXPECT_EQ(S_OK, sink->OnQueryCommandComplete(nullptr, 1, empty.get(), E_FAIL, 1));
    EXPECT_EQ(S_OK, sink->OnEventNotification(nullptr, 1, nullptr));
    EXPECT_EQ(S_OK, sink->OnWriteDataComplete(nullptr, E_FAIL, 1));
    EXPECT_EQ(S_OK, sink->OnInterfaceStateChange(nullptr, MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_REMOVAL));
    EXPECT_EQ(S_OK, sink->OnOpenCommandSessionComplete(nullptr, E_FAIL, 99));
    EXPECT_EQ(S_OK, sink->OnCloseDataSessionComplete(nullptr, E_FAIL, 99));
    EXPECT_EQ(S_OK, sink->OnReadData(nullptr, nullptr));
    sink->SetRequestId(5);
    EXPECT_EQ(S_OK, sink->OnSetCommandComplete(nullptr, 0, nullptr, S_OK, 5));
    EXPECT_EQ(S_OK, sink->OnSetCommandComplete(nullptr, 0, nullptr, S_OK, 6));
}

// --- session events --------------------------------------------------------

TEST_F(SinkTest, session_completions_signal_their_own_event_whatever_their_status) {
    sink->OnOpenCommandSessionComplete(nullptr, E_FAIL, 1);
    EXPECT_EQ(WAIT_OBJECT_0, sink->GetSessionRlt());
    sink->OnCloseCommandSessionComplete(nullptr, S_OK, 2);
    EXPECT_EQ(WAIT_OBJECT_0, sink->GetSessionRlt());
    sink->OnOpenDataSessionComplete(nullptr, E_FAIL, 3);
    EXPECT_EQ(WAIT_OBJECT_0, sink->GetDataSessionRlt());
    sink->OnCloseDataSessionComplete(nullptr, S_OK, 4);
    EXPECT_EQ(WAIT_OBJECT_0, sink->GetDataSessionRlt());
}

TEST_F(SinkTest, reset_exchange_leaves_the_data_session_event_alone) {
    sink->OnOpenDataSessionComplete(nullptr, S_OK, 1);
    sink->ResetExchange();
    EXPECT_EQ(WAIT_OBJECT_0, sink->GetDataSessionRlt());
}

TEST_F(SinkTest, reset_exchange_drops_kept_bytes_and_the_expected_id) {
    Deliver("stale");
    sink->SetRequestId(7);
    sink->ResetExchange();

    // A completion for the dropped ID now has to wait for a new one.
    std::thread platform([this] { Complete(7, "late"); });
    sink->SetRequestId(8);
    platform.join();
    Complete(8, "fresh");

    std::string out;
    ASSERT_EQ(WAIT_OBJECT_0, sink->GetResponse(out));
    EXPECT_EQ("fresh", out);
}

// --- matching set-command completions ---------------------------------------

TEST_F(SinkTest, completion_before_request_id_is_known) {
    LogWatch log;
    std::thread platform([this] { EXPECT_EQ(S_OK, Complete(41, "\r\nOK\r\n")); });
    // The completion has entered and waits for the ID.
    ASSERT_TRUE(log.WaitFor("[Success] OnSetCommandComplete called! Request id is 41.")) << log.Dump();
    sink->SetRequestId(41);
    std::string out = "before";
    EXPECT_EQ(WAIT_OBJECT_0, sink->GetResponse(out));
    platform.join();
    EXPECT_EQ("\r\nOK\r\n", out);
    EXPECT_TRUE(log.Has("[success] Get At Response Success. Length 6")) << log.Dump();
}

TEST_F(SinkTest, mismatched_id_is_ignored_and_the_right_one_still_accepted) {
    LogWatch log;
    sink->SetRequestId(7);
    EXPECT_EQ(S_OK, Complete(8, "\r\nFOREIGN\r\n"));
    EXPECT_TRUE(log.Has("[Warning] OnSetCommandComplete called! Request id is 8---7. Not Match.")) << log.Dump();
    EXPECT_EQ(S_OK, Complete(7, "mine"));

    std::string out;
    HRESULT status = E_UNEXPECTED;
    EXPECT_EQ(WAIT_OBJECT_0, sink->GetResponse(out, status));
    EXPECT_EQ("mine", out);
    EXPECT_EQ(S_OK, status);
}

TEST_F(SinkTest, failure_status_ends_the_wait_with_nothing_kept) {
    LogWatch log;
    sink->ResetExchange();
    sink->SetRequestId(3);
    EXPECT_EQ(S_OK, Complete(3, "ignored", kStatusNotSupported));
    EXPECT_TRUE(log.Has("[Fail]OnSetCommandComplete but Fail! Return state 0x80070032")) << log.Dump();

    std::string out = "caller's";
    HRESULT status = S_OK;
    EXPECT_EQ(WAIT_OBJECT_0, sink->GetResponse(out, status));
    EXPECT_EQ("", out);
    EXPECT_EQ(kStatusNotSupported, status);

    // The status went with that hand-over; the next exchange starts clean.
    sink->SetRequestId(4);
    Complete(4, "ok");
    EXPECT_EQ(WAIT_OBJECT_0, sink->GetResponse(out, status));
    EXPECT_EQ("ok", out);
    EXPECT_EQ(S_OK, status);
}

TEST_F(SinkTest, failure_status_is_handed_over_by_the_plain_get_response_as_an_empty_answer) {
    sink->ResetExchange();
    sink->SetRequestId(3);
    Complete(3, "ignored", E_FAIL);
    std::string out = "caller's";
    EXPECT_EQ(WAIT_OBJECT_0, sink->GetResponse(out));
    EXPECT_EQ("", out);
}

TEST_F(SinkTest, empty_array_signals_with_a_failure_line) {
    LogWatch log;
    sink->SetRequestId(9);
    EXPECT_EQ(S_OK, Complete(9, ""));
    EXPECT_TRUE(log.Has("[Fail] Get At Response Fail. Length 0")) << log.Dump();
    std::string out = "caller's";
    EXPECT_EQ(WAIT_OBJECT_0, sink->GetResponse(out));
    EXPECT_EQ("", out);
}

TEST_F(SinkTest, unreadable_array_keeps_what_was_there_and_logs_its_length) {
    LogWatch log;
    Deliver("abc");
    EXPECT_EQ(S_OK, sink->OnReadData(nullptr, nullptr));
    EXPECT_TRUE(log.Has("[Success] OnReadData called!")) << log.Dump();
    EXPECT_TRUE(log.Has("[Fail] Get At Response Fail. Length 3")) << log.Dump();
    std::string out;
    EXPECT_EQ(WAIT_OBJECT_0, sink->GetResponse(out));
    EXPECT_EQ("abc", out);
}

TEST_F(SinkTest, array_with_a_lower_bound_other_than_zero_is_read_whole) {
    SAFEARRAYBOUND bound;
    bound.cElements = 3;
    bound.lLbound = 5;
    SAFEARRAY* array = SafeArrayCreate(VT_UI1, 1, &bound);
    ASSERT_NE(nullptr, array);
    for (LONG i = 5; i < 8; ++i) {
        unsigned char byte = static_cast<unsigned char>('a' + i - 5);
        SafeArrayPutElement(array, &i, &byte);
    }
    sink->OnReadData(nullptr, array);
    SafeArrayDestroy(array);
    std::string out;
    EXPECT_EQ(WAIT_OBJECT_0, sink->GetResponse(out));
    EXPECT_EQ("abc", out);
}

// --- the kept response --------------------------------------------------------

TEST_F(SinkTest, two_deliveries_before_one_get_response_are_handed_over_together) {
    LogWatch log;
    Deliver(std::string("ab", 2));
    Deliver(std::string("\0c", 2));
    // The logged length is the kept total, not the size of one delivery.
    EXPECT_TRUE(log.Has("[success] Get At Response Success. Length 2")) << log.Dump();
    EXPECT_TRUE(log.Has("[success] Get At Response Success. Length 4")) << log.Dump();
    std::string out;
    EXPECT_EQ(WAIT_OBJECT_0, sink->GetResponse(out));
    EXPECT_EQ(std::string("ab\0c", 4), out);
}

TEST_F(SinkTest, concurrent_deliveries_lose_no_bytes) {
    const int kThreads = 4;
    const int kDeliveries = 200;
    std::vector<std::thread> platform;
    for (int t = 0; t < kThreads; ++t) {
        platform.emplace_back([this, t] {
            for (int i = 0; i < kDeliveries; ++i) {
                Deliver(std::string(1, static_cast<char>('A' + t)));
            }
        });
    }
    // The channel's thread hands over while the deliveries keep coming.
    std::string all;
    int handOvers = 0;
    while (all.size() < static_cast<size_t>(kThreads * kDeliveries) && handOvers < 10000) {
        std::string out;
        if (sink->GetResponse(out) != WAIT_OBJECT_0) break;
        all += out;
        ++handOvers;
    }
    for (std::thread& thread : platform) thread.join();
    ASSERT_EQ(static_cast<size_t>(kThreads * kDeliveries), all.size());
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(kDeliveries, std::count(all.begin(), all.end(), static_cast<char>('A' + t)));
    }
}

TEST_F(SinkTest, running_out_of_memory_in_a_callback_returns_e_outofmemory_and_keeps_what_was_kept) {
    sink->ResetExchange();
    sink->SetRequestId(7);
    ASSERT_EQ(S_OK, Complete(7, "kept"));

    // On a platform thread of its own, each callback's append fails; the
    // exception must stop at the callback and the arrays go back unlocked.
    const std::string big(64 * 1024, 'x');
    HRESULT setResult = S_OK;
    HRESULT readResult = S_OK;
    ULONG locksLeft = 1;
    std::thread platform([&] {
        ByteArray completion(big);
        ByteArray delivery(big);
        failAllocationsFrom = big.size();
        setResult = sink->OnSetCommandComplete(nullptr, 0, completion.get(), S_OK, 7);
        readResult = sink->OnReadData(nullptr, delivery.get());
        failAllocationsFrom = 0;
        locksLeft = completion.get()->cLocks + delivery.get()->cLocks;
    });
    platform.join();
    EXPECT_EQ(E_OUTOFMEMORY, setResult);
    EXPECT_EQ(E_OUTOFMEMORY, readResult);
    EXPECT_EQ(0u, locksLeft);

    std::string out;
    EXPECT_EQ(WAIT_OBJECT_0, sink->GetResponse(out));
    EXPECT_EQ("kept", out);
    // The sink goes on working: the lock was released on the way out.
    sink->SetRequestId(8);
    EXPECT_EQ(S_OK, Complete(8, "next"));
    EXPECT_EQ(WAIT_OBJECT_0, sink->GetResponse(out));
    EXPECT_EQ("next", out);
}

TEST_F(SinkTest, completions_racing_with_a_new_request_id_keep_only_matching_bytes) {
    // Completions for old IDs arrive on two threads while the channel moves
    // on to new requests; only bytes of the ID that was expected at the time
    // may ever be handed over.
    std::vector<std::thread> platform;
    for (int t = 0; t < 2; ++t) {
        platform.emplace_back([this] {
            for (int i = 0; i < 100; ++i) Complete(1000, "x");
        });
    }
    for (ULONG id = 1; id <= 50; ++id) {
        sink->ResetExchange();
        sink->SetRequestId(id);
        Complete(id, std::to_string(id));
        std::string out;
        ASSERT_EQ(WAIT_OBJECT_0, sink->GetResponse(out));
        EXPECT_EQ(std::to_string(id), out);
    }
    // The stray completions wait for a request ID; give them one they do not
    // match so that they end at once.
    sink->SetRequestId(1);
    for (std::thread& thread : platform) thread.join();
}

// --- waits that run out their bound -----------------------------------------

class SinkSlowWaits : public SinkTest {
protected:
    // No response is waiting (the wait runs out, out is untouched) and the
    // bytes delivered next make the next response on their own.
    void ExpectNoResponseThen(const std::string& next) {
        std::string out = "caller's";
        EXPECT_EQ(WAIT_TIMEOUT, sink->GetResponse(out));
        EXPECT_EQ("caller's", out);
        Deliver(next);
        EXPECT_EQ(WAIT_OBJECT_0, sink->GetResponse(out));
        EXPECT_EQ(next, out);
    }
};

TEST_F(SinkSlowWaits, late_bytes_go_to_the_next_response) { ExpectNoResponseThen("late"); }

TEST_F(SinkSlowWaits, one_get_response_consumes_several_signals) {
    Deliver("a");
    Deliver("b");
    std::string out;
    EXPECT_EQ(WAIT_OBJECT_0, sink->GetResponse(out));
    EXPECT_EQ("ab", out);
    out = "kept";
    EXPECT_EQ(WAIT_TIMEOUT, sink->GetResponse(out));
    EXPECT_EQ("kept", out);
}

TEST_F(SinkSlowWaits, completion_after_the_exchange_ended_is_dropped) {
    LogWatch log;
    // No request ID is expected: the completion waits 12288 ms for one.
    EXPECT_EQ(S_OK, Complete(77, "orphan"));
    EXPECT_TRUE(log.Has("[Fail] OnSetCommandComplete get RequestId Fail. Current Id Is 0.")) << log.Dump();
    // Nothing kept and nothing signalled.
    ExpectNoResponseThen("next");
}

TEST_F(SinkSlowWaits, reset_exchange_consumes_a_command_session_completion) {
    sink->OnOpenCommandSessionComplete(nullptr, S_OK, 1);
    sink->ResetExchange();
    EXPECT_EQ(WAIT_TIMEOUT, sink->GetSessionRlt());
}

}  // namespace
