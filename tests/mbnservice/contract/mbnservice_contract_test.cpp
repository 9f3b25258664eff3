// One set of rows for both Mobile Broadband back ends: the simulated service
// and the libmbim module (mbnmbim.so as atcmd loads it, over an
// mbim-emulator of each test's own). Each row is written once against a
// back end that says how to reach its class objects, how to wait for its
// completions and what of it is still alive; the rows are what a client of
// the Windows service relies on: COM identity and QueryInterface, the events
// connection point, who frees what is returned, how unknown IDs and oversize
// commands are refused, request IDs, and completions (exactly once, never on
// the caller's thread, with the sink referenced for the call). Where the
// back ends differ on purpose, the row holds an expectation per back end and
// the back end says why. Every row ends with nothing of the back end alive
// and no reference of its left on the sink.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "com_test_objects.h"
#include "mbn_client.h"
#include "recording_sink.h"
#include "simulator.h"
#ifdef MBNMBIM_PATH
#include "emulator_processes.h"
#include "mbim_module.h"
#endif

namespace {

using mbntest::kAtCommandId;
using mbntest::kAtServiceId;
using mbntest::MbnClient;
using mbntest::RecordingSink;
using mbntest::SinkCall;
using mbntest::SinkEvent;
using mbntest::WaitUntil;

constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070490);      // HRESULT_FROM_WIN32(ERROR_NOT_FOUND)
constexpr HRESULT kNotSupported = static_cast<HRESULT>(0x80070032);  // HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)
constexpr HRESULT kInvalidState = static_cast<HRESULT>(0x8007139F);  // HRESULT_FROM_WIN32(ERROR_INVALID_STATE)

// A GUID-shaped ID no back end knows.
const WCHAR kUnknownInterfaceId[] = L"{00000000-0000-0000-0000-000000000001}";

std::string Text(const WCHAR* text) {
    std::string out;
    for (; text && *text; ++text) out.push_back(static_cast<char>(*text));
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// The back ends, named so the suite's test names say which one ran.

namespace backend {

// The simulated service, one per test, reached through its class objects as
// mbnsim.dll's DllGetClassObject reaches them.
struct Simulated {
    // Any service ID it does not list, GUID or not, is simply not found.
    static constexpr HRESULT kMalformedServiceId = kNotFound;
    // Data sessions are simulated: WriteData feeds the modem.
    static constexpr bool kDataSessions = true;

    ::testing::AssertionResult Start() {
        service = std::make_unique<mbnsim::SimulatedService>();
        // Echo off, as in the service atcmd uses and in the MBIM AT service:
        // both back ends then give the same answer.
        mbnsim::ModemConfig modem;
        modem.echo = false;
        service->SetModem(modem);
        return ::testing::AssertionSuccess();
    }
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** object) {
        return service->GetClassObject(clsid, iid, object);
    }
    long LiveObjects() const { return service->LiveObjects(); }
    bool WaitIdle() { return service->WaitIdle(5000); }
    // What is still in use once the client has let everything go; empty
    // when nothing is.
    std::string Leftovers() {
        service->WaitIdle(5000);
        std::string left;
        const auto note = [&](const char* what, long count) {
            if (count != 0) left += std::string(what) + " " + std::to_string(count) + "; ";
        };
        note("objects", service->LiveObjects());
        note("references", service->OutstandingRefs());
        note("sink references", service->SinkRefs());
        note("connections", static_cast<long>(service->AdviseConnections()));
        note("threads", static_cast<long>(service->ServiceThreads()));
        if (!service->CanUnload()) left += "cannot unload";
        return left;
    }
    void Stop() { service.reset(); }

    std::unique_ptr<mbnsim::SimulatedService> service;
};

#ifdef MBNMBIM_PATH
// The libmbim module as atcmd loads it, on an mbim-emulator of the test's
// own, opened directly (not through mbim-proxy).
struct Libmbim {
    // A service ID goes to the device as a UUID in an MBIM message: text
    // that is not one is refused as an argument before the device is asked.
    static constexpr HRESULT kMalformedServiceId = E_INVALIDARG;
    // Device-service streams travel on the data pipe, which the module does
    // not open (only the control channel): data sessions are refused at the
    // call.
    static constexpr bool kDataSessions = false;

    static mbntest::MbimModule& Module() { return mbntest::LoadedMbimModule(MBNMBIM_PATH); }

    ::testing::AssertionResult Start() {
        if (!Module().Loaded()) return ::testing::AssertionFailure() << "cannot load " << MBNMBIM_PATH;
        emulator = std::make_unique<mbimtest::Emulator>(EMULATOR_PATH, std::vector<std::string>{});
        if (emulator->Path().empty()) return ::testing::AssertionFailure() << "mbim-emulator did not start";
        // Read when the first manager opens the port.
        setenv("GLOBALTOOLS_MBN_PROVIDER", ("mbim:" + emulator->Path()).c_str(), 1);
        setenv("GLOBALTOOLS_MBIM_PROXY", "never", 1);
        return ::testing::AssertionSuccess();
    }
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** object) {
        return Module().getClassObject(clsid, iid, object);
    }
    // Class factories included: none is alive when a row counts.
    long LiveObjects() const { return Module().liveObjects(); }
    // The module has no word of its own for it: the references completions
    // hold (the fixture's Quiet) tell instead.
    bool WaitIdle() { return true; }
    // The module offers no DllCanUnloadNow: its count of live objects is
    // what says it could go. Completion jobs give their references back just
    // after the callback, hence the wait.
    std::string Leftovers() {
        WaitUntil([] { return Module().liveObjects() == 0; });
        const long live = Module().liveObjects();
        return live == 0 ? std::string() : "objects " + std::to_string(live);
    }
    // After the last object: the module has closed the port by then.
    void Stop() { emulator.reset(); }

    std::unique_ptr<mbimtest::Emulator> emulator;
};
#endif

}  // namespace backend

namespace {

// ---------------------------------------------------------------------------
// The fixture: the back end, the test's sink and the client's walk.

template <class BackEnd>
class Contract : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        ASSERT_TRUE(backEnd_.Start());
        client_ = std::make_unique<MbnClient>(Source());
        sink_ = new RecordingSink();
    }

    void TearDown() override {
        if (client_) {
            if (sink_) sink_->Unblock();
            client_->Release();
            EXPECT_EQ(backEnd_.Leftovers(), "") << "left alive by the back end";
        }
        if (sink_) {
            EXPECT_TRUE(WaitUntil([&] { return sink_->Refs() == 1; })) << "the back end still holds the sink";
            sink_->Release();
        }
        backEnd_.Stop();
        CoUninitialize();
    }

    mbntest::ManagerSource Source() {
        return mbntest::ThroughClassObject(
            [this](REFCLSID clsid, REFIID iid, void** out) { return backEnd_.GetClassObject(clsid, iid, out); });
    }

    // The managers and the sink advised; then the AT device service.
    void Connect() { ASSERT_EQ(client_->Connect(sink_), S_OK) << client_->Step(); }
    void Walk() {
        ASSERT_NO_FATAL_FAILURE(Connect());
        ASSERT_EQ(client_->OpenService(), S_OK) << client_->Step();
    }
    void OpenSession() { ASSERT_EQ(client_->OpenCommandSession(*sink_), S_OK) << client_->Step(); }

    // Until every completion issued so far has run and given back what it
    // held: the back end's own word where it has one, then the sink's count
    // (the test's reference and the connection's) and the device service's
    // (the client's reference).
    bool Quiet() {
        return backEnd_.WaitIdle() && WaitUntil([&] {
                   return sink_->Refs() == 2 && (!client_->service || mbntest::RefCount(client_->service) == 1);
               });
    }

    struct Issued {
        SinkCall kind;
        ULONG requestId;
    };
    // One request of every kind the AT service completes, each waited for,
    // the session's close last; then Quiet.
    std::vector<Issued> IssueEveryKind() {
        MbnClient& c = *client_;
        std::vector<Issued> issued;
        ULONG id = 0;
        EXPECT_EQ(c.service->QuerySupportedCommands(&id), S_OK);
        issued.push_back({SinkCall::QuerySupportedCommandsComplete, id});
        EXPECT_EQ(c.OpenCommandSession(*sink_, &id), S_OK) << c.Step();
        issued.push_back({SinkCall::OpenCommandSessionComplete, id});
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(c.SetCommand("AT\r\n", &id), S_OK);
            issued.push_back({SinkCall::SetCommandComplete, id});
        }
        SAFEARRAY* payload = mbnservice::ByteArray("x");
        EXPECT_EQ(c.service->QueryCommand(kAtCommandId, payload, &id), S_OK);
        SafeArrayDestroy(payload);
        issued.push_back({SinkCall::QueryCommandComplete, id});
        for (const Issued& request : issued)
            EXPECT_TRUE(sink_->WaitRequest(request.kind, request.requestId)) << request.requestId;
        EXPECT_EQ(c.service->CloseCommandSession(&id), S_OK);
        issued.push_back({SinkCall::CloseCommandSessionComplete, id});
        EXPECT_TRUE(sink_->WaitRequest(SinkCall::CloseCommandSessionComplete, id));
        EXPECT_TRUE(Quiet());
        return issued;
    }

    BackEnd backEnd_;
    std::unique_ptr<MbnClient> client_;
    RecordingSink* sink_ = nullptr;
};

#ifdef MBNMBIM_PATH
using BackEnds = ::testing::Types<backend::Simulated, backend::Libmbim>;
#else
using BackEnds = ::testing::Types<backend::Simulated>;
#endif
TYPED_TEST_SUITE(Contract, BackEnds);

// ---------------------------------------------------------------------------
// COM identity and QueryInterface

// An object answers IUnknown with one pointer, whichever of its interfaces
// is asked; the connection point is an object of its own, whose container
// is its manager.
TYPED_TEST(Contract, iunknown_is_one_pointer_per_object) {
    ASSERT_NO_FATAL_FAILURE(this->Walk());
    MbnClient& c = *this->client_;
    IConnectionPointContainer* container = nullptr;
    ASSERT_EQ(c.services->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)), S_OK);
    IConnectionPointContainer* pointContainer = nullptr;
    ASSERT_EQ(c.point->GetConnectionPointContainer(&pointContainer), S_OK);
    const auto identity = [](IUnknown* object) {
        IUnknown* unknown = nullptr;
        EXPECT_EQ(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
        if (unknown) unknown->Release();
        return unknown;
    };
    // clang-format off
    const struct { const char* name; IUnknown* object; const IID& other; } rows[] = {
        {"interface manager",                     c.interfaces,   IID_IMbnInterfaceManager},
        {"device-services manager",               c.services,     IID_IConnectionPointContainer},
        {"device-services manager, as container", container,      IID_IMbnDeviceServicesManager},
        {"the connection point's container",      pointContainer, IID_IMbnDeviceServicesManager},
        {"connection point",                      c.point,        IID_IConnectionPoint},
        {"interface",                             c.modem,        IID_IMbnInterface},
        {"device-services context",               c.context,      IID_IMbnDeviceServicesContext},
        {"device service",                        c.service,      IID_IMbnDeviceService},
    };
    // clang-format on
    for (const auto& row : rows) {
        IUnknown* other = nullptr;
        ASSERT_EQ(row.object->QueryInterface(row.other, reinterpret_cast<void**>(&other)), S_OK) << row.name;
        EXPECT_EQ(identity(row.object), identity(other)) << row.name;
        other->Release();
    }
    EXPECT_EQ(identity(pointContainer), identity(c.services));
    EXPECT_NE(identity(c.point), identity(c.services));
    container->Release();
    pointContainer->Release();
}

// An interface an object lacks: E_NOINTERFACE, and the out pointer NULL;
// no out pointer at all: E_POINTER.
TYPED_TEST(Contract, query_interface_answers_e_nointerface_and_e_pointer) {
    ASSERT_NO_FATAL_FAILURE(this->Walk());
    MbnClient& c = *this->client_;
    const struct {
        const char* name;
        IUnknown* object;
    } rows[] = {{"interface manager", c.interfaces},
                {"device-services manager", c.services},
                {"connection point", c.point},
                {"interface", c.modem},
                {"context", c.context},
                {"device service", c.service}};
    for (const auto& row : rows) {
        for (const IID* iid : {&IID_IClassFactory, &IID_IMbnDeviceServicesEvents}) {
            void* out = reinterpret_cast<void*>(1);
            EXPECT_EQ(row.object->QueryInterface(*iid, &out), E_NOINTERFACE) << row.name;
            EXPECT_EQ(out, nullptr) << row.name;
        }
        EXPECT_EQ(row.object->QueryInterface(IID_IUnknown, nullptr), E_POINTER) << row.name;
    }
}

// Every other out pointer given as NULL: E_POINTER, and nothing issued.
TYPED_TEST(Contract, a_null_out_pointer_gives_e_pointer) {
    ASSERT_NO_FATAL_FAILURE(this->Walk());
    MbnClient& c = *this->client_;
    IClassFactory* factory = nullptr;
    ASSERT_EQ(this->backEnd_.GetClassObject(CLSID_MbnDeviceServicesManager, IID_IClassFactory,
                                            reinterpret_cast<void**>(&factory)),
              S_OK);
    IConnectionPointContainer* container = nullptr;
    ASSERT_EQ(c.services->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)), S_OK);
    BSTR interfaceId = nullptr;
    ASSERT_EQ(c.modem->get_InterfaceID(&interfaceId), S_OK);
    BSTR serviceId = SysAllocString(kAtServiceId);
    SAFEARRAY* payload = mbnservice::ByteArray("AT\r\n");
    const struct {
        const char* call;
        std::function<HRESULT()> run;
    } rows[] = {
        {"DllGetClassObject",
         [&] { return this->backEnd_.GetClassObject(CLSID_MbnInterfaceManager, IID_IClassFactory, nullptr); }},
        {"CreateInstance", [&] { return factory->CreateInstance(nullptr, IID_IUnknown, nullptr); }},
        {"GetInterfaces", [&] { return c.interfaces->GetInterfaces(nullptr); }},
        {"GetInterface", [&] { return c.interfaces->GetInterface(interfaceId, nullptr); }},
        {"get_InterfaceID", [&] { return c.modem->get_InterfaceID(nullptr); }},
        {"GetReadyState", [&] { return c.modem->GetReadyState(nullptr); }},
        {"GetDeviceServicesContext", [&] { return c.services->GetDeviceServicesContext(interfaceId, nullptr); }},
        {"FindConnectionPoint", [&] { return container->FindConnectionPoint(IID_IMbnDeviceServicesEvents, nullptr); }},
        {"GetConnectionInterface", [&] { return c.point->GetConnectionInterface(nullptr); }},
        {"GetConnectionPointContainer", [&] { return c.point->GetConnectionPointContainer(nullptr); }},
        {"Advise", [&] { return c.point->Advise(this->sink_, nullptr); }},
        {"GetDeviceService", [&] { return c.context->GetDeviceService(serviceId, nullptr); }},
        {"get_MaxCommandSize", [&] { return c.context->get_MaxCommandSize(nullptr); }},
        {"QuerySupportedCommands", [&] { return c.service->QuerySupportedCommands(nullptr); }},
        {"OpenCommandSession", [&] { return c.service->OpenCommandSession(nullptr); }},
        {"CloseCommandSession", [&] { return c.service->CloseCommandSession(nullptr); }},
        {"SetCommand", [&] { return c.service->SetCommand(kAtCommandId, payload, nullptr); }},
        {"get_DeviceServiceID", [&] { return c.service->get_DeviceServiceID(nullptr); }},
        {"get_IsCommandSessionOpen", [&] { return c.service->get_IsCommandSessionOpen(nullptr); }},
    };
    for (const auto& row : rows) EXPECT_EQ(row.run(), E_POINTER) << row.call;
    SafeArrayDestroy(payload);
    SysFreeString(serviceId);
    SysFreeString(interfaceId);
    container->Release();
    factory->Release();
    ASSERT_TRUE(this->Quiet());
    EXPECT_TRUE(this->sink_->Events().empty());
}

// A class object makes only its own manager, never aggregated; a class it
// does not serve has none.
TYPED_TEST(Contract, class_objects_make_their_manager_only) {
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(this->backEnd_.GetClassObject(IID_IUnknown, IID_IClassFactory, &none), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(none, nullptr);
    comtest::CountingUnknown outer;
    for (const CLSID* clsid : {&CLSID_MbnInterfaceManager, &CLSID_MbnDeviceServicesManager}) {
        IClassFactory* factory = nullptr;
        ASSERT_EQ(this->backEnd_.GetClassObject(*clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
        none = reinterpret_cast<void*>(1);
        EXPECT_EQ(factory->CreateInstance(&outer, IID_IUnknown, &none), CLASS_E_NOAGGREGATION);
        EXPECT_EQ(none, nullptr);
        none = reinterpret_cast<void*>(1);
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &none), E_NOINTERFACE);
        EXPECT_EQ(none, nullptr);
        factory->Release();
    }
    EXPECT_EQ(outer.Refs(), 1);
}

// ---------------------------------------------------------------------------
// The events connection point

// Each connection has a cookie of its own, never 0; a cookie the point did
// not give (0, another manager's, one already undone) is refused; an object
// that is not a sink is not connected and keeps no reference.
TYPED_TEST(Contract, advise_cookies_are_never_0_and_unknown_ones_are_refused) {
    ASSERT_NO_FATAL_FAILURE(this->Connect());
    MbnClient& c = *this->client_;
    RecordingSink* sink = this->sink_;
    DWORD second = 0;
    DWORD third = 0;
    ASSERT_EQ(c.point->Advise(sink, &second), S_OK);
    ASSERT_EQ(c.point->Advise(sink, &third), S_OK);
    for (DWORD cookie : {c.cookie, second, third}) EXPECT_NE(cookie, 0u);
    EXPECT_EQ(std::set<DWORD>({c.cookie, second, third}).size(), 3u);
    EXPECT_EQ(sink->Refs(), 4);  // the test's own and three connections

    MbnClient other(this->Source());
    ASSERT_EQ(other.Connect(sink), S_OK) << other.Step();
    EXPECT_EQ(other.point->Unadvise(second), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(c.point->Unadvise(other.cookie), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(c.point->Unadvise(0), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(c.point->Unadvise(std::max({c.cookie, second, third, other.cookie}) + 1000), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(c.point->Unadvise(second), S_OK);
    EXPECT_EQ(c.point->Unadvise(second), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(c.point->Unadvise(third), S_OK);
    other.Release();
    EXPECT_EQ(sink->Refs(), 2);

    comtest::CountingUnknown notASink;
    DWORD cookie = 77;
    EXPECT_EQ(c.point->Advise(&notASink, &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(notASink.Refs(), 1);
    cookie = 77;
    EXPECT_EQ(c.point->Advise(nullptr, &cookie), E_POINTER);
    EXPECT_EQ(cookie, 0u);

    IConnectionPointContainer* container = nullptr;
    ASSERT_EQ(c.services->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)), S_OK);
    IConnectionPoint* none = reinterpret_cast<IConnectionPoint*>(1);
    EXPECT_EQ(container->FindConnectionPoint(IID_IUnknown, &none), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(none, nullptr);
    container->Release();
    IID iid = IID_IUnknown;
    EXPECT_EQ(c.point->GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(IsEqualGUID(iid, IID_IMbnDeviceServicesEvents));
}

// A manager that goes undoes its connections: the references they held on
// the sink are given back without Unadvise.
TYPED_TEST(Contract, releasing_a_manager_undoes_its_connections) {
    ASSERT_NO_FATAL_FAILURE(this->Connect());
    MbnClient& c = *this->client_;
    DWORD second = 0;
    ASSERT_EQ(c.point->Advise(this->sink_, &second), S_OK);
    EXPECT_EQ(this->sink_->Refs(), 3);
    c.cookie = 0;        // never unadvised
    c.point->Release();  // shares the manager's count
    c.point = nullptr;
    c.services->Release();
    c.services = nullptr;
    EXPECT_EQ(this->sink_->Refs(), 1);
}

// ---------------------------------------------------------------------------
// Ownership

// The interface list is an array of IUnknown the caller destroys, holding
// one reference on each interface; an element taken out comes with a
// reference of its own. Strings come fresh on every call, each the caller's
// to free once (the address sanitizer sees a string freed twice or kept).
TYPED_TEST(Contract, returned_arrays_and_strings_are_the_callers) {
    ASSERT_NO_FATAL_FAILURE(this->Walk());
    MbnClient& c = *this->client_;
    SAFEARRAY* list = nullptr;
    ASSERT_EQ(c.interfaces->GetInterfaces(&list), S_OK);
    VARTYPE vt = VT_EMPTY;
    ASSERT_EQ(SafeArrayGetVartype(list, &vt), S_OK);
    EXPECT_EQ(vt, VT_UNKNOWN);
    LONG lower = 0;
    LONG upper = -1;
    ASSERT_EQ(SafeArrayGetLBound(list, 1, &lower), S_OK);
    ASSERT_EQ(SafeArrayGetUBound(list, 1, &upper), S_OK);
    ASSERT_EQ(upper - lower + 1, 1);
    const long withArray = this->backEnd_.LiveObjects();
    IUnknown* element = nullptr;
    ASSERT_EQ(SafeArrayGetElement(list, &lower, &element), S_OK);
    IMbnInterface* modem = nullptr;
    ASSERT_EQ(element->QueryInterface(IID_IMbnInterface, reinterpret_cast<void**>(&modem)), S_OK);
    element->Release();
    ASSERT_EQ(SafeArrayDestroy(list), S_OK);
    EXPECT_EQ(this->backEnd_.LiveObjects(), withArray);  // the element taken out keeps it
    modem->Release();
    EXPECT_EQ(this->backEnd_.LiveObjects(), withArray - 1);

    const std::function<HRESULT(BSTR*)> getters[] = {
        [&](BSTR* out) { return c.modem->get_InterfaceID(out); },
        [&](BSTR* out) { return c.service->get_InterfaceID(out); },
        [&](BSTR* out) { return c.service->get_DeviceServiceID(out); },
    };
    for (const auto& get : getters) {
        BSTR first = nullptr;
        BSTR second = nullptr;
        ASSERT_EQ(get(&first), S_OK);
        ASSERT_EQ(get(&second), S_OK);
        EXPECT_NE(first, second);
        const std::string text = Text(first);
        SysFreeString(first);
        EXPECT_EQ(SysStringLen(second), 38u);
        EXPECT_EQ(Text(second), text);
        SysFreeString(second);
    }

    MBN_INTERFACE_CAPS caps;
    ASSERT_EQ(c.modem->GetInterfaceCapability(&caps), S_OK);
    EXPECT_EQ(SysStringLen(caps.deviceID), 15u);  // the modem's IMEI
    for (BSTR s :
         {caps.customDataClass, caps.customBandClass, caps.deviceID, caps.manufacturer, caps.model, caps.firmwareInfo})
        SysFreeString(s);
}

// ---------------------------------------------------------------------------
// IDs

// An interface or service nobody has: HRESULT_FROM_WIN32(ERROR_NOT_FOUND)
// and no object; no ID at all: E_INVALIDARG. A service ID that is not a
// GUID is where the back ends part (see kMalformedServiceId).
TYPED_TEST(Contract, unknown_interface_and_service_ids_are_refused_alike) {
    ASSERT_NO_FATAL_FAILURE(this->Walk());
    MbnClient& c = *this->client_;
    IMbnInterface* modem = reinterpret_cast<IMbnInterface*>(1);
    EXPECT_EQ(c.interfaces->GetInterface(kUnknownInterfaceId, &modem), kNotFound);
    EXPECT_EQ(modem, nullptr);
    modem = reinterpret_cast<IMbnInterface*>(1);
    EXPECT_EQ(c.interfaces->GetInterface(nullptr, &modem), E_INVALIDARG);
    EXPECT_EQ(modem, nullptr);

    BSTR unknown = SysAllocString(kUnknownInterfaceId);
    IMbnDeviceServicesContext* context = reinterpret_cast<IMbnDeviceServicesContext*>(1);
    EXPECT_EQ(c.services->GetDeviceServicesContext(unknown, &context), kNotFound);
    EXPECT_EQ(context, nullptr);
    context = reinterpret_cast<IMbnDeviceServicesContext*>(1);
    EXPECT_EQ(c.services->GetDeviceServicesContext(nullptr, &context), E_INVALIDARG);
    EXPECT_EQ(context, nullptr);
    SysFreeString(unknown);

    // The first differs from the AT service in its last digit only, and must
    // not be taken for it.
    // clang-format off
    const struct { const WCHAR* id; HRESULT expected; } rows[] = {
        {L"{ffffffff-abca-4b11-a4e2-f2fc87f94489}", kNotFound},
        {kUnknownInterfaceId,                       kNotFound},
        {nullptr,                                   E_INVALIDARG},
        {L"AT",                                     TypeParam::kMalformedServiceId},
    };
    // clang-format on
    for (const auto& row : rows) {
        BSTR id = row.id ? SysAllocString(row.id) : nullptr;
        IMbnDeviceService* service = reinterpret_cast<IMbnDeviceService*>(1);
        EXPECT_EQ(c.context->GetDeviceService(id, &service), row.expected) << Text(row.id);
        EXPECT_EQ(service, nullptr) << Text(row.id);
        SysFreeString(id);
    }
}

// Service IDs are GUIDs: any case finds the service, which gives its ID
// back in its own lower-case spelling.
TYPED_TEST(Contract, service_ids_match_without_regard_to_case) {
    ASSERT_NO_FATAL_FAILURE(this->Connect());
    MbnClient& c = *this->client_;
    ASSERT_EQ(c.OpenService(L"{FFFFFFFF-ABCA-4B11-A4E2-F2FC87F94488}"), S_OK) << c.Step();
    BSTR id = nullptr;
    ASSERT_EQ(c.service->get_DeviceServiceID(&id), S_OK);
    EXPECT_EQ(Text(id), Text(kAtServiceId));
    SysFreeString(id);
}

// ---------------------------------------------------------------------------
// Commands

// SetCommand needs the command session open (ERROR_INVALID_STATE and
// request ID 0 otherwise); the session carries a command to the modem and
// its answer back, the command ID as the response ID.
TYPED_TEST(Contract, a_command_session_carries_commands_and_answers) {
    ASSERT_NO_FATAL_FAILURE(this->Walk());
    MbnClient& c = *this->client_;
    RecordingSink* sink = this->sink_;
    BOOL open = TRUE;
    ASSERT_EQ(c.service->get_IsCommandSessionOpen(&open), S_OK);
    EXPECT_FALSE(open);
    ULONG id = 5;
    EXPECT_EQ(c.SetCommand("AT\r\n", &id), kInvalidState);
    EXPECT_EQ(id, 0u);

    ASSERT_NO_FATAL_FAILURE(this->OpenSession());
    ASSERT_EQ(c.service->get_IsCommandSessionOpen(&open), S_OK);
    EXPECT_TRUE(open);
    ASSERT_EQ(c.SetCommand("AT\r\n", &id), S_OK);
    ASSERT_EQ(c.Completion(*sink, SinkCall::SetCommandComplete, id), S_OK);
    const SinkEvent answer = *sink->Find(SinkCall::SetCommandComplete, id);
    EXPECT_EQ(answer.data, "\r\nOK\r\n");
    EXPECT_EQ(answer.id, kAtCommandId);
    EXPECT_TRUE(answer.serviceGiven);

    ASSERT_EQ(c.service->CloseCommandSession(&id), S_OK);
    ASSERT_EQ(c.Completion(*sink, SinkCall::CloseCommandSessionComplete, id), S_OK);
    ASSERT_EQ(c.service->get_IsCommandSessionOpen(&open), S_OK);
    EXPECT_FALSE(open);
    EXPECT_EQ(c.SetCommand("AT\r\n", &id), kInvalidState);
    ASSERT_TRUE(this->Quiet());
    EXPECT_EQ(sink->CountOf(SinkCall::SetCommandComplete), 1u);
}

// A payload of MaxCommandSize bytes or more, or none: E_INVALIDARG at the
// call, request ID 0, no completion. One byte less is carried.
TYPED_TEST(Contract, set_command_refuses_a_payload_of_max_command_size) {
    ASSERT_NO_FATAL_FAILURE(this->Walk());
    ASSERT_NO_FATAL_FAILURE(this->OpenSession());
    MbnClient& c = *this->client_;
    ULONG max = 0;
    ASSERT_EQ(c.context->get_MaxCommandSize(&max), S_OK);
    EXPECT_EQ(max, 4096u);
    ULONG id = 5;
    EXPECT_EQ(c.SetCommand(std::string(max, 'A'), &id), E_INVALIDARG);
    EXPECT_EQ(id, 0u);
    id = 5;
    EXPECT_EQ(c.service->SetCommand(kAtCommandId, nullptr, &id), E_INVALIDARG);
    EXPECT_EQ(id, 0u);
    ASSERT_EQ(c.SetCommand(std::string(max - 1, 'A'), &id), S_OK);
    EXPECT_EQ(c.Completion(*this->sink_, SinkCall::SetCommandComplete, id), S_OK);
    ASSERT_TRUE(this->Quiet());
    EXPECT_EQ(this->sink_->CountOf(SinkCall::SetCommandComplete), 1u);
}

// The AT service lists command 1 only; another command, or a query, is
// completed with HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED) and no data.
TYPED_TEST(Contract, commands_the_service_does_not_carry_complete_as_not_supported) {
    ASSERT_NO_FATAL_FAILURE(this->Walk());
    MbnClient& c = *this->client_;
    RecordingSink* sink = this->sink_;
    ULONG id = 0;
    ASSERT_EQ(c.service->QuerySupportedCommands(&id), S_OK);
    ASSERT_EQ(c.Completion(*sink, SinkCall::QuerySupportedCommandsComplete, id), S_OK);
    EXPECT_EQ(sink->Find(SinkCall::QuerySupportedCommandsComplete, id)->data, "1;");

    ASSERT_NO_FATAL_FAILURE(this->OpenSession());
    ASSERT_EQ(c.SetCommand("AT\r\n", &id, 2), S_OK);
    EXPECT_EQ(c.Completion(*sink, SinkCall::SetCommandComplete, id), kNotSupported);
    EXPECT_FALSE(sink->Find(SinkCall::SetCommandComplete, id)->hasData);
    SAFEARRAY* payload = mbnservice::ByteArray("AT\r\n");
    ASSERT_EQ(c.service->QueryCommand(kAtCommandId, payload, &id), S_OK);
    SafeArrayDestroy(payload);
    EXPECT_EQ(c.Completion(*sink, SinkCall::QueryCommandComplete, id), kNotSupported);
    EXPECT_FALSE(sink->Find(SinkCall::QueryCommandComplete, id)->hasData);
}

// Data sessions are where the back ends part (see kDataSessions): opened
// and completed, or refused at the call with no request.
TYPED_TEST(Contract, data_sessions_open_only_where_the_back_end_carries_them) {
    ASSERT_NO_FATAL_FAILURE(this->Walk());
    MbnClient& c = *this->client_;
    ULONG id = 7;
    const HRESULT hr = c.service->OpenDataSession(&id);
    BOOL open = FALSE;
    if (TypeParam::kDataSessions) {
        ASSERT_EQ(hr, S_OK);
        EXPECT_NE(id, 0u);
        EXPECT_EQ(c.Completion(*this->sink_, SinkCall::OpenDataSessionComplete, id), S_OK);
        ASSERT_EQ(c.service->get_IsDataSessionOpen(&open), S_OK);
        EXPECT_TRUE(open);
    } else {
        EXPECT_EQ(hr, kNotSupported);
        EXPECT_EQ(id, 0u);
        ASSERT_TRUE(this->Quiet());
        EXPECT_TRUE(this->sink_->Events().empty());
        open = TRUE;
        ASSERT_EQ(c.service->get_IsDataSessionOpen(&open), S_OK);
        EXPECT_FALSE(open);
    }
}

// ---------------------------------------------------------------------------
// Requests and completions

// One request of every kind, each answered: request IDs never 0 and never
// repeated; each request completes once, with its own ID, on a thread of the
// back end's (never inside the caller's call); and for each callback the
// back end holds a reference of its own on the sink, above the client's and
// the connection's.
TYPED_TEST(Contract, each_request_has_a_fresh_id_and_one_completion_off_the_callers_thread_with_the_sink_held) {
    ASSERT_NO_FATAL_FAILURE(this->Walk());
    const auto issued = this->IssueEveryKind();
    std::set<ULONG> ids;
    for (const auto& request : issued) {
        EXPECT_NE(request.requestId, 0u);
        EXPECT_TRUE(ids.insert(request.requestId).second) << "repeated: " << request.requestId;
    }
    EXPECT_EQ(ids.size(), 7u);

    const auto events = this->sink_->Events();
    EXPECT_EQ(events.size(), issued.size());
    for (const auto& request : issued) {
        size_t seen = 0;
        for (const SinkEvent& e : events) seen += e.kind == request.kind && e.requestId == request.requestId;
        EXPECT_EQ(seen, 1u) << "request " << request.requestId;
    }
    const LONG outside = this->sink_->Refs();
    EXPECT_EQ(outside, 2);  // the test's own and the connection's
    for (const SinkEvent& e : events) {
        EXPECT_NE(e.thread, std::this_thread::get_id()) << e.requestId;
        EXPECT_GT(e.refsDuringCall, outside) << e.requestId;
    }
}

// A client may unadvise and drop its last reference while a callback runs
// inside its sink: the sink lives until the callback has returned.
TYPED_TEST(Contract, a_sink_released_inside_a_callback_lives_until_it_returns) {
    ASSERT_NO_FATAL_FAILURE(this->Walk());
    ASSERT_NO_FATAL_FAILURE(this->OpenSession());
    MbnClient& c = *this->client_;
    RecordingSink* sink = this->sink_;
    sink->Block(SinkCall::SetCommandComplete, 1);
    ULONG id = 0;
    ASSERT_EQ(c.SetCommand("AT\r\n", &id), S_OK);
    ASSERT_TRUE(sink->WaitRequest(SinkCall::SetCommandComplete, id));
    c.Unadvise();
    this->sink_ = nullptr;
    const int destroyed = RecordingSink::Destroyed().load();
    EXPECT_EQ(sink->Release(), 1u);  // the back end's, for the callback
    EXPECT_EQ(RecordingSink::Destroyed().load(), destroyed);
    sink->Unblock();
    EXPECT_TRUE(WaitUntil([&] { return RecordingSink::Destroyed().load() == destroyed + 1; }));
}

// A callback held inside the sink holds up no other completion.
TYPED_TEST(Contract, a_blocked_callback_holds_up_no_other_completion) {
    ASSERT_NO_FATAL_FAILURE(this->Walk());
    ASSERT_NO_FATAL_FAILURE(this->OpenSession());
    MbnClient& c = *this->client_;
    RecordingSink* sink = this->sink_;
    sink->Block(SinkCall::SetCommandComplete, 1);
    ULONG first = 0;
    ULONG second = 0;
    ASSERT_EQ(c.SetCommand("AT\r\n", &first), S_OK);
    ASSERT_TRUE(sink->WaitRequest(SinkCall::SetCommandComplete, first));
    ASSERT_EQ(c.SetCommand("AT\r\n", &second), S_OK);
    EXPECT_TRUE(sink->WaitRequest(SinkCall::SetCommandComplete, second, 5000));
    EXPECT_EQ(sink->Holding(), 1u) << "the second completion waited for the held one";
    sink->Unblock();
}

// ---------------------------------------------------------------------------
// The end of a run

// A whole exchange, everything released: no object of the back end alive,
// no reference of its on the sink.
TYPED_TEST(Contract, a_run_released_leaves_nothing_alive) {
    ASSERT_NO_FATAL_FAILURE(this->Walk());
    ASSERT_NO_FATAL_FAILURE(this->OpenSession());
    MbnClient& c = *this->client_;
    ULONG id = 0;
    ASSERT_EQ(c.SetCommand("AT\r\n", &id), S_OK);
    ASSERT_EQ(c.Completion(*this->sink_, SinkCall::SetCommandComplete, id), S_OK);
    ASSERT_EQ(c.service->CloseCommandSession(&id), S_OK);
    ASSERT_EQ(c.Completion(*this->sink_, SinkCall::CloseCommandSessionComplete, id), S_OK);
    EXPECT_GT(this->backEnd_.LiveObjects(), 0);
    c.Release();
    EXPECT_EQ(this->backEnd_.Leftovers(), "");
    EXPECT_TRUE(WaitUntil([&] { return this->sink_->Refs() == 1; }));
}

}  // namespace
