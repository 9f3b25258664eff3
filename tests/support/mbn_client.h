// The walk a Mobile Broadband client makes to reach a device service, for
// the tests of both back ends: the two managers, the events connection point
// with the test's sink advised, the first modem interface, its
// device-services context, a device service, its command session and
// SetCommand. Each step returns what the platform returned; Step() names the
// step that failed. The objects are public so a test can go on from any of
// them; Release gives back whatever is held, unadvising first.
#ifndef TESTS_SUPPORT_MBN_CLIENT_H
#define TESTS_SUPPORT_MBN_CLIENT_H

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/winapi.h"
#include "provider_common.h"
#include "recording_sink.h"

namespace mbntest {

// The modem's AT device service, in the spelling both back ends give back.
constexpr WCHAR kAtServiceId[] = L"{ffffffff-abca-4b11-a4e2-f2fc87f94488}";
// The only command ID the AT service carries.
constexpr ULONG kAtCommandId = 1;
constexpr int kCompletionWaitMs = 10000;
// What a step that waited for a completion in vain reports.
constexpr HRESULT kNoCompletion = static_cast<HRESULT>(0x800705B4);  // HRESULT_FROM_WIN32(ERROR_TIMEOUT)

// Polls done every 5 ms until it holds or timeoutMs has passed, for states
// no event announces (references given back after a callback returned).
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// An object's reference count now, as its AddRef and Release report it.
inline ULONG RefCount(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

// Makes an instance of one of the two manager classes.
using ManagerSource = std::function<HRESULT(REFCLSID clsid, REFIID iid, void** out)>;

// COM activation: whichever provider is registered for the class.
inline HRESULT CoCreateManager(REFCLSID clsid, REFIID iid, void** out) {
    return CoCreateInstance(clsid, nullptr, CLSCTX_ALL, iid, out);
}

// Through a DllGetClassObject-style entry, as a loaded module is reached;
// the class factory is released once it has made the manager.
inline ManagerSource ThroughClassObject(std::function<HRESULT(REFCLSID, REFIID, void**)> getClassObject) {
    return [getClassObject](REFCLSID clsid, REFIID iid, void** out) -> HRESULT {
        *out = nullptr;
        IClassFactory* factory = nullptr;
        HRESULT hr = getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
        if (FAILED(hr)) return hr;
        hr = factory->CreateInstance(nullptr, iid, out);
        factory->Release();
        return hr;
    };
}

class MbnClient {
public:
    explicit MbnClient(ManagerSource source = CoCreateManager) : source_(std::move(source)) {}
    ~MbnClient() { Release(); }
    MbnClient(const MbnClient&) = delete;
    MbnClient& operator=(const MbnClient&) = delete;

    // Both managers, the connection point for IMbnDeviceServicesEvents, and
    // sink advised on it (cookie).
    HRESULT Connect(IUnknown* sink) {
        HRESULT hr = Run("create the interface manager", source_(CLSID_MbnInterfaceManager, IID_IMbnInterfaceManager,
                                                                 reinterpret_cast<void**>(&interfaces)));
        if (FAILED(hr)) return hr;
        hr = Run("create the device-services manager",
                 source_(CLSID_MbnDeviceServicesManager, IID_IMbnDeviceServicesManager,
                         reinterpret_cast<void**>(&services)));
        if (FAILED(hr)) return hr;
        IConnectionPointContainer* container = nullptr;
        hr = Run("QueryInterface(IConnectionPointContainer)",
                 services->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)));
        if (FAILED(hr)) return hr;
        hr = Run("FindConnectionPoint", container->FindConnectionPoint(IID_IMbnDeviceServicesEvents, &point));
        container->Release();
        if (FAILED(hr)) return hr;
        return Run("Advise", point->Advise(sink, &cookie));
    }

    // The first modem interface, its device-services context and the device
    // service named.
    HRESULT OpenService(const WCHAR* serviceId = kAtServiceId) {
        SAFEARRAY* list = nullptr;
        HRESULT hr = Run("GetInterfaces", interfaces->GetInterfaces(&list));
        if (FAILED(hr)) return hr;
        LONG first = 0;
        hr = Run("the first interface", SafeArrayGetElement(list, &first, &modem));
        SafeArrayDestroy(list);
        if (FAILED(hr)) return hr;
        BSTR interfaceId = nullptr;
        hr = Run("get_InterfaceID", modem->get_InterfaceID(&interfaceId));
        if (FAILED(hr)) return hr;
        hr = Run("GetDeviceServicesContext", services->GetDeviceServicesContext(interfaceId, &context));
        SysFreeString(interfaceId);
        if (FAILED(hr)) return hr;
        BSTR id = SysAllocString(serviceId);
        hr = Run("GetDeviceService", context->GetDeviceService(id, &service));
        SysFreeString(id);
        return hr;
    }

    // OpenCommandSession, and its completion on sink (bounded): the
    // completion's status, or kNoCompletion without one.
    HRESULT OpenCommandSession(RecordingSink& sink, ULONG* requestId = nullptr) {
        ULONG id = 0;
        HRESULT hr = Run("OpenCommandSession", service->OpenCommandSession(&id));
        if (requestId) *requestId = id;
        if (FAILED(hr)) return hr;
        return Completion(sink, SinkCall::OpenCommandSessionComplete, id);
    }

    // The completion of request id on sink, waited for: its status.
    HRESULT Completion(RecordingSink& sink, SinkCall kind, ULONG id) {
        if (!sink.WaitRequest(kind, id, kCompletionWaitMs)) return Run("the completion", kNoCompletion);
        return Run("the completion", sink.Find(kind, id)->status);
    }

    // SetCommand with these bytes; *requestId as the call left it.
    HRESULT SetCommand(const std::string& bytes, ULONG* requestId, ULONG commandId = kAtCommandId) {
        SAFEARRAY* payload = mbnservice::ByteArray(bytes);
        HRESULT hr = Run("SetCommand", service->SetCommand(commandId, payload, requestId));
        SafeArrayDestroy(payload);
        return hr;
    }

    void Unadvise() {
        if (point && cookie) point->Unadvise(cookie);
        cookie = 0;
    }

    void Release() {
        Unadvise();
        Drop(point);
        Drop(service);
        Drop(context);
        Drop(modem);
        Drop(services);
        Drop(interfaces);
    }

    // The step that failed last, for messages.
    const std::string& Step() const { return step_; }

    IMbnInterfaceManager* interfaces = nullptr;
    IMbnDeviceServicesManager* services = nullptr;
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    IMbnInterface* modem = nullptr;
    IMbnDeviceServicesContext* context = nullptr;
    IMbnDeviceService* service = nullptr;

private:
    template <class T>
    static void Drop(T*& object) {
        if (object) object->Release();
        object = nullptr;
    }

    HRESULT Run(const char* step, HRESULT hr) {
        if (FAILED(hr)) step_ = step;
        return hr;
    }

    ManagerSource source_;
    std::string step_;
};

}  // namespace mbntest

#endif  // TESTS_SUPPORT_MBN_CLIENT_H
