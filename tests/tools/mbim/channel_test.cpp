// CMbimDeviceEx against the simulated Mobile Broadband service: Open and
// Release, the command-session exchange, data sessions, and what each failure
// leaves behind. Every test ends with the channel released and checks that
// the service holds no object, no sink reference and no connection, and that
// the shared logger got back every reference. Tests that wait out a 5000 ms
// bound are in ChannelSlowWaits.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "simulator.h"
#include "channel_test_support.h"
#include "tools/interfaces.h"

using mbimtest::LogWatch;
using mbnsim::Call;
using mbnsim::CompletionPlan;
using mbnsim::Delivery;
using mbnsim::Request;

namespace {

const WCHAR* const kAt = mbnsim::kAtServiceId;
const std::string kCommand = "AT\r\n";

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<unsigned int>(hr));
    return text;
}

IGlobalTools::IMbimChannel* NewChannel() {
    void* object = nullptr;
    if (!CreateToolInstance(IID_IMbimChannel, &object)) return nullptr;
    return static_cast<IGlobalTools::IMbimChannel*>(object);
}

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        logRefsBefore = mbimtest::SharedLogRefs();
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        ASSERT_EQ(S_OK, service.Register());
        channel = NewChannel();
        ASSERT_NE(nullptr, channel);
    }

    void TearDown() override {
        if (channel) channel->Release();
        channel = nullptr;
        service.DropHeld();
        EXPECT_TRUE(service.WaitIdle(15000));
        EXPECT_EQ(0, service.LiveObjects()) << "platform objects still held";
        EXPECT_EQ(0, service.SinkRefs()) << "the service still holds the sink";
        EXPECT_EQ(0u, service.AdviseConnections());
        EXPECT_EQ(logRefsBefore, mbimtest::SharedLogRefs()) << "a channel or sink was not destroyed";
        service.Revoke();
        CoUninitialize();
    }

    HRESULT Send(std::string& response, IGlobalTools::IAtParser* parser = nullptr) {
        return channel->SendData(kCommand.data(), static_cast<unsigned int>(kCommand.size()), response, parser, kAt,
                                 mbnsim::kAtCommandId);
    }

    // The modem's answer to kCommand, from a modem of its own.
    std::string ModemAnswer() {
        mbnsim::Modem modem;
        return modem.Feed(kCommand);
    }

    mbnsim::SimulatedService service;
    IGlobalTools::IMbimChannel* channel = nullptr;
    int logRefsBefore = 0;
};

// --- Open and Release -------------------------------------------------------

TEST_F(ChannelTest, open_registers_one_sink_that_release_gives_back) {
    ASSERT_EQ(S_OK, channel->Open());
    EXPECT_EQ(1u, service.AdviseConnections());
    // The channel's and the sink's logger references.
    EXPECT_EQ(logRefsBefore + 2, mbimtest::SharedLogRefs());
}

TEST_F(ChannelTest, release_without_open_releases_nothing) {
    channel->Release();
    channel = nullptr;
    EXPECT_EQ(0u, service.CallCount(Call::CreateInterfaceManager));
    EXPECT_EQ(0u, service.CallCount(Call::Unadvise));
}

struct OpenFault {
    Call call;
    HRESULT hr;
    const char* logged;  // with %s for the hexadecimal result, or none
};

class ChannelOpenFault : public ChannelTest, public ::testing::WithParamInterface<OpenFault> {};

TEST_P(ChannelOpenFault, open_returns_the_failure_and_leaves_a_channel_that_calls_nothing) {
    const OpenFault& fault = GetParam();
    LogWatch log;
    service.FailCall(fault.call, fault.hr);
    EXPECT_EQ(fault.hr, channel->Open());

    char expected[160];
    std::snprintf(expected, sizeof expected, fault.logged, Hex(fault.hr).c_str());
    EXPECT_TRUE(log.Has(expected)) << log.Dump();

    // No sink is left registered or alive: only the channel holds the logger.
    EXPECT_EQ(0u, service.AdviseConnections());
    EXPECT_EQ(0, service.SinkRefs());
    EXPECT_EQ(logRefsBefore + 1, mbimtest::SharedLogRefs());

    // Sessions need what Open failed to set up; nothing reaches the platform.
    std::string response = "caller's";
    EXPECT_EQ(E_FAIL, Send(response));
    EXPECT_EQ("caller's", response);
    EXPECT_EQ(E_FAIL, channel->OpenSession(kAt));
    EXPECT_EQ(E_FAIL, channel->OpenDataSession(kAt));
    EXPECT_EQ(E_FAIL, channel->Sendmsg(kCommand.data(), 4, 1));
    EXPECT_EQ(E_FAIL, channel->Recvmsg(response));
    EXPECT_EQ(E_FAIL, channel->RecvDataMsg(response));
    channel->CloseSession();
    channel->CloseDataSession();
    EXPECT_EQ(0u, service.CallCount(Call::GetInterfaces));
    EXPECT_EQ(0u, service.CallCount(Call::SetCommand));
    EXPECT_EQ("caller's", response);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, ChannelOpenFault,
    ::testing::Values(OpenFault{Call::CreateInterfaceManager, REGDB_E_CLASSNOTREG,
                                "[error]Open() failed: IID_IMbnInterfaceManager"},
                      OpenFault{Call::CreateDeviceServicesManager, E_ACCESSDENIED,
                                "[error]Open() failed: IID_IMbnDeviceServicesManager"},
                      OpenFault{Call::QueryConnectionPointContainer, E_NOINTERFACE,
                                "[error]Open() failed: IID_IMbnDeviceServicesEventsp hResult = %s"},
                      OpenFault{Call::FindConnectionPoint, CONNECT_E_NOCONNECTION,
                                "[error]Open() failed: IID_IMbnDeviceServicesEventsp hResult = %s"},
                      OpenFault{Call::Advise, CONNECT_E_CANNOTCONNECT,
                                "[error]Open() failed: IID_IMbnDeviceServicesEventsp hResult = %s"}),
    [](const ::testing::TestParamInfo<OpenFault>& step) { return std::string(mbnsim::CallName(step.param.call)); });

TEST_F(ChannelTest, sessions_before_open_call_nothing) {
    std::string response = "caller's";
    EXPECT_EQ(E_FAIL, Send(response));
    EXPECT_EQ(E_FAIL, channel->OpenSession(kAt));
    EXPECT_EQ(E_FAIL, channel->OpenDataSession(kAt));
    EXPECT_EQ("caller's", response);
    EXPECT_EQ(0u, service.CallCount(Call::GetInterfaces));
}

// COM belongs to the thread that calls Open and Release; these run on a
// thread of their own so that its apartment can be examined afterwards.
void OnOwnThread(const std::function<void()>& body) {
    std::thread thread(body);
    thread.join();
}

TEST_F(ChannelTest, failed_com_initialisation_is_returned_and_not_undone_by_release) {
    OnOwnThread([] {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        LogWatch log;
        IGlobalTools::IMbimChannel* own = NewChannel();
        ASSERT_NE(nullptr, own);
        EXPECT_EQ(RPC_E_CHANGED_MODE, own->Open());
        EXPECT_TRUE(log.Has("[error]Open() COM Initialize failed")) << log.Dump();
        own->Release();
        // Still the caller's apartment: the channel did not uninitialise it.
        EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        CoUninitialize();
        CoUninitialize();
    });
}

TEST_F(ChannelTest, release_without_open_leaves_the_callers_com_alone) {
    OnOwnThread([] {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        IGlobalTools::IMbimChannel* own = NewChannel();
        ASSERT_NE(nullptr, own);
        own->Release();
        EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        CoUninitialize();
        CoUninitialize();
    });
}

TEST_F(ChannelTest, release_undoes_exactly_the_com_initialisation_of_open) {
    OnOwnThread([] {
        IGlobalTools::IMbimChannel* own = NewChannel();
        ASSERT_NE(nullptr, own);
        EXPECT_EQ(S_OK, own->Open());
        own->Release();
        // Open initialised COM on this thread and Release closed it again.
        EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        CoUninitialize();
    });
}

// --- the exchange -------------------------------------------------------------

TEST_F(ChannelTest, road_of_one_request) {
    LogWatch log;
    ASSERT_EQ(S_OK, channel->Open());
    std::string response = "previous";
    ASSERT_EQ(S_OK, Send(response));
    EXPECT_EQ(ModemAnswer(), response);

    auto sent = service.LastSetCommand();
    ASSERT_TRUE(sent.has_value());
    EXPECT_EQ(1u, sent->commandId);
    EXPECT_EQ(kCommand, sent->payload);
    // The session this exchange opened is closed again.
    EXPECT_FALSE(service.IsCommandSessionOpen(kAt));
    EXPECT_EQ(1u, service.CallCount(Call::OpenCommandSession));
    EXPECT_EQ(1u, service.CallCount(Call::CloseCommandSession));

    const std::string id = std::to_string(static_cast<int>(sent->requestId));
    const std::string road[] = {
        "[ok]GetFirstInterface(): readyState=1",
        "[?]SendData(): FALSE == IsCommandSessionOpened",
        "[Success] Open Session Success",
        "[Success] OpenSession success hr = 0x0",
        "[Success] OnSetCommandComplete called! Request id is " + id + ".",
        "[success] Get At Response Success. Length " + std::to_string(response.size()),
        "[success]Get Command Response success ",
    };
    int at = 0;
    for (const std::string& line : road) {
        at = log.Find(line, at);
        EXPECT_GE(at, 0) << "missing or out of order: " << line << "\n" << log.Dump();
    }
    EXPECT_TRUE(log.Has("[success]SetCommand success. Request Id is " + id)) << log.Dump();
}

TEST_F(ChannelTest, no_modem_fails_the_exchange_and_still_closes) {
    LogWatch log;
    service.SetModemPresent(false);
    ASSERT_EQ(S_OK, channel->Open());
    std::string response = "caller's";
    EXPECT_EQ(E_FAIL, Send(response));
    EXPECT_EQ("caller's", response);
    EXPECT_TRUE(log.Has("[error]GetFirstInterface() error! pMbnInterface == NULL")) << log.Dump();
    EXPECT_TRUE(log.Has("[Fail]OpenSession Fail hr = 0x80004005")) << log.Dump();
    EXPECT_EQ(0u, service.CallCount(Call::SetCommand));
}

TEST_F(ChannelTest, session_already_open_is_used_and_left_open) {
    LogWatch log;
    service.SetCommandSessionOpen(kAt, true);
    ASSERT_EQ(S_OK, channel->Open());
    std::string response;
    ASSERT_EQ(S_OK, Send(response));
    EXPECT_EQ(ModemAnswer(), response);
    EXPECT_TRUE(log.Has("[Success] Session is Opend ")) << log.Dump();
    EXPECT_TRUE(service.IsCommandSessionOpen(kAt));
    EXPECT_EQ(0u, service.CallCount(Call::OpenCommandSession));
    EXPECT_EQ(0u, service.CallCount(Call::CloseCommandSession));
}

TEST_F(ChannelTest, completion_before_request_id_is_known) {
    CompletionPlan plan;
    plan.delivery = Delivery::BeforeReturn;
    service.SetCompletion(Request::SetCommand, plan);
    ASSERT_EQ(S_OK, channel->Open());
    std::string response;
    ASSERT_EQ(S_OK, Send(response));
    EXPECT_EQ(ModemAnswer(), response);
}

TEST_F(ChannelTest, mismatched_id_then_the_right_one) {
    LogWatch log;
    CompletionPlan plan;
    plan.foreignIdFirst = true;
    service.SetCompletion(Request::SetCommand, plan);
    ASSERT_EQ(S_OK, channel->Open());
    std::string response;
    ASSERT_EQ(S_OK, Send(response));
    EXPECT_EQ(ModemAnswer(), response);

    const std::string tail =
        "---" + std::to_string(static_cast<int>(service.LastSetCommand()->requestId)) + ". Not Match.";
    bool warned = false;
    for (const std::string& m : log.Messages()) {
        if (m.rfind("[Warning] OnSetCommandComplete called! Request id is ", 0) == 0 && m.size() > tail.size() &&
            m.compare(m.size() - tail.size(), tail.size(), tail) == 0) {
            warned = true;
        }
    }
    EXPECT_TRUE(warned) << log.Dump();
}

TEST_F(ChannelTest, failure_status_is_returned_and_the_response_left_alone) {
    LogWatch log;
    CompletionPlan plan;
    plan.status = mbnsim::kStatusNotSupported;
    service.SetCompletion(Request::SetCommand, plan);
    ASSERT_EQ(S_OK, channel->Open());
    std::string response = "caller's";
    EXPECT_EQ(mbnsim::kStatusNotSupported, Send(response));
    EXPECT_EQ("caller's", response);
    EXPECT_TRUE(log.Has("[Fail]OnSetCommandComplete but Fail! Return state 0x80070032")) << log.Dump();
    EXPECT_TRUE(log.Has("[Fail]SendData(): Command Response hr = 0x80070032")) << log.Dump();
    EXPECT_FALSE(service.IsCommandSessionOpen(kAt));
}

TEST_F(ChannelTest, failure_status_that_is_not_negative_becomes_e_fail) {
    CompletionPlan plan;
    plan.status = S_FALSE;
    service.SetCompletion(Request::SetCommand, plan);
    ASSERT_EQ(S_OK, channel->Open());
    std::string response = "caller's";
    EXPECT_EQ(E_FAIL, Send(response));
    EXPECT_EQ("caller's", response);

    ASSERT_EQ(S_OK, channel->OpenSession(kAt));
    ASSERT_EQ(S_OK, channel->Sendmsg(kCommand.data(), 4, 1));
    EXPECT_EQ(E_FAIL, channel->Recvmsg(response));
    EXPECT_EQ("caller's", response);
    channel->CloseSession();
}

TEST_F(ChannelTest, empty_array_gives_an_empty_answer) {
    LogWatch log;
    CompletionPlan plan;
    plan.emptyData = true;
    service.SetCompletion(Request::SetCommand, plan);
    ASSERT_EQ(S_OK, channel->Open());
    std::string response = "caller's";
    EXPECT_EQ(S_OK, Send(response));
    EXPECT_EQ("", response);
    EXPECT_TRUE(log.Has("[Fail] Get At Response Fail. Length 0")) << log.Dump();
}

TEST_F(ChannelTest, set_command_failure_is_returned_and_the_session_closed) {
    LogWatch log;
    service.FailCall(Call::SetCommand, E_ACCESSDENIED);
    ASSERT_EQ(S_OK, channel->Open());
    std::string response = "caller's";
    EXPECT_EQ(E_ACCESSDENIED, Send(response));
    EXPECT_EQ("caller's", response);
    EXPECT_TRUE(log.Has("[Fail]SendData(): SetCommand hr = 0x80070005")) << log.Dump();
    EXPECT_FALSE(service.IsCommandSessionOpen(kAt));
}

TEST_F(ChannelTest, parser_applied_by_send_data) {
    service.SetLengthPrefixed(true);
    ASSERT_EQ(S_OK, channel->Open());
    void* object = nullptr;
    ASSERT_EQ(1, CreateToolInstance(IID_IAtParser, &object));
    auto* parser = static_cast<IGlobalTools::IAtParser*>(object);

    std::string parsed = "caller's";
    ASSERT_EQ(S_OK, Send(parsed, parser));
    EXPECT_EQ(ModemAnswer(), parsed);
    std::string raw;
    ASSERT_EQ(S_OK, Send(raw));
    EXPECT_EQ(mbnsim::LengthPrefixed(ModemAnswer()), raw);
    parser->Release();
}

struct SessionFault {
    Call call;
    HRESULT hr;
    const char* logged;  // with %s for "0x" and the hexadecimal result
};

class ChannelSessionFault : public ChannelTest, public ::testing::WithParamInterface<SessionFault> {};

TEST_P(ChannelSessionFault, open_session_maps_the_failure_to_e_fail_and_logs_it) {
    const SessionFault& fault = GetParam();
    LogWatch log;
    ASSERT_EQ(S_OK, channel->Open());
    service.FailCall(fault.call, fault.hr);
    EXPECT_EQ(E_FAIL, channel->OpenSession(kAt));
    char expected[160];
    std::snprintf(expected, sizeof expected, fault.logged, ("0x" + Hex(fault.hr)).c_str());
    EXPECT_TRUE(log.Has(expected)) << log.Dump();
    EXPECT_EQ(E_FAIL, channel->Sendmsg(kCommand.data(), 4, 1));
    channel->CloseSession();
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, ChannelSessionFault,
    ::testing::Values(
        SessionFault{Call::GetInterfaces, E_OUTOFMEMORY, "[error]GetFirstInterface(): GetInterfaces hr=%s"},
        SessionFault{Call::InterfaceGetInterfaceID, E_UNEXPECTED, "[error]SendData() error! get_InterfaceID() hr=%s"},
        SessionFault{Call::GetDeviceServicesContext, mbnsim::kErrorNotFound,
                     "[error]SendData() error! NULL == pMbnDeviceServicesContext hr=%s"},
        SessionFault{Call::GetDeviceService, mbnsim::kErrorNotFound,
                     "[error]SendData() error! NULL == deviceService hr=%s"},
        SessionFault{Call::OpenCommandSession, E_ACCESSDENIED, "[error] OpenCommandSession(): 0 == requestID"}),
    [](const ::testing::TestParamInfo<SessionFault>& step) { return std::string(mbnsim::CallName(step.param.call)); });

TEST_F(ChannelTest, a_modem_that_cannot_tell_its_ready_state_is_still_used) {
    LogWatch log;
    service.FailCall(Call::GetReadyState, E_UNEXPECTED);
    ASSERT_EQ(S_OK, channel->Open());
    std::string response;
    EXPECT_EQ(S_OK, Send(response));
    EXPECT_TRUE(log.Has("[error]GetFirstInterface(): GetReadyState hr=0x8000ffff")) << log.Dump();
}

// --- an open command session -------------------------------------------------

TEST_F(ChannelTest, sendmsg_and_recvmsg_on_an_open_session) {
    LogWatch log;
    ASSERT_EQ(S_OK, channel->Open());
    ASSERT_EQ(S_OK, channel->OpenSession(kAt));
    EXPECT_TRUE(service.IsCommandSessionOpen(kAt));
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(S_OK, channel->Sendmsg(kCommand.data(), static_cast<unsigned int>(kCommand.size()), 1));
        std::string response;
        ASSERT_EQ(S_OK, channel->Recvmsg(response));
        EXPECT_EQ(ModemAnswer(), response) << log.Dump();
    }
    channel->CloseSession();
    EXPECT_FALSE(service.IsCommandSessionOpen(kAt));
}

TEST_F(ChannelTest, sendmsg_and_recvmsg_without_a_session_fail_and_say_so) {
    LogWatch log;
    ASSERT_EQ(S_OK, channel->Open());
    std::string response = "caller's";
    EXPECT_EQ(E_FAIL, channel->Sendmsg(kCommand.data(), 4, 1));
    EXPECT_EQ(E_FAIL, channel->Recvmsg(response));
    EXPECT_EQ("caller's", response);
    EXPECT_TRUE(log.Has("[Fail]Session is not open!")) << log.Dump();
    EXPECT_TRUE(log.Has("[Fail]Recvmsg Session is not open!")) << log.Dump();
    EXPECT_EQ(0u, service.CallCount(Call::SetCommand));
}

TEST_F(ChannelTest, recvmsg_returns_a_failure_status) {
    CompletionPlan plan;
    plan.status = E_ACCESSDENIED;
    ASSERT_EQ(S_OK, channel->Open());
    ASSERT_EQ(S_OK, channel->OpenSession(kAt));
    service.QueueCompletion(Request::SetCommand, plan);
    ASSERT_EQ(S_OK, channel->Sendmsg(kCommand.data(), 4, 1));
    std::string response = "caller's";
    EXPECT_EQ(E_ACCESSDENIED, channel->Recvmsg(response));
    EXPECT_EQ("caller's", response);
    // The next exchange on the session is not affected.
    ASSERT_EQ(S_OK, channel->Sendmsg(kCommand.data(), 4, 1));
    EXPECT_EQ(S_OK, channel->Recvmsg(response));
    EXPECT_EQ(ModemAnswer(), response);
    channel->CloseSession();
}

TEST_F(ChannelTest, repeated_open_session_gives_back_what_it_replaces) {
    ASSERT_EQ(S_OK, channel->Open());
    ASSERT_EQ(S_OK, channel->OpenSession(kAt));
    // The completion that ended the wait may still hold its references.
    ASSERT_TRUE(service.WaitIdle(5000));
    long once = service.LiveObjects();
    long refsOnce = service.OutstandingRefs();
    ASSERT_EQ(S_OK, channel->OpenSession(kAt));
    ASSERT_TRUE(service.WaitIdle(5000));
    EXPECT_EQ(once, service.LiveObjects());
    EXPECT_EQ(refsOnce, service.OutstandingRefs());
    channel->CloseSession();
}

TEST_F(ChannelTest, release_gives_back_a_session_left_open) {
    ASSERT_EQ(S_OK, channel->Open());
    ASSERT_EQ(S_OK, channel->OpenSession(kAt));
    // TearDown releases the channel and finds nothing left.
}

TEST_F(ChannelTest, repeated_open_gives_back_the_managers_it_replaces) {
    ASSERT_EQ(S_OK, channel->Open());
    ASSERT_EQ(S_OK, channel->Open());
    // Two registrations, both undone by Release (TearDown finds no object,
    // manager or sink, left behind).
    EXPECT_EQ(2u, service.AdviseConnections());
}

// --- data sessions -------------------------------------------------------------

TEST_F(ChannelTest, data_session_opens_receives_and_closes) {
    LogWatch log;
    ASSERT_EQ(S_OK, channel->Open());
    ASSERT_EQ(S_OK, channel->OpenDataSession(kAt));
    EXPECT_TRUE(service.IsDataSessionOpen(kAt));
    EXPECT_TRUE(log.Has("[?]OpenDataSession(): FALSE == IsDataSessionOpened")) << log.Dump();
    EXPECT_TRUE(log.Has("[Success] Open Session Success")) << log.Dump();

    // Two deliveries before one receive are handed over together, in the
    // order they came (the pool would run two pushes side by side).
    service.PushData("+CMTI: \"SM\",1\r\n");
    ASSERT_TRUE(service.WaitCallbacksFinished(mbnsim::Callback::ReadData, 1, 5000));
    service.PushData(std::string("\0\r\n", 3));
    ASSERT_TRUE(service.WaitCallbacksFinished(mbnsim::Callback::ReadData, 2, 5000));
    std::string response;
    ASSERT_EQ(S_OK, channel->RecvDataMsg(response));
    EXPECT_EQ(std::string("+CMTI: \"SM\",1\r\n\0\r\n", 18), response);

    channel->CloseDataSession();
    EXPECT_FALSE(service.IsDataSessionOpen(kAt));
    EXPECT_EQ(1u, service.CallCount(Call::CloseDataSession));
    response = "caller's";
    EXPECT_EQ(E_FAIL, channel->RecvDataMsg(response));
    EXPECT_EQ("caller's", response);
    EXPECT_TRUE(log.Has("[Fail]Recvmsg Session is not open!")) << log.Dump();
}

TEST_F(ChannelTest, data_session_already_open_is_taken_as_open) {
    LogWatch log;
    service.SetDataSessionOpen(kAt, true);
    ASSERT_EQ(S_OK, channel->Open());
    ASSERT_EQ(S_OK, channel->OpenDataSession(kAt));
    EXPECT_TRUE(log.Has("[Success] Session is Opend ")) << log.Dump();
    EXPECT_EQ(0u, service.CallCount(Call::OpenDataSession));
    service.PushData("x");
    std::string response;
    EXPECT_EQ(S_OK, channel->RecvDataMsg(response));
    EXPECT_EQ("x", response);
    channel->CloseDataSession();
}

TEST_F(ChannelTest, data_session_failures_are_logged) {
    LogWatch log;
    ASSERT_EQ(S_OK, channel->Open());
    service.FailCall(Call::OpenDataSession, E_ACCESSDENIED, 1);
    EXPECT_EQ(E_FAIL, channel->OpenDataSession(kAt));
    EXPECT_TRUE(log.Has("[error] OpenDataSession(): hr = 0x80070005")) << log.Dump();

    ASSERT_EQ(S_OK, channel->OpenDataSession(kAt));
    service.FailCall(Call::CloseDataSession, E_UNEXPECTED, 1);
    channel->CloseDataSession();
    EXPECT_TRUE(log.Has("[?]CloseDataSession(): CloseDataSession hr = 0x8000ffff")) << log.Dump();
    // The flag is cleared all the same; receiving needs a new session.
    std::string response;
    EXPECT_EQ(E_FAIL, channel->RecvDataMsg(response));
}

TEST_F(ChannelTest, close_data_session_without_one_only_drops_the_session_objects) {
    ASSERT_EQ(S_OK, channel->Open());
    ASSERT_EQ(S_OK, channel->OpenSession(kAt));
    channel->CloseDataSession();
    EXPECT_EQ(0u, service.CallCount(Call::CloseDataSession));
    // The command session was dropped without being closed (its objects are
    // gone), so CloseSession has nothing to close it with.
    channel->CloseSession();
    EXPECT_EQ(0u, service.CallCount(Call::CloseCommandSession));
}

// --- waits that run out their bound -------------------------------------------

class ChannelSlowWaits : public ChannelTest {};

TEST_F(ChannelSlowWaits, response_that_never_arrives_fails_and_leaves_the_response) {
    LogWatch log;
    CompletionPlan plan;
    plan.delivery = Delivery::Never;
    service.SetCompletion(Request::SetCommand, plan);
    ASSERT_EQ(S_OK, channel->Open());
    std::string response = "caller's";
    EXPECT_EQ(E_FAIL, Send(response));
    EXPECT_EQ("caller's", response);
    EXPECT_TRUE(log.Has("[Fail] Wait SetCommand Fail ")) << log.Dump();
    EXPECT_FALSE(service.IsCommandSessionOpen(kAt));
}

TEST_F(ChannelSlowWaits, late_bytes_after_a_time_out_go_to_the_next_receive) {
    ASSERT_EQ(S_OK, channel->Open());
    ASSERT_EQ(S_OK, channel->OpenDataSession(kAt));
    std::string response = "caller's";
    EXPECT_EQ(E_FAIL, channel->RecvDataMsg(response));
    EXPECT_EQ("caller's", response);
    service.PushData("late");
    ASSERT_TRUE(service.WaitCallbacksFinished(mbnsim::Callback::ReadData, 1, 5000));
    EXPECT_EQ(S_OK, channel->RecvDataMsg(response));
    EXPECT_EQ("late", response);
    channel->CloseDataSession();
}

TEST_F(ChannelSlowWaits, session_completion_that_never_arrives_fails_open_session) {
    LogWatch log;
    CompletionPlan plan;
    plan.delivery = Delivery::Never;
    service.SetCompletion(Request::OpenCommandSession, plan);
    ASSERT_EQ(S_OK, channel->Open());
    EXPECT_EQ(E_FAIL, channel->OpenSession(kAt));
    EXPECT_TRUE(log.Has("[error] GetSessionRlt Fail")) << log.Dump();
    channel->CloseSession();
}

}  // namespace

// Version 2 on one channel: the modem chosen by its interface ID (case
// ignored) or refused when none has it, the list of interfaces, the payload
// limit, and an answer wait that ends when set, the time-out told apart from
// other failures.
TEST_F(ChannelTest, version_2_settings_and_the_last_exchange) {
    const WCHAR kId[] = L"{AB12CD34-0000-4000-8000-0000000000EF}";
    const WCHAR kSameIdLower[] = L"{ab12cd34-0000-4000-8000-0000000000ef}";
    const WCHAR kOtherId[] = L"{00000000-0000-4000-8000-000000000000}";
    LogWatch log;
    void* object = nullptr;
    ASSERT_EQ(1, CreateToolInstance(IID_IMbimChannel2, &object));
    auto* v2 = static_cast<IGlobalTools::IMbimChannel2*>(object);
    EXPECT_EQ(E_INVALIDARG, v2->SetAnswerTimeout(0));
    EXPECT_EQ(E_INVALIDARG, v2->SetAnswerTimeout(IGlobalTools::kMaxAnswerTimeoutMs + 1));
    service.SetInterfaceId(kId);
    service.SetReadyState(MBN_READY_STATE_DEVICE_LOCKED);
    service.SetMaxCommandSize(100);
    ASSERT_EQ(S_OK, v2->Open());

    std::vector<IGlobalTools::MbimInterfaceInfo> list;
    ASSERT_EQ(S_OK, v2->ListInterfaces(list));
    ASSERT_EQ(1u, list.size());
    EXPECT_EQ("{AB12CD34-0000-4000-8000-0000000000EF}", list[0].interfaceId);
    EXPECT_FALSE(list[0].model.empty());
    EXPECT_EQ(MBN_READY_STATE_DEVICE_LOCKED, list[0].readyState);
    ULONG max = 0;
    EXPECT_EQ(S_OK, v2->GetMaxCommandSize(&max));
    EXPECT_EQ(100u, max);

    std::string response;
    auto send = [&] {
        return v2->SendData(kCommand.data(), static_cast<unsigned int>(kCommand.size()), response, nullptr, kAt,
                            mbnsim::kAtCommandId);
    };
    v2->SelectInterface(kSameIdLower);
    EXPECT_EQ(S_OK, send());
    EXPECT_EQ(S_OK, v2->GetLastExchangeStatus());
    v2->SelectInterface(kOtherId);
    EXPECT_EQ(E_FAIL, send());
    EXPECT_EQ(E_FAIL, v2->GetLastExchangeStatus());
    EXPECT_TRUE(log.Has("[error]GetFirstInterface(): no interface {00000000-0000-4000-8000-000000000000}"))
        << log.Dump();

    v2->SelectInterface(nullptr);
    service.SetCompletion(Request::SetCommand, mbnsim::Plan(Delivery::Delayed, 1500));
    ASSERT_EQ(S_OK, v2->SetAnswerTimeout(200));
    EXPECT_EQ(E_FAIL, send());
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_TIMEOUT), v2->GetLastExchangeStatus());
    v2->Release();
}
