// The libmbim module (mbnmbim.so) loaded into this program as atcmd
// loads it, driven through its COM objects against an mbim-emulator of each
// test's own: the mapping of calls to MBIM, completions on other threads
// with non-zero request IDs, exactly one completion per request, removal,
// indications, a blocked sink, and every object given back. This program
// exports the platform API the module calls, as atcmd does.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gio/gio.h>
#include <libmbim-glib.h>

#include "hresult.h"
#include "platform/winapi.h"
#include "com_object.h"
#include "emulator_processes.h"

#ifndef MBNMBIM_PATH
#error "MBNMBIM_PATH must name the module"
#endif
#ifndef EMULATOR_PATH
#error "EMULATOR_PATH must name mbim-emulator"
#endif

namespace {

const WCHAR kAtService[] = L"{FFFFFFFF-ABCA-4B11-A4E2-F2FC87F94488}";
constexpr HRESULT kDeviceGone = static_cast<HRESULT>(0x8007048F);
constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070490);
constexpr HRESULT kNotSupported = static_cast<HRESULT>(0x80070032);

std::string Bytes(SAFEARRAY* array) {
    if (!array) return "<null>";
    LONG lower = 0;
    LONG upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    if (upper < lower) return std::string();
    void* data = nullptr;
    SafeArrayAccessData(array, &data);
    std::string bytes(static_cast<const char*>(data), static_cast<size_t>(upper - lower + 1));
    SafeArrayUnaccessData(array);
    return bytes;
}

SAFEARRAY* Payload(const std::string& bytes) {
    SAFEARRAYBOUND bound{static_cast<ULONG>(bytes.size()), 0};
    SAFEARRAY* array = SafeArrayCreate(VT_UI1, 1, &bound);
    void* data = nullptr;
    SafeArrayAccessData(array, &data);
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    SafeArrayUnaccessData(array);
    return array;
}

// What a callback brought: kind, status, request ID, bytes, thread.
struct Event {
    std::string kind;
    HRESULT status = S_OK;
    ULONG requestId = 0;
    ULONG id = 0;  // response, event or command ID
    std::string bytes;
    std::thread::id thread;
};

// Owned by the test; Refs() is what the provider still holds, plus one.
class RecordingSink final
    : public ComObject<ComLifetime::Owned, ComEntry<IMbnDeviceServicesEvents, IID_IMbnDeviceServicesEvents>> {
public:
    HRESULT STDMETHODCALLTYPE OnQuerySupportedCommandsComplete(IMbnDeviceService*, SAFEARRAY* list, HRESULT status,
                                                               ULONG requestID) override {
        std::string cids;
        LONG lower = 0;
        LONG upper = -1;
        SafeArrayGetLBound(list, 1, &lower);
        SafeArrayGetUBound(list, 1, &upper);
        for (LONG i = lower; i <= upper; ++i) {
            ULONG cid = 0;
            SafeArrayGetElement(list, &i, &cid);
            cids += std::to_string(cid) + ";";
        }
        return Record({"commands", status, requestID, 0, cids, std::this_thread::get_id()});
    }
    HRESULT STDMETHODCALLTYPE OnOpenCommandSessionComplete(IMbnDeviceService*, HRESULT status, ULONG id) override {
        return Record({"open", status, id, 0, "", std::this_thread::get_id()});
    }
    HRESULT STDMETHODCALLTYPE OnCloseCommandSessionComplete(IMbnDeviceService*, HRESULT status, ULONG id) override {
        return Record({"close", status, id, 0, "", std::this_thread::get_id()});
    }
    HRESULT STDMETHODCALLTYPE OnSetCommandComplete(IMbnDeviceService*, ULONG responseID, SAFEARRAY* data,
                                                   HRESULT status, ULONG requestID) override {
        Event e{"set", status, requestID, responseID, data ? Bytes(data) : "<null>", std::this_thread::get_id()};
        if (blockFirstSet && !blocked) {
            blocked = true;
            Record(e);
            // Held until another completion arrives: a blocked sink must not
            // hold up the others. "unblocked" tells whether one did.
            const bool another = Wait([&] { return Count("set") >= 2; }, 10000);
            return Record({"unblocked", another ? S_OK : E_FAIL, 0, 0, "", std::this_thread::get_id()});
        }
        return Record(e);
    }
    HRESULT STDMETHODCALLTYPE OnQueryCommandComplete(IMbnDeviceService*, ULONG responseID, SAFEARRAY* data,
                                                     HRESULT status, ULONG requestID) override {
        return Record(
            {"query", status, requestID, responseID, data ? Bytes(data) : "<null>", std::this_thread::get_id()});
    }
    HRESULT STDMETHODCALLTYPE OnEventNotification(IMbnDeviceService*, ULONG eventID, SAFEARRAY* data) override {
        return Record({"event", S_OK, 0, eventID, Bytes(data), std::this_thread::get_id()});
    }
    HRESULT STDMETHODCALLTYPE OnOpenDataSessionComplete(IMbnDeviceService*, HRESULT, ULONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnCloseDataSessionComplete(IMbnDeviceService*, HRESULT, ULONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnWriteDataComplete(IMbnDeviceService*, HRESULT, ULONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnReadData(IMbnDeviceService*, SAFEARRAY*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnInterfaceStateChange(BSTR, MBN_DEVICE_SERVICES_INTERFACE_STATE state) override {
        return Record({"interface", S_OK, 0, static_cast<ULONG>(state), "", std::this_thread::get_id()});
    }

    bool Wait(const std::function<bool()>& done, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
    }
    size_t Count(const std::string& kind) const {  // with the lock held
        size_t n = 0;
        for (const Event& e : events) n += e.kind == kind;
        return n;
    }
    std::vector<Event> Of(const std::string& kind) {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Event> found;
        for (const Event& e : events)
            if (e.kind == kind) found.push_back(e);
        return found;
    }

    bool blockFirstSet = false;

private:
    HRESULT Record(const Event& e) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(e);
        changed.notify_all();
        return S_OK;
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Event> events;
    bool blocked = false;
};

// The module as atcmd loads it, and its live-object count.
struct Module {
    Module() {
        PalLoadInprocServer(MBNMBIM_PATH, &getClassObject);
        void* handle = dlopen(MBNMBIM_PATH, RTLD_NOW | RTLD_NOLOAD);
        if (handle) liveObjects = reinterpret_cast<long (*)()>(dlsym(handle, "MbnMbimLiveObjects"));
    }
    PAL_GET_CLASS_OBJECT getClassObject = nullptr;
    long (*liveObjects)() = nullptr;
};

Module& TheModule() {
    static Module module;
    return module;
}

class MbimProvider : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(TheModule().getClassObject) << "cannot load " << MBNMBIM_PATH;
        ASSERT_TRUE(TheModule().liveObjects);
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    }
    void TearDown() override {
        ReleaseAll();
        // Completion jobs give their references back just after the callback.
        for (int i = 0; i < 500 && (TheModule().liveObjects() != 0 || sink.Refs() != 1); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(0, TheModule().liveObjects()) << "provider objects left alive";
        EXPECT_EQ(1, sink.Refs()) << "provider references left on the sink";
        CoUninitialize();
    }

    // Opens the managers on the emulator's pty (the provider opens the port
    // now), advises the sink and finds the AT device service.
    HRESULT Open(const std::string& pty, const char* proxy) {
        setenv("GLOBALTOOLS_MBN_PROVIDER", ("mbim:" + pty).c_str(), 1);
        setenv("GLOBALTOOLS_MBIM_PROXY", proxy, 1);
        IClassFactory* factory = nullptr;
        HRESULT hr = TheModule().getClassObject(CLSID_MbnInterfaceManager, IID_IClassFactory,
                                                reinterpret_cast<void**>(&factory));
        if (FAILED(hr)) return hr;
        hr = factory->CreateInstance(nullptr, IID_IMbnInterfaceManager, reinterpret_cast<void**>(&interfaces));
        factory->Release();
        if (FAILED(hr)) return hr;
        TheModule().getClassObject(CLSID_MbnDeviceServicesManager, IID_IClassFactory,
                                   reinterpret_cast<void**>(&factory));
        hr = factory->CreateInstance(nullptr, IID_IMbnDeviceServicesManager, reinterpret_cast<void**>(&services));
        factory->Release();
        if (FAILED(hr)) return hr;
        IConnectionPointContainer* container = nullptr;
        services->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
        container->FindConnectionPoint(IID_IMbnDeviceServicesEvents, &point);
        container->Release();
        hr = point->Advise(&sink, &cookie);
        if (FAILED(hr)) return hr;

        SAFEARRAY* list = nullptr;
        hr = interfaces->GetInterfaces(&list);
        if (FAILED(hr)) return hr;
        LONG first = 0;
        SafeArrayGetElement(list, &first, &modem);
        SafeArrayDestroy(list);
        BSTR id = nullptr;
        modem->get_InterfaceID(&id);
        hr = services->GetDeviceServicesContext(id, &context);
        SysFreeString(id);
        if (FAILED(hr)) return hr;
        BSTR at = SysAllocString(kAtService);
        hr = context->GetDeviceService(at, &service);
        SysFreeString(at);
        return hr;
    }

    ULONG OpenCommandSession() {
        ULONG id = 0;
        EXPECT_EQ(S_OK, service->OpenCommandSession(&id));
        EXPECT_TRUE(sink.Wait([&] { return sink.Count("open") == 1; }, 10000));
        return id;
    }

    ULONG Send(const std::string& bytes, HRESULT expected = S_OK) {
        SAFEARRAY* payload = Payload(bytes);
        ULONG id = 0;
        EXPECT_EQ(expected, service->SetCommand(1, payload, &id));
        SafeArrayDestroy(payload);
        return id;
    }

    void ReleaseAll() {
        if (point) {
            point->Unadvise(cookie);
            point->Release();
        }
        for (IUnknown* p : std::initializer_list<IUnknown*>{service, context, modem, services, interfaces})
            if (p) p->Release();
        point = nullptr;
        service = nullptr;
        context = nullptr;
        modem = nullptr;
        services = nullptr;
        interfaces = nullptr;
    }

    RecordingSink sink;
    IMbnInterfaceManager* interfaces = nullptr;
    IMbnDeviceServicesManager* services = nullptr;
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    IMbnInterface* modem = nullptr;
    IMbnDeviceServicesContext* context = nullptr;
    IMbnDeviceService* service = nullptr;
};

TEST_F(MbimProvider, requests_map_to_mbim_and_complete_once_on_another_thread) {
    mbimtest::Emulator emulator(EMULATOR_PATH, {});
    ASSERT_FALSE(emulator.Path().empty());
    ASSERT_EQ(S_OK, Open(emulator.Path(), "never"));

    MBN_READY_STATE ready = MBN_READY_STATE_OFF;
    EXPECT_EQ(S_OK, modem->GetReadyState(&ready));
    EXPECT_EQ(MBN_READY_STATE_INITIALIZED, ready);
    MBN_INTERFACE_CAPS caps;
    ASSERT_EQ(S_OK, modem->GetInterfaceCapability(&caps));
    EXPECT_EQ(15u, SysStringLen(caps.deviceID));  // the emulated IMEI
    for (BSTR s :
         {caps.customDataClass, caps.customBandClass, caps.deviceID, caps.manufacturer, caps.model, caps.firmwareInfo})
        SysFreeString(s);

    // The UUID travels in its printed byte order: a slip would be a service
    // the device does not list.
    IMbnDeviceService* unknown = reinterpret_cast<IMbnDeviceService*>(1);
    BSTR other = SysAllocString(L"{ffffffff-abca-4b11-a4e2-f2fc87f94489}");
    EXPECT_EQ(kNotFound, context->GetDeviceService(other, &unknown));
    EXPECT_EQ(nullptr, unknown);
    SysFreeString(other);
    ULONG max = 0;
    EXPECT_EQ(S_OK, context->get_MaxCommandSize(&max));
    ULONG dataId = 7;
    EXPECT_EQ(kNotSupported, service->OpenDataSession(&dataId));
    EXPECT_EQ(0u, dataId);

    ULONG queryId = 0;
    ASSERT_EQ(S_OK, service->QuerySupportedCommands(&queryId));
    EXPECT_NE(0u, queryId);
    Send("AT\r\n", static_cast<HRESULT>(0x8007139F));  // no command session yet
    const ULONG openId = OpenCommandSession();
    EXPECT_NE(0u, openId);
    BOOL open = FALSE;
    EXPECT_EQ(S_OK, service->get_IsCommandSessionOpen(&open));
    EXPECT_TRUE(open);

    const ULONG ati = Send("ATI\r\n");
    // One byte below the maximum goes out in two fragments; the maximum is refused.
    const ULONG large = Send(std::string(max - 1, 'A'));
    Send(std::string(max, 'A'), E_INVALIDARG);
    EXPECT_NE(0u, ati);
    EXPECT_NE(ati, large);
    ASSERT_TRUE(sink.Wait([&] { return sink.Count("set") == 2 && sink.Count("commands") == 1; }, 15000));
    ULONG closeId = 0;
    ASSERT_EQ(S_OK, service->CloseCommandSession(&closeId));
    ASSERT_TRUE(sink.Wait([&] { return sink.Count("close") == 1; }, 10000));

    std::vector<Event> sets = sink.Of("set");
    ASSERT_EQ(2u, sets.size());  // exactly once each
    for (const Event& e : sets) {
        EXPECT_EQ(S_OK, e.status);
        EXPECT_NE(std::this_thread::get_id(), e.thread);
        EXPECT_EQ(1u, e.id);
    }
    const Event& answer = sets[0].requestId == ati ? sets[0] : sets[1];
    EXPECT_EQ(ati, answer.requestId);
    EXPECT_EQ(0u, answer.bytes.rfind("\r\nSimulated MBIM LTE modem - not a real device\r\n", 0)) << answer.bytes;
    EXPECT_EQ("1;", sink.Of("commands")[0].bytes);
    EXPECT_EQ(queryId, sink.Of("commands")[0].requestId);
    EXPECT_EQ(openId, sink.Of("open")[0].requestId);
}

TEST_F(MbimProvider, a_removed_device_fails_its_pending_request_at_once) {
    mbimtest::Emulator emulator(EMULATOR_PATH, {"--remove-after", "1"});
    ASSERT_EQ(S_OK, Open(emulator.Path(), "never"));
    OpenCommandSession();
    const ULONG id = Send("ATI\r\n");
    // Well inside libmbim's own time-out, which a removal would otherwise wait out.
    ASSERT_TRUE(sink.Wait([&] { return sink.Count("set") == 1 && sink.Count("interface") == 1; }, 5000));
    EXPECT_EQ(kDeviceGone, sink.Of("set")[0].status);
    EXPECT_EQ(id, sink.Of("set")[0].requestId);
    EXPECT_EQ("<null>", sink.Of("set")[0].bytes);
    EXPECT_EQ(static_cast<ULONG>(MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_REMOVAL), sink.Of("interface")[0].id);
    Send("AT\r\n", kDeviceGone);
    SAFEARRAY* list = nullptr;
    ASSERT_EQ(S_OK, interfaces->GetInterfaces(&list));
    LONG upper = 0;
    SafeArrayGetUBound(list, 1, &upper);
    EXPECT_EQ(-1, upper);
    SafeArrayDestroy(list);
}

TEST_F(MbimProvider, a_sink_blocked_in_a_callback_holds_up_no_other_completion) {
    mbimtest::Emulator emulator(EMULATOR_PATH, {});
    ASSERT_EQ(S_OK, Open(emulator.Path(), "never"));
    OpenCommandSession();
    sink.blockFirstSet = true;
    Send("AT\r\n");
    ASSERT_TRUE(sink.Wait([&] { return sink.Count("set") == 1; }, 10000));
    Send("ATI\r\n");
    EXPECT_TRUE(sink.Wait([&] { return sink.Count("set") == 2; }, 10000));
    ASSERT_TRUE(sink.Wait([&] { return sink.Count("unblocked") == 1; }, 15000));
    EXPECT_EQ(S_OK, sink.Of("unblocked")[0].status) << "the second completion waited for the blocked one";
}

// Indications on a service with an open command session reach
// OnEventNotification; through mbim-proxy only because the session's
// subscription list names the service.
class MbimIndications : public MbimProvider {
protected:
    void ExpectIndication(const char* mode) {
        mbimtest::Emulator emulator(EMULATOR_PATH, {"--indicate-first"});
        ASSERT_EQ(S_OK, Open(emulator.Path(), mode));
        OpenCommandSession();
        Send("AT\r\n");
        ASSERT_TRUE(sink.Wait([&] { return sink.Count("set") == 1 && sink.Count("event") == 1; }, 10000));
        EXPECT_EQ("\r\n+SIMIND: 1\r\n", sink.Of("event")[0].bytes);
        EXPECT_EQ(1u, sink.Of("event")[0].id);
        EXPECT_EQ("\r\nOK\r\n", sink.Of("set")[0].bytes);
    }
};

TEST_F(MbimIndications, reach_the_sink_directly) { ExpectIndication("never"); }

TEST_F(MbimIndications, reach_the_sink_through_the_proxy) {
    mbimtest::Proxy proxy;
    if (!proxy.Usable()) GTEST_SKIP() << proxy.Why();
    ExpectIndication("always");
    ReleaseAll();  // before the proxy goes
}

TEST(MbimHresults, libmbim_errors_and_mbim_statuses_map_through_one_table) {
    const struct {
        GQuark domain;
        int code;
        HRESULT expected;
    } rows[] = {
        {MBIM_CORE_ERROR, MBIM_CORE_ERROR_TIMEOUT, static_cast<HRESULT>(0x800705B4)},
        {MBIM_PROTOCOL_ERROR, MBIM_PROTOCOL_ERROR_NOT_OPENED, static_cast<HRESULT>(0x80070015)},
        {MBIM_STATUS_ERROR, MBIM_STATUS_ERROR_NO_DEVICE_SUPPORT, kNotSupported},
        {MBIM_STATUS_ERROR, MBIM_STATUS_ERROR_BUSY, static_cast<HRESULT>(0x800700AA)},
        {MBIM_STATUS_ERROR, MBIM_STATUS_ERROR_INVALID_PARAMETERS, E_INVALIDARG},
        {MBIM_STATUS_ERROR, MBIM_STATUS_ERROR_SIM_NOT_INSERTED, E_MBN_SIM_NOT_INSERTED},
        {MBIM_STATUS_ERROR, MBIM_STATUS_ERROR_PIN_REQUIRED, E_MBN_PIN_REQUIRED},
        {MBIM_STATUS_ERROR, MBIM_STATUS_ERROR_RADIO_POWER_OFF, E_MBN_RADIO_POWER_OFF},
        {MBIM_STATUS_ERROR, MBIM_STATUS_ERROR_FAILURE, E_FAIL},
        {G_IO_ERROR, G_IO_ERROR_CANCELLED, static_cast<HRESULT>(0x800703E3)},
        {G_IO_ERROR, G_IO_ERROR_BROKEN_PIPE, kDeviceGone},
        {MBIM_CORE_ERROR, MBIM_CORE_ERROR_INVALID_MESSAGE, E_FAIL},
    };
    int row = 0;
    for (const auto& r : rows) {
        ++row;
        GError* error = g_error_new_literal(r.domain, r.code, "row");
        EXPECT_EQ(r.expected, mbnmbim::HresultFromGError(error)) << "row " << row;
        g_error_free(error);
    }
    EXPECT_EQ(S_OK, mbnmbim::HresultFromMbimStatus(0));
    EXPECT_EQ(E_MBN_BAD_SIM, mbnmbim::HresultFromMbimStatus(MBIM_STATUS_ERROR_BAD_SIM));
}

}  // namespace
