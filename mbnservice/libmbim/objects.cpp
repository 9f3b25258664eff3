// The COM objects of the libmbim back end: the class factories of the two
// manager classes, the interface manager with one interface per MBIM control
// port, the device-services manager with its connection point, the
// device-services context of a port and its device services.
//
// Every object counts its references atomically and counts itself in
// Provider::liveObjects, so tests can prove a run gives everything back.
// Objects other than the factories hold the session (its ports stay open
// while any of them lives). A request holds a reference on its device
// service until its completion has been delivered; the completion travels
// from the GLib thread to the completion pool without dropping a COM
// reference on the way: the GLib thread moves its reference into the job,
// never copies it (a copy left behind is the last one whenever the job ends
// first). So no object ever goes on the GLib thread, and one that does ends
// the program (CountedObject).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <glib.h>

#include "hresult.h"
#include "provider.h"
#include "text.h"
#include "com_object.h"
#include "provider_common.h"

#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

namespace mbnmbim {

using mbnservice::ByteArray;
using mbnservice::MbnInterfaceUnsupported;
using mbnservice::ReadBytes;

BSTR NewBstr(const U16& text) {
    return SysAllocStringLen(reinterpret_cast<const WCHAR*>(text.data()), static_cast<UINT>(text.size()));
}

namespace {

// "{FFFFFFFF-ABCA-...}" or without braces, any case: the printed UUID in
// lower case without braces as libmbim prints it, or empty when malformed.
std::string ServiceUuid(const WCHAR* id) {
    std::string text;
    for (size_t i = 0; id[i] != 0; ++i) {
        if (id[i] > 0x7f) return std::string();
        text.push_back(static_cast<char>(g_ascii_tolower(static_cast<char>(id[i]))));
    }
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
    if (text.size() != 36) return std::string();
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !g_ascii_isxdigit(text[i])) return std::string();
    }
    return text;
}

// A COM object of the provider over the interfaces Entries, with a place in
// Provider::liveObjects. Going on the GLib thread is a fault of ours that
// would otherwise pass unseen (a destructor there releases the client's
// sinks, and closing the ports waits for that thread): it ends the program
// with a line that says so.
template <class... Entries>
class CountedObject : public ComObject<ComLifetime::DeleteAtZero, Entries...> {
protected:
    CountedObject() { ++Provider::Get().liveObjects; }
    ~CountedObject() override {
        if (Provider::Get().OnLoopThread()) {
            std::fputs("mbnmbim: a COM object was released last on the GLib thread\n", stderr);
            std::abort();
        }
        --Provider::Get().liveObjects;
    }
};

// An object of an open session: it keeps the ports open while it lives.
template <class... Entries>
class SessionObject : public CountedObject<Entries...> {
protected:
    explicit SessionObject(std::shared_ptr<Session> session) : session_(std::move(session)) {}
    ~SessionObject() override {
        session_.reset();
        Provider::Get().DropUser();
    }
    std::shared_ptr<Session> session_;
};

// ---------------------------------------------------------------------------

class DeviceService final : public SessionObject<ComEntry<IMbnDeviceService, IID_IMbnDeviceService>> {
public:
    DeviceService(std::shared_ptr<Session> session, PortEntry entry, std::string uuid)
        : SessionObject(std::move(session)), entry_(std::move(entry)), uuid_(std::move(uuid)) {
        Provider::Get().AddUser();
    }

    HRESULT STDMETHODCALLTYPE QuerySupportedCommands(ULONG* requestID) override {
        if (!requestID) return E_POINTER;
        *requestID = 0;
        std::vector<ServiceEntry> services;
        HRESULT hr = entry_.port->DeviceServices(&services);
        if (FAILED(hr)) return hr;
        std::vector<uint32_t> cids;
        for (const ServiceEntry& s : services)
            if (s.uuid == uuid_) cids = s.cids;
        const ULONG id = Provider::Get().NextRequestId();
        *requestID = id;
        auto self = Hold<IMbnDeviceService>(this);
        Provider::Get().Post([self = std::move(self), id, cids] {
            Provider::Get().Deliver([&](IMbnDeviceServicesEvents* sink) {
                SAFEARRAYBOUND bound;
                bound.cElements = static_cast<ULONG>(cids.size());
                bound.lLbound = 0;
                SAFEARRAY* list = SafeArrayCreate(VT_UI4, 1, &bound);
                for (LONG i = 0; list && i < static_cast<LONG>(cids.size()); ++i) {
                    ULONG cid = cids[static_cast<size_t>(i)];
                    SafeArrayPutElement(list, &i, &cid);
                }
                sink->OnQuerySupportedCommandsComplete(self.get(), list, list ? S_OK : E_OUTOFMEMORY, id);
                SafeArrayDestroy(list);
            });
        });
        return S_OK;
    }

    // Through mbim-proxy, the device-service subscription list names every
    // service with an open command session, so its indications reach us.
    HRESULT STDMETHODCALLTYPE OpenCommandSession(ULONG* requestID) override {
        if (!requestID) return E_POINTER;
        *requestID = 0;
        if (entry_.port->Removed()) return kDeviceGone;
        const ULONG id = Provider::Get().NextRequestId();
        *requestID = id;
        if (!entry_.port->ViaProxy()) {
            session_->SetCommandSession(entry_.port->Path(), uuid_, true);
            CompleteSession(true, S_OK, id);
            return S_OK;
        }
        std::vector<std::string> open = session_->OpenServices(entry_.port->Path());
        if (std::find(open.begin(), open.end(), uuid_) == open.end()) open.push_back(uuid_);
        std::vector<ServiceEntry> subscribe;
        std::vector<ServiceEntry> listed;
        entry_.port->DeviceServices(&listed);
        for (const std::string& uuid : open) {
            ServiceEntry s{uuid, {}};
            for (const ServiceEntry& l : listed)
                if (l.uuid == uuid) s.cids = l.cids;
            subscribe.push_back(s);
        }
        auto box = std::make_shared<std::shared_ptr<IMbnDeviceService>>(Hold<IMbnDeviceService>(this));
        entry_.port->Subscribe(std::move(subscribe), [box, id](HRESULT status, std::string) {
            std::shared_ptr<IMbnDeviceService> self = std::move(*box);
            // A device that refuses the list sends no indications, but still
            // takes commands: only a port that cannot carry them fails the open.
            const HRESULT result = status == kDeviceGone || status == kNotReady || status == kAborted ? status : S_OK;
            Provider::Get().Post([self = std::move(self), result, id] {
                auto* service = static_cast<DeviceService*>(self.get());
                if (SUCCEEDED(result))
                    service->session_->SetCommandSession(service->entry_.port->Path(), service->uuid_, true);
                Provider::Get().Deliver([&](IMbnDeviceServicesEvents* sink) {
                    sink->OnOpenCommandSessionComplete(self.get(), result, id);
                });
            });
        });
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CloseCommandSession(ULONG* requestID) override {
        if (!requestID) return E_POINTER;
        const ULONG id = Provider::Get().NextRequestId();
        *requestID = id;
        session_->SetCommandSession(entry_.port->Path(), uuid_, false);
        CompleteSession(false, S_OK, id);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE SetCommand(ULONG commandID, SAFEARRAY* payload, ULONG* requestID) override {
        return Command(true, commandID, payload, requestID);
    }
    HRESULT STDMETHODCALLTYPE QueryCommand(ULONG commandID, SAFEARRAY* payload, ULONG* requestID) override {
        return Command(false, commandID, payload, requestID);
    }

    // Device-service streams travel on the data pipe, which this provider
    // does not reach: only the control channel is open.
    HRESULT STDMETHODCALLTYPE OpenDataSession(ULONG* requestID) override { return NoData(requestID); }
    HRESULT STDMETHODCALLTYPE CloseDataSession(ULONG* requestID) override { return NoData(requestID); }
    HRESULT STDMETHODCALLTYPE WriteData(SAFEARRAY*, ULONG* requestID) override { return NoData(requestID); }

    HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR* id) override {
        if (!id) return E_POINTER;
        *id = NewBstr(entry_.interfaceId);
        return *id ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE get_DeviceServiceID(BSTR* id) override {
        if (!id) return E_POINTER;
        std::string text = "{" + uuid_ + "}";
        *id = NewBstr(Utf16FromUtf8(text));
        return *id ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE get_IsCommandSessionOpen(BOOL* value) override {
        if (!value) return E_POINTER;
        *value = session_->CommandSessionOpen(entry_.port->Path(), uuid_) ? TRUE : FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_IsDataSessionOpen(BOOL* value) override {
        if (!value) return E_POINTER;
        *value = FALSE;
        return S_OK;
    }

private:
    ~DeviceService() override = default;

    void CompleteSession(bool open, HRESULT status, ULONG id) {
        auto self = Hold<IMbnDeviceService>(this);
        Provider::Get().Post([self = std::move(self), open, status, id] {
            Provider::Get().Deliver([&](IMbnDeviceServicesEvents* sink) {
                if (open)
                    sink->OnOpenCommandSessionComplete(self.get(), status, id);
                else
                    sink->OnCloseCommandSessionComplete(self.get(), status, id);
            });
        });
    }

    static HRESULT NoData(ULONG* requestID) {
        if (requestID) *requestID = 0;
        return kNotSupported;
    }

    // The payload is copied now and refused before libmbim when it is not
    // smaller than MaxCommandSize (libmbim would send it anyway, and the
    // device would get it cut).
    HRESULT Command(bool set, ULONG commandID, SAFEARRAY* payload, ULONG* requestID) {
        if (!requestID) return E_POINTER;
        *requestID = 0;
        std::string bytes;
        HRESULT hr = ReadBytes(payload, bytes);
        if (FAILED(hr)) return hr;
        if (bytes.size() >= MaxCommandSizeFor(entry_.port->MaxMessage())) return E_INVALIDARG;
        if (entry_.port->Removed()) return kDeviceGone;
        if (!session_->CommandSessionOpen(entry_.port->Path(), uuid_)) return kInvalidState;
        const ULONG id = Provider::Get().NextRequestId();
        *requestID = id;
        auto box = std::make_shared<std::shared_ptr<IMbnDeviceService>>(Hold<IMbnDeviceService>(this));
        entry_.port->Command(
            uuid_, commandID, set, std::move(bytes), [box, id, set, commandID](HRESULT status, std::string answer) {
                std::shared_ptr<IMbnDeviceService> self = std::move(*box);
                Provider::Get().Post([self = std::move(self), id, set, commandID, status, answer = std::move(answer)] {
                    Provider::Get().Deliver([&](IMbnDeviceServicesEvents* sink) {
                        // The array is ours: destroyed when the callback returns.
                        SAFEARRAY* data = SUCCEEDED(status) ? ByteArray(answer) : nullptr;
                        if (set)
                            sink->OnSetCommandComplete(self.get(), commandID, data, status, id);
                        else
                            sink->OnQueryCommandComplete(self.get(), commandID, data, status, id);
                        SafeArrayDestroy(data);
                    });
                });
            });
        return S_OK;
    }

    const PortEntry entry_;
    const std::string uuid_;
};

// ---------------------------------------------------------------------------

class DeviceServicesContext final
    : public SessionObject<ComEntry<IMbnDeviceServicesContext, IID_IMbnDeviceServicesContext>> {
public:
    DeviceServicesContext(std::shared_ptr<Session> session, PortEntry entry)
        : SessionObject(std::move(session)), entry_(std::move(entry)) {
        Provider::Get().AddUser();
    }

    // An array of MBN_DEVICE_SERVICE records needs VT_RECORD arrays, which
    // the POSIX OLE Automation subset lacks.
    HRESULT STDMETHODCALLTYPE EnumerateDeviceServices(SAFEARRAY** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        return kNotSupported;
    }
    HRESULT STDMETHODCALLTYPE GetDeviceService(BSTR id, IMbnDeviceService** out) override {
        SetOut(out, static_cast<IMbnDeviceService*>(nullptr));
        if (!out) return E_POINTER;
        if (!id) return E_INVALIDARG;
        const std::string uuid = ServiceUuid(id);
        if (uuid.empty()) return E_INVALIDARG;
        std::vector<ServiceEntry> services;
        HRESULT hr = entry_.port->DeviceServices(&services);
        if (FAILED(hr)) return hr;
        for (const ServiceEntry& s : services) {
            if (s.uuid == uuid) {
                *out = CreateDeviceService(session_, entry_, uuid);
                return S_OK;
            }
        }
        return kNotFound;
    }
    HRESULT STDMETHODCALLTYPE get_MaxCommandSize(ULONG* size) override {
        if (!size) return E_POINTER;
        *size = MaxCommandSizeFor(entry_.port->MaxMessage());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_MaxDataSize(ULONG* size) override {
        if (!size) return E_POINTER;
        *size = kMaxCommandSize;
        return S_OK;
    }

private:
    ~DeviceServicesContext() override = default;
    const PortEntry entry_;
};

// ---------------------------------------------------------------------------

// MBIM's SUBSCRIBER_READY_STATE values as MBN_READY_STATE: the same numbers
// up to DEVICE_LOCKED; NO_ESIM_PROFILE moves from 7 to 8.
MBN_READY_STATE ReadyStateFromMbim(uint32_t state) {
    if (state == 0) return MBN_READY_STATE_OFF;
    if (state <= 6) return static_cast<MBN_READY_STATE>(state);
    if (state == 7) return MBN_READY_STATE_NO_ESIM_PROFILE;
    return MBN_READY_STATE_FAILURE;
}

class MbnInterface final : public MbnInterfaceUnsupported<SessionObject<ComEntry<IMbnInterface, IID_IMbnInterface>>> {
public:
    MbnInterface(std::shared_ptr<Session> session, PortEntry entry)
        : MbnInterfaceUnsupported(std::move(session)), entry_(std::move(entry)) {
        Provider::Get().AddUser();
    }

    HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR* id) override {
        if (!id) return E_POINTER;
        *id = NewBstr(entry_.interfaceId);
        return *id ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE GetInterfaceCapability(MBN_INTERFACE_CAPS* caps) override {
        if (!caps) return E_POINTER;
        std::memset(caps, 0, sizeof(*caps));
        DeviceCaps device;
        HRESULT hr = entry_.port->QueryCaps(&device);
        if (FAILED(hr)) return hr;
        caps->cellularClass = static_cast<MBN_CELLULAR_CLASS>(device.cellularClass);
        caps->voiceClass = static_cast<MBN_VOICE_CLASS>(device.voiceClass);
        caps->dataClass = device.dataClass;
        caps->smsCaps = device.smsCaps;
        caps->controlCaps = device.controlCaps;
        caps->customDataClass = NewBstr(Utf16FromUtf8(device.customDataClass));
        caps->deviceID = NewBstr(Utf16FromUtf8(device.deviceId));
        caps->firmwareInfo = NewBstr(Utf16FromUtf8(device.firmwareInfo));
        caps->model = NewBstr(Utf16FromUtf8(device.hardwareInfo));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetReadyState(MBN_READY_STATE* state) override {
        if (!state) return E_POINTER;
        uint32_t ready = 0;
        HRESULT hr = entry_.port->QueryReadyState(&ready);
        if (FAILED(hr)) return hr;
        *state = ReadyStateFromMbim(ready);
        return S_OK;
    }

private:
    ~MbnInterface() override = default;
    const PortEntry entry_;
};

class InterfaceManager final : public SessionObject<ComEntry<IMbnInterfaceManager, IID_IMbnInterfaceManager>> {
public:
    explicit InterfaceManager(std::shared_ptr<Session> session) : SessionObject(std::move(session)) {}

    HRESULT STDMETHODCALLTYPE GetInterface(LPCWSTR id, IMbnInterface** out) override {
        SetOut(out, static_cast<IMbnInterface*>(nullptr));
        if (!out) return E_POINTER;
        if (!id) return E_INVALIDARG;
        const PortEntry* entry = session_->Find(id);
        if (!entry || entry->port->Removed()) return kNotFound;
        *out = new MbnInterface(session_, *entry);
        return S_OK;
    }

    // One element per control port still present; the array holds its own
    // reference on each interface.
    HRESULT STDMETHODCALLTYPE GetInterfaces(SAFEARRAY** out) override {
        SetOut(out, static_cast<SAFEARRAY*>(nullptr));
        if (!out) return E_POINTER;
        std::vector<const PortEntry*> present;
        for (const PortEntry& entry : session_->Ports())
            if (!entry.port->Removed()) present.push_back(&entry);
        SAFEARRAYBOUND bound;
        bound.cElements = static_cast<ULONG>(present.size());
        bound.lLbound = 0;
        SAFEARRAY* array = SafeArrayCreate(VT_UNKNOWN, 1, &bound);
        if (!array) return E_OUTOFMEMORY;
        for (LONG i = 0; i < static_cast<LONG>(present.size()); ++i) {
            IMbnInterface* modem = new MbnInterface(session_, *present[static_cast<size_t>(i)]);
            HRESULT hr = SafeArrayPutElement(array, &i, static_cast<IUnknown*>(modem));
            modem->Release();
            if (FAILED(hr)) {
                SafeArrayDestroy(array);
                return hr;
            }
        }
        *out = array;
        return S_OK;
    }

private:
    ~InterfaceManager() override = default;
};

// ---------------------------------------------------------------------------

class DeviceServicesManager final
    : public SessionObject<ComEntry<IMbnDeviceServicesManager, IID_IMbnDeviceServicesManager>,
                           ComEntry<IConnectionPointContainer, IID_IConnectionPointContainer>> {
public:
    explicit DeviceServicesManager(std::shared_ptr<Session> session)
        : SessionObject(std::move(session)), point_(this) {}

    HRESULT STDMETHODCALLTYPE GetDeviceServicesContext(BSTR interfaceId, IMbnDeviceServicesContext** out) override {
        SetOut(out, static_cast<IMbnDeviceServicesContext*>(nullptr));
        if (!out) return E_POINTER;
        if (!interfaceId) return E_INVALIDARG;
        const PortEntry* entry = session_->Find(interfaceId);
        if (!entry || entry->port->Removed()) return kNotFound;
        *out = new DeviceServicesContext(session_, *entry);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override {
        SetOut(out, static_cast<IEnumConnectionPoints*>(nullptr));
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
        SetOut(out, static_cast<IConnectionPoint*>(nullptr));
        if (!out) return E_POINTER;
        if (iid != IID_IMbnDeviceServicesEvents) return CONNECT_E_NOCONNECTION;
        point_.AddRef();
        *out = &point_;
        return S_OK;
    }

    // The connection point's hooks.
    HRESULT BeforeAdvise() { return S_OK; }
    DWORD KeepSink(IMbnDeviceServicesEvents* sink) { return Provider::Get().AddSink(this, sink); }
    HRESULT DropSink(DWORD cookie) {
        IMbnDeviceServicesEvents* sink = Provider::Get().RemoveSink(this, cookie);
        if (!sink) return CONNECT_E_NOCONNECTION;
        sink->Release();
        return S_OK;
    }

private:
    ~DeviceServicesManager() override { Provider::Get().DropSinks(this); }

    EventsConnectionPoint<DeviceServicesManager> point_;
};

// ---------------------------------------------------------------------------

class ClassFactory final : public CountedObject<ComEntry<IClassFactory, IID_IClassFactory>> {
public:
    explicit ClassFactory(bool interfaceManager) : interfaceManager_(interfaceManager) {}

    // Creating a manager opens the control ports when no session is open:
    // a device that cannot be opened fails the creation.
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        std::shared_ptr<Session> session;
        HRESULT hr = Provider::Get().OpenSession(&session);
        if (FAILED(hr)) return hr;
        IUnknown* object = interfaceManager_ ? static_cast<IUnknown*>(new InterfaceManager(std::move(session)))
                                             : static_cast<IUnknown*>(static_cast<IMbnDeviceServicesManager*>(
                                                   new DeviceServicesManager(std::move(session))));
        hr = object->QueryInterface(iid, out);
        object->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    ~ClassFactory() override = default;
    const bool interfaceManager_;
};

}  // namespace

IMbnDeviceService* CreateDeviceService(const std::shared_ptr<Session>& session, const PortEntry& entry,
                                       const std::string& uuid) {
    return new DeviceService(session, entry, uuid);
}

HRESULT CreateClassObject(REFCLSID clsid, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    bool interfaceManager = false;
    if (clsid == CLSID_MbnInterfaceManager)
        interfaceManager = true;
    else if (clsid != CLSID_MbnDeviceServicesManager)
        return CLASS_E_CLASSNOTAVAILABLE;
    ClassFactory* factory = new ClassFactory(interfaceManager);
    HRESULT hr = factory->QueryInterface(iid, object);
    factory->Release();
    return hr;
}

}  // namespace mbnmbim
