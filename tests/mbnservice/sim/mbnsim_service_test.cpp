// The simulated service through the COM API, as a client reaches it: the
// managers created with CoCreateInstance after Register, the modem
// interface, the AT device service and its sessions. Each group pins one
// promise of this back end's own: the simulated modem behind the AT
// service, completions on the service's pool, each fault hook, and the
// accounting that proves a run leaves no object, reference or thread behind.
// The rules it shares with the libmbim back end (COM identity, connections,
// ownership, request IDs, completions) are the contract suite's
// (tests/mbnservice/contract).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "mbn_client.h"
#include "recording_sink.h"
#include "simulator.h"

namespace {

using mbnservice::ByteArray;
using mbnsim::Call;
using mbnsim::Callback;
using mbnsim::CompletionPlan;
using mbnsim::Delivery;
using mbnsim::Request;
using mbnsim::SimulatedService;
using mbntest::RecordingSink;
using mbntest::SinkCall;
using mbntest::SinkEvent;

constexpr DWORD kWait = 5000;

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        service_ = std::make_unique<SimulatedService>();
        ASSERT_EQ(service_->Register(), S_OK);
        sink_ = new RecordingSink(&mbnsim::OnServiceThread);
    }

    void TearDown() override {
        if (sink_) sink_->Unblock();
        client_.Release();
        if (sink_) sink_->Release();
        sink_ = nullptr;
        service_->DropHeld();
        EXPECT_TRUE(service_->WaitIdle(kWait));
        service_->Revoke();
        service_.reset();
        CoUninitialize();
    }

    // Both managers through COM activation, and the sink advised.
    void Connect() { ASSERT_EQ(client_.Connect(sink_), S_OK) << client_.Step(); }

    // The first modem interface, its context and the device service.
    void OpenService(const WCHAR* serviceId = mbnsim::kAtServiceId) {
        ASSERT_EQ(client_.OpenService(serviceId), S_OK) << client_.Step();
    }

    // Opens the command session and waits for its completion.
    void OpenCommandSession() {
        ASSERT_EQ(client_.OpenCommandSession(*sink_), S_OK) << client_.Step();
        ASSERT_TRUE(service_->WaitIdle(kWait));  // and its references are given back
    }

    void Disconnect() { client_.Release(); }

    void ExpectNothingLeft() {
        ASSERT_TRUE(service_->WaitIdle(kWait));
        EXPECT_EQ(service_->LiveObjects(), 0);
        EXPECT_EQ(service_->OutstandingRefs(), 0);
        EXPECT_EQ(service_->SinkRefs(), 0);
        EXPECT_EQ(service_->AdviseConnections(), 0u);
        EXPECT_EQ(service_->ServiceThreads(), 0u);
    }

    // The answer delivered for one SetCommand.
    SinkEvent Exchange(const std::string& command) {
        const size_t before = sink_->Events().size();
        ULONG requestId = 0;
        EXPECT_EQ(client_.SetCommand(command, &requestId), S_OK);
        EXPECT_TRUE(sink_->WaitEvents(before + 1));
        auto events = sink_->Events();
        if (events.size() <= before) return SinkEvent();
        EXPECT_EQ(events.back().requestId, requestId);
        return events.back();
    }

    std::unique_ptr<SimulatedService> service_;
    RecordingSink* sink_ = nullptr;
    mbntest::MbnClient client_;
};

// ---------------------------------------------------------------------------
// The simulated modem and device

TEST_F(ServiceTest, set_commands_are_recorded_and_answered_by_the_modem) {
    Connect();
    OpenService();
    OpenCommandSession();
    EXPECT_TRUE(service_->IsCommandSessionOpen(mbnsim::kAtServiceId));

    // A test's modem has the V.250 default, echo on.
    const SinkEvent answer = Exchange("AT+CGMI\r\n");
    EXPECT_EQ(answer.kind, SinkCall::SetCommandComplete);
    EXPECT_EQ(answer.data, "AT+CGMI\r\r\nSimulated\r\n\r\nOK\r\n");
    EXPECT_TRUE(answer.serviceGiven);
    ASSERT_TRUE(service_->LastSetCommand().has_value());
    EXPECT_EQ(service_->LastSetCommand()->payload, "AT+CGMI\r\n");
    EXPECT_EQ(service_->LastSetCommand()->commandId, mbnsim::kAtCommandId);
    EXPECT_EQ(service_->LastSetCommand()->requestId, answer.requestId);

    ULONG closeId = 0;
    ASSERT_EQ(client_.service->CloseCommandSession(&closeId), S_OK);
    ASSERT_EQ(client_.Completion(*sink_, SinkCall::CloseCommandSessionComplete, closeId), S_OK);
    EXPECT_FALSE(service_->IsCommandSessionOpen(mbnsim::kAtServiceId));
}

TEST_F(ServiceTest, answers_can_be_length_prefixed_or_come_from_a_responder) {
    Connect();
    OpenService();
    OpenCommandSession();
    service_->SetModem([] {
        mbnsim::ModemConfig c;
        c.echo = false;
        return c;
    }());
    service_->SetLengthPrefixed(true);
    EXPECT_EQ(Exchange("AT\r\n").data, mbnsim::LengthPrefixed("\r\nOK\r\n"));
    service_->SetLengthPrefixed(false);
    service_->SetResponder([](ULONG, const std::string& data) { return std::string("got ", 4) + data; });
    EXPECT_EQ(Exchange(std::string("A\0B", 3)).data, std::string("got A\0B", 7));
}

TEST_F(ServiceTest, other_device_services_refuse_at_commands) {
    Connect();
    OpenService(mbnsim::kSmsServiceId);
    OpenCommandSession();
    const SinkEvent answer = Exchange("AT\r\n");
    EXPECT_EQ(answer.status, mbnsim::kStatusNotSupported);
    EXPECT_FALSE(answer.hasData);
}

TEST_F(ServiceTest, data_session_carries_modem_answers_as_read_data) {
    Connect();
    OpenService();
    ULONG requestId = 0;
    SAFEARRAY* payload = ByteArray("AT\r");
    EXPECT_EQ(client_.service->WriteData(payload, &requestId), mbnsim::kErrorInvalidState);  // no session yet
    ASSERT_EQ(client_.service->OpenDataSession(&requestId), S_OK);
    ASSERT_TRUE(sink_->WaitEvents(1));
    EXPECT_EQ(sink_->Events()[0].kind, SinkCall::OpenDataSessionComplete);
    ASSERT_EQ(client_.service->WriteData(payload, &requestId), S_OK);
    SafeArrayDestroy(payload);
    ASSERT_TRUE(sink_->WaitEvents(3));
    auto events = sink_->Events();
    EXPECT_EQ(events[1].kind, SinkCall::WriteDataComplete);
    EXPECT_EQ(events[1].requestId, requestId);
    EXPECT_EQ(events[2].kind, SinkCall::ReadData);
    EXPECT_EQ(events[2].data, "AT\r\r\nOK\r\n");
    ASSERT_EQ(service_->DataWritten().size(), 1u);
    EXPECT_EQ(service_->DataWritten()[0], "AT\r");
}

TEST_F(ServiceTest, interface_is_found_by_id_and_describes_the_modem) {
    mbnsim::ModemConfig c;
    c.manufacturer = "Acme";
    service_->SetModem(c);
    service_->SetInterfaceId(L"{11111111-2222-3333-4444-555555555555}");
    Connect();
    IMbnInterface* modem = nullptr;
    EXPECT_EQ(client_.interfaces->GetInterface(mbnsim::kDefaultInterfaceId, &modem), mbnsim::kErrorNotFound);
    EXPECT_EQ(modem, nullptr);
    ASSERT_EQ(client_.interfaces->GetInterface(L"{11111111-2222-3333-4444-555555555555}", &modem), S_OK);
    MBN_INTERFACE_CAPS caps;
    ASSERT_EQ(modem->GetInterfaceCapability(&caps), S_OK);
    ASSERT_EQ(SysStringLen(caps.manufacturer), 4u);
    EXPECT_EQ(caps.manufacturer[0], L'A');
    EXPECT_EQ(caps.manufacturer[3], L'e');
    for (BSTR s :
         {caps.customDataClass, caps.customBandClass, caps.deviceID, caps.manufacturer, caps.model, caps.firmwareInfo})
        SysFreeString(s);
    modem->Release();
}

TEST(ServiceUnload, unload_is_allowed_only_when_nothing_is_in_use) {
    SimulatedService service;
    EXPECT_TRUE(service.CanUnload());
    IClassFactory* factory = nullptr;
    ASSERT_EQ(
        service.GetClassObject(CLSID_MbnDeviceServicesManager, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
        S_OK);
    EXPECT_FALSE(service.CanUnload());
    IUnknown* manager = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&manager)), S_OK);
    factory->LockServer(TRUE);
    factory->Release();
    EXPECT_FALSE(service.CanUnload());  // the manager and the lock
    manager->Release();
    EXPECT_FALSE(service.CanUnload());  // the lock
    ASSERT_EQ(
        service.GetClassObject(CLSID_MbnDeviceServicesManager, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
        S_OK);
    factory->LockServer(FALSE);
    factory->Release();
    EXPECT_TRUE(service.CanUnload());
    EXPECT_EQ(service.LiveObjects(), 0);
}

// ---------------------------------------------------------------------------
// Threads and references

TEST_F(ServiceTest, completions_run_on_service_threads) {
    Connect();
    OpenService();
    OpenCommandSession();
    Exchange("AT\r\n");
    service_->PushData("x");
    ASSERT_TRUE(sink_->WaitEvents(3));
    for (const SinkEvent& e : sink_->Events()) EXPECT_TRUE(e.onProviderThread);
    EXPECT_FALSE(mbnsim::OnServiceThread());
}

TEST_F(ServiceTest, callbacks_posted_together_each_get_a_thread) {
    Connect();
    sink_->Block(SinkCall::ReadData);
    for (int i = 0; i < 5; ++i) service_->PushData(std::string(1, static_cast<char>('a' + i)));
    // All five are inside the sink at once, none waits for another to return.
    ASSERT_TRUE(service_->WaitCallbacksStarted(Callback::ReadData, 5, kWait));
    EXPECT_EQ(service_->CallbacksFinished(Callback::ReadData), 0u);
    EXPECT_GE(service_->ServiceThreads(), 5u);
    sink_->Unblock();
    ASSERT_TRUE(service_->WaitCallbacksFinished(Callback::ReadData, 5, kWait));
}

TEST_F(ServiceTest, pool_stops_when_the_last_object_goes_on_a_service_thread) {
    Connect();
    OpenService();
    OpenCommandSession();
    service_->QueueCompletion(Request::SetCommand, mbnsim::Plan(Delivery::Held));
    SAFEARRAY* payload = ByteArray("AT\r\n");
    ULONG requestId = 0;
    ASSERT_EQ(client_.service->SetCommand(mbnsim::kAtCommandId, payload, &requestId), S_OK);
    SafeArrayDestroy(payload);
    ASSERT_TRUE(service_->WaitHeld(1, kWait));
    // The held completion is the last holder of the device service: the last
    // Release then runs on a pool thread, which must not join itself.
    client_.point->Unadvise(client_.cookie);
    client_.cookie = 0;
    Disconnect();
    ASSERT_TRUE(service_->WaitIdle(kWait));  // earlier completions have dropped their references
    EXPECT_EQ(service_->LiveObjects(), 1);
    EXPECT_EQ(service_->OutstandingRefs(), 1);
    EXPECT_EQ(service_->ReleaseHeld(), 1u);
    ExpectNothingLeft();
}

// ---------------------------------------------------------------------------
// Device faults

TEST_F(ServiceTest, no_modem_gives_an_empty_interface_list) {
    service_->SetModemPresent(false);
    Connect();
    SAFEARRAY* list = nullptr;
    ASSERT_EQ(client_.interfaces->GetInterfaces(&list), S_OK);
    LONG lower = 0;
    LONG upper = 0;
    ASSERT_EQ(SafeArrayGetLBound(list, 1, &lower), S_OK);
    ASSERT_EQ(SafeArrayGetUBound(list, 1, &upper), S_OK);
    EXPECT_LT(upper, lower);
    SafeArrayDestroy(list);
    BSTR id = SysAllocString(mbnsim::kDefaultInterfaceId);
    IMbnDeviceServicesContext* context = reinterpret_cast<IMbnDeviceServicesContext*>(1);
    EXPECT_EQ(client_.services->GetDeviceServicesContext(id, &context), mbnsim::kErrorNotFound);
    EXPECT_EQ(context, nullptr);
    SysFreeString(id);
}

TEST_F(ServiceTest, modem_that_is_not_ready_reports_its_state) {
    service_->SetReadyState(MBN_READY_STATE_SIM_NOT_INSERTED);
    Connect();
    OpenService();
    MBN_READY_STATE state = MBN_READY_STATE_INITIALIZED;
    ASSERT_EQ(client_.modem->GetReadyState(&state), S_OK);
    EXPECT_EQ(state, MBN_READY_STATE_SIM_NOT_INSERTED);
}

TEST_F(ServiceTest, session_left_open_by_another_client_is_seen_as_open) {
    service_->SetCommandSessionOpen(L"{FFFFFFFF-abca-4b11-a4e2-f2fc87f94488}", true);
    Connect();
    OpenService();
    BOOL open = FALSE;
    ASSERT_EQ(client_.service->get_IsCommandSessionOpen(&open), S_OK);
    EXPECT_TRUE(open);
    // Usable without an open request of its own.
    EXPECT_EQ(Exchange("AT\r\n").status, S_OK);
    EXPECT_EQ(service_->CallCount(Call::OpenCommandSession), 0u);
}

TEST_F(ServiceTest, set_command_follows_a_lowered_maximum) {
    Connect();
    OpenService();
    OpenCommandSession();
    service_->SetMaxCommandSize(4);
    ULONG size = 0;
    ASSERT_EQ(client_.context->get_MaxCommandSize(&size), S_OK);
    EXPECT_EQ(size, 4u);
    ULONG requestId = 5;
    EXPECT_EQ(client_.SetCommand("AT\r\n", &requestId), E_INVALIDARG);
    EXPECT_EQ(requestId, 0u);
    ASSERT_TRUE(service_->WaitIdle(kWait));
    EXPECT_EQ(service_->CallbacksStarted(Callback::SetCommandComplete), 0u);
    EXPECT_TRUE(service_->SetCommands().empty());
    EXPECT_EQ(Exchange("AT\r").status, S_OK);
}

// ---------------------------------------------------------------------------
// Call faults: every platform call can be made to fail with a chosen result,
// and then yields no object, no request ID and no completion.

class CallFaultTest : public ServiceTest, public ::testing::WithParamInterface<Call> {};

TEST_P(CallFaultTest, failing_call_returns_the_injected_result_and_nothing_else) {
    const Call call = GetParam();
    const HRESULT injected = static_cast<HRESULT>(0x80070000 | (0x100 + static_cast<int>(call)));
    const bool creation = call == Call::CreateInterfaceManager || call == Call::CreateDeviceServicesManager;
    if (creation) {
        service_->FailCall(call, injected);
        const CLSID& clsid =
            call == Call::CreateInterfaceManager ? CLSID_MbnInterfaceManager : CLSID_MbnDeviceServicesManager;
        IUnknown* object = reinterpret_cast<IUnknown*>(1);
        EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&object)),
                  injected);
        EXPECT_EQ(object, nullptr);
        EXPECT_EQ(service_->LiveObjects(), 0);
        EXPECT_EQ(service_->CallCount(call), 1u);
        return;
    }
    Connect();
    OpenService();
    if (call == Call::CloseCommandSession || call == Call::SetCommand || call == Call::QueryCommand)
        OpenCommandSession();
    if (call == Call::CloseDataSession || call == Call::WriteData) {
        ULONG id = 0;
        ASSERT_EQ(client_.service->OpenDataSession(&id), S_OK);
        ASSERT_TRUE(sink_->WaitEvents(1));
    }
    ASSERT_TRUE(service_->WaitIdle(kWait));
    const size_t eventsBefore = sink_->Events().size();
    service_->FailCall(call, injected);
    HRESULT hr = S_OK;
    void* out = reinterpret_cast<void*>(1);
    ULONG requestId = 7;
    SAFEARRAY* payload = ByteArray("AT\r\n");
    BSTR text = nullptr;
    switch (call) {
    case Call::QueryConnectionPointContainer:
        hr = client_.services->QueryInterface(IID_IConnectionPointContainer, &out);
        break;
    case Call::FindConnectionPoint: {
        IConnectionPointContainer* container = nullptr;
        service_->ClearFaults();
        ASSERT_EQ(client_.services->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)),
                  S_OK);
        service_->FailCall(call, injected);
        hr = container->FindConnectionPoint(IID_IMbnDeviceServicesEvents, reinterpret_cast<IConnectionPoint**>(&out));
        container->Release();
        break;
    }
    case Call::Advise: {
        DWORD cookie = 9;
        hr = client_.point->Advise(sink_, &cookie);
        EXPECT_EQ(cookie, 0u);
        out = nullptr;
        break;
    }
    case Call::Unadvise:
        hr = client_.point->Unadvise(client_.cookie);
        out = nullptr;
        break;
    case Call::GetInterfaces: hr = client_.interfaces->GetInterfaces(reinterpret_cast<SAFEARRAY**>(&out)); break;
    case Call::GetInterface:
        hr = client_.interfaces->GetInterface(mbnsim::kDefaultInterfaceId, reinterpret_cast<IMbnInterface**>(&out));
        break;
    case Call::GetReadyState: {
        MBN_READY_STATE state = MBN_READY_STATE_BAD_SIM;
        hr = client_.modem->GetReadyState(&state);
        EXPECT_EQ(state, MBN_READY_STATE_BAD_SIM);
        out = nullptr;
        break;
    }
    case Call::InterfaceGetInterfaceID:
        hr = client_.modem->get_InterfaceID(&text);
        out = text;
        break;
    case Call::GetDeviceServicesContext:
        text = SysAllocString(mbnsim::kDefaultInterfaceId);
        hr = client_.services->GetDeviceServicesContext(text, reinterpret_cast<IMbnDeviceServicesContext**>(&out));
        SysFreeString(text);
        break;
    case Call::GetDeviceService:
        text = SysAllocString(mbnsim::kAtServiceId);
        hr = client_.context->GetDeviceService(text, reinterpret_cast<IMbnDeviceService**>(&out));
        SysFreeString(text);
        break;
    case Call::IsCommandSessionOpen:
    case Call::IsDataSessionOpen: {
        BOOL value = 5;
        hr = call == Call::IsCommandSessionOpen ? client_.service->get_IsCommandSessionOpen(&value)
                                                : client_.service->get_IsDataSessionOpen(&value);
        EXPECT_EQ(value, 5);
        out = nullptr;
        break;
    }
    case Call::OpenCommandSession:
        hr = client_.service->OpenCommandSession(&requestId);
        out = nullptr;
        break;
    case Call::CloseCommandSession:
        hr = client_.service->CloseCommandSession(&requestId);
        out = nullptr;
        break;
    case Call::SetCommand:
        hr = client_.service->SetCommand(mbnsim::kAtCommandId, payload, &requestId);
        out = nullptr;
        break;
    case Call::QueryCommand:
        hr = client_.service->QueryCommand(mbnsim::kAtCommandId, payload, &requestId);
        out = nullptr;
        break;
    case Call::OpenDataSession:
        hr = client_.service->OpenDataSession(&requestId);
        out = nullptr;
        break;
    case Call::CloseDataSession:
        hr = client_.service->CloseDataSession(&requestId);
        out = nullptr;
        break;
    case Call::WriteData:
        hr = client_.service->WriteData(payload, &requestId);
        out = nullptr;
        break;
    default: FAIL() << "call not covered: " << mbnsim::CallName(call);
    }
    SafeArrayDestroy(payload);
    EXPECT_EQ(hr, injected) << mbnsim::CallName(call);
    EXPECT_EQ(out, nullptr) << mbnsim::CallName(call);
    if (requestId != 7) {
        EXPECT_EQ(requestId, 0u) << mbnsim::CallName(call);
    }
    ASSERT_TRUE(service_->WaitIdle(kWait));
    EXPECT_EQ(sink_->Events().size(), eventsBefore) << mbnsim::CallName(call);
    service_->ClearFaults();
}

INSTANTIATE_TEST_SUITE_P(
    EveryCall, CallFaultTest,
    ::testing::Values(Call::CreateInterfaceManager, Call::CreateDeviceServicesManager,
                      Call::QueryConnectionPointContainer, Call::FindConnectionPoint, Call::Advise, Call::Unadvise,
                      Call::GetInterfaces, Call::GetInterface, Call::GetReadyState, Call::InterfaceGetInterfaceID,
                      Call::GetDeviceServicesContext, Call::GetDeviceService, Call::IsCommandSessionOpen,
                      Call::IsDataSessionOpen, Call::OpenCommandSession, Call::CloseCommandSession, Call::SetCommand,
                      Call::QueryCommand, Call::OpenDataSession, Call::CloseDataSession, Call::WriteData),
    [](const ::testing::TestParamInfo<Call>& param) { return std::string(mbnsim::CallName(param.param)); });

TEST_F(ServiceTest, fault_with_a_count_fails_only_that_many_calls) {
    Connect();
    service_->FailCall(Call::GetInterfaces, E_ACCESSDENIED, 2);
    SAFEARRAY* list = nullptr;
    EXPECT_EQ(client_.interfaces->GetInterfaces(&list), E_ACCESSDENIED);
    EXPECT_EQ(client_.interfaces->GetInterfaces(&list), E_ACCESSDENIED);
    ASSERT_EQ(client_.interfaces->GetInterfaces(&list), S_OK);
    SafeArrayDestroy(list);
    EXPECT_EQ(service_->CallCount(Call::GetInterfaces), 3u);
}

// ---------------------------------------------------------------------------
// Completion faults

class CompletionTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        Connect();
        OpenService();
        OpenCommandSession();
    }
    ULONG Send(const std::string& text = "AT\r\n") {
        SAFEARRAY* payload = ByteArray(text);
        ULONG requestId = 0;
        EXPECT_EQ(client_.service->SetCommand(mbnsim::kAtCommandId, payload, &requestId), S_OK);
        SafeArrayDestroy(payload);
        return requestId;
    }
    size_t SetCommandCallbacks() { return service_->CallbacksStarted(Callback::SetCommandComplete); }
};

TEST_F(CompletionTest, completion_that_never_comes) {
    service_->QueueCompletion(Request::SetCommand, mbnsim::Plan(Delivery::Never));
    Send();
    ASSERT_TRUE(service_->WaitIdle(kWait));
    EXPECT_EQ(SetCommandCallbacks(), 0u);
    EXPECT_EQ(service_->HeldCount(), 0u);
    // The next request is answered normally.
    const ULONG next = Send();
    ASSERT_TRUE(sink_->WaitEvents(2));
    EXPECT_EQ(sink_->Events()[1].requestId, next);
}

TEST_F(CompletionTest, completion_held_until_released_comes_late) {
    service_->QueueCompletion(Request::SetCommand, mbnsim::Plan(Delivery::Held));
    const ULONG id = Send();
    ASSERT_TRUE(service_->WaitHeld(1, kWait));
    ASSERT_TRUE(service_->WaitIdle(kWait));
    EXPECT_EQ(SetCommandCallbacks(), 0u);
    EXPECT_EQ(service_->ReleaseHeld(), 1u);
    ASSERT_TRUE(sink_->WaitEvents(2));
    EXPECT_EQ(sink_->Events()[1].requestId, id);
    EXPECT_EQ(sink_->Events()[1].data, "AT\r\r\nOK\r\n");
}

TEST_F(CompletionTest, dropped_completion_releases_what_it_held) {
    service_->QueueCompletion(Request::SetCommand, mbnsim::Plan(Delivery::Held));
    Send();
    ASSERT_TRUE(service_->WaitHeld(1, kWait));
    Disconnect();
    ASSERT_TRUE(service_->WaitIdle(kWait));
    EXPECT_EQ(service_->LiveObjects(), 1);  // the device service, for the completion
    EXPECT_EQ(service_->DropHeld(), 1u);
    ExpectNothingLeft();
    EXPECT_EQ(SetCommandCallbacks(), 0u);
}

TEST_F(CompletionTest, delayed_completion_still_comes) {
    service_->QueueCompletion(Request::SetCommand, mbnsim::Plan(Delivery::Delayed, 50));
    const ULONG id = Send();
    ASSERT_TRUE(sink_->WaitEvents(2));
    EXPECT_EQ(sink_->Events()[1].requestId, id);
}

TEST_F(CompletionTest, completion_enters_the_sink_before_set_command_returns) {
    service_->QueueCompletion(Request::SetCommand, mbnsim::Plan(Delivery::BeforeReturn));
    sink_->Block(SinkCall::SetCommandComplete);
    const ULONG id = Send();
    // Started while SetCommand was still running, on another thread.
    EXPECT_EQ(SetCommandCallbacks(), 1u);
    sink_->Unblock();
    ASSERT_TRUE(sink_->WaitEvents(2));
    EXPECT_EQ(sink_->Events()[1].requestId, id);
    EXPECT_NE(sink_->Events()[1].thread, std::this_thread::get_id());
}

TEST_F(CompletionTest, completion_with_another_request_id_comes_first) {
    CompletionPlan plan;
    plan.foreignIdFirst = true;
    service_->QueueCompletion(Request::SetCommand, plan);
    const ULONG id = Send();
    ASSERT_TRUE(sink_->WaitEvents(3));
    auto events = sink_->Events();
    EXPECT_NE(events[1].requestId, id);
    EXPECT_NE(events[1].requestId & mbnsim::kForeignRequestIdBit, 0u);
    EXPECT_EQ(events[1].data, "\r\nFOREIGN\r\n");
    EXPECT_EQ(events[2].requestId, id);
    EXPECT_EQ(events[2].data, "AT\r\r\nOK\r\n");
}

TEST_F(CompletionTest, completion_with_a_failure_status_carries_no_data) {
    CompletionPlan plan;
    plan.status = E_FAIL;
    service_->QueueCompletion(Request::SetCommand, plan);
    Send("ATE0\r\n");
    ASSERT_TRUE(sink_->WaitEvents(2));
    EXPECT_EQ(sink_->Events()[1].status, E_FAIL);
    EXPECT_FALSE(sink_->Events()[1].hasData);
    // The request never reached the modem: echo is still on.
    EXPECT_EQ(Exchange("AT\r\n").data, "AT\r\r\nOK\r\n");
}

TEST_F(CompletionTest, completion_with_an_empty_array) {
    CompletionPlan plan;
    plan.emptyData = true;
    service_->QueueCompletion(Request::SetCommand, plan);
    Send();
    ASSERT_TRUE(sink_->WaitEvents(2));
    EXPECT_EQ(sink_->Events()[1].status, S_OK);
    EXPECT_TRUE(sink_->Events()[1].hasData);
    EXPECT_EQ(sink_->Events()[1].dataLength, 0);
}

TEST_F(CompletionTest, failed_session_open_leaves_the_session_closed) {
    ULONG id = 0;
    ASSERT_EQ(client_.service->CloseCommandSession(&id), S_OK);
    ASSERT_TRUE(sink_->WaitEvents(2));
    CompletionPlan plan;
    plan.status = E_ACCESSDENIED;
    service_->QueueCompletion(Request::OpenCommandSession, plan);
    ASSERT_EQ(client_.service->OpenCommandSession(&id), S_OK);
    ASSERT_TRUE(sink_->WaitEvents(3));
    EXPECT_EQ(sink_->Events()[2].status, E_ACCESSDENIED);
    EXPECT_FALSE(service_->IsCommandSessionOpen(mbnsim::kAtServiceId));
}

TEST_F(CompletionTest, unsolicited_data_reaches_the_sink_without_a_data_session) {
    const std::string bytes("\r\nRING\r\n\0\x01", 10);
    service_->PushData(bytes);
    ASSERT_TRUE(sink_->WaitEvents(2));
    EXPECT_EQ(sink_->Events()[1].kind, SinkCall::ReadData);
    EXPECT_EQ(sink_->Events()[1].data, bytes);
    EXPECT_FALSE(service_->IsDataSessionOpen(mbnsim::kAtServiceId));
}

TEST_F(CompletionTest, standing_plan_applies_after_the_queued_ones) {
    service_->SetCompletion(Request::SetCommand, mbnsim::Plan(Delivery::Never));
    CompletionPlan answer;
    answer.response = std::string("first");
    service_->QueueCompletion(Request::SetCommand, answer);
    Send();
    Send();
    ASSERT_TRUE(sink_->WaitEvents(2));
    ASSERT_TRUE(service_->WaitIdle(kWait));
    EXPECT_EQ(SetCommandCallbacks(), 1u);
    EXPECT_EQ(sink_->Events()[1].data, "first");
}

}  // namespace
