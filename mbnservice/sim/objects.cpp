// The COM objects of the simulated service: the class factories of the two
// manager classes, the interface manager and its modem interface, the
// device-services manager with its connection point, the device-services
// context and the device service with its sessions and requests.
//
// Every object counts its references with atomic operations and reports them
// to the core, so tests can prove a run leaves nothing behind. Objects hold no
// COM references on one another (only the core), except the connection
// point, which lives inside its manager and shares the manager's count.
// Requests return a request ID at once; their completion is a job that holds
// a reference on the device service it reports, and runs on the pool.
#include <utility>

#include "com_object.h"
#include "core.h"

// The SDK's interfaces have public non-virtual destructors; these objects are
// destroyed only through their own Release, so the warning says nothing here.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

namespace mbnsim {

namespace {

// A COM object of the service: the core counts its references too, and
// keeps a tally of the objects alive.
template <class... Entries>
class ServiceObject : public ComObject<ComLifetime::DeleteAtZero, Entries...> {
    using Base = ComObject<ComLifetime::DeleteAtZero, Entries...>;

public:
    ULONG STDMETHODCALLTYPE AddRef() override {
        ++core_->refs;
        return Base::AddRef();
    }
    ULONG STDMETHODCALLTYPE Release() override {
        --core_->refs;  // first: the last Release ends the object
        return Base::Release();
    }

protected:
    explicit ServiceObject(std::shared_ptr<ServiceCore> core) : core_(std::move(core)) {
        core_->ObjectCreated();
        ++core_->refs;  // the creator's reference
    }
    ~ServiceObject() override { core_->ObjectDestroyed(); }

    std::shared_ptr<ServiceCore> core_;
};

BSTR NewBstr(const U16& text) { return SysAllocString(AsWchar(text)); }

// ---------------------------------------------------------------------------

class MbnInterface final : public MbnInterfaceUnsupported<ServiceObject<ComEntry<IMbnInterface, IID_IMbnInterface>>> {
public:
    MbnInterface(std::shared_ptr<ServiceCore> core, U16 id)
        : MbnInterfaceUnsupported(std::move(core)), id_(std::move(id)) {}

    HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR* id) override {
        HRESULT hr = core_->Check(Call::InterfaceGetInterfaceID);
        if (!id) return FAILED(hr) ? hr : E_POINTER;
        *id = nullptr;
        if (FAILED(hr)) return hr;
        *id = NewBstr(id_);  // the caller's to free
        return *id ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE GetInterfaceCapability(MBN_INTERFACE_CAPS* caps) override {
        if (!caps) return E_POINTER;
        ModemConfig m;
        {
            std::lock_guard<std::mutex> lock(core_->mutex);
            m = core_->modem.State();
        }
        std::memset(caps, 0, sizeof(*caps));
        caps->cellularClass = MBN_CELLULAR_CLASS_GSM;
        caps->voiceClass = MBN_VOICE_CLASS_NO_VOICE;
        caps->dataClass = MBN_DATA_CLASS_LTE | MBN_DATA_CLASS_UMTS | MBN_DATA_CLASS_GPRS;
        auto bstr = [](const std::string& s) {
            U16 u(s.begin(), s.end());
            return NewBstr(u);
        };
        caps->deviceID = bstr(m.imei);
        caps->manufacturer = bstr(m.manufacturer);
        caps->model = bstr(m.model);
        caps->firmwareInfo = bstr(m.revision);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetReadyState(MBN_READY_STATE* state) override {
        HRESULT hr = core_->Check(Call::GetReadyState);
        if (FAILED(hr)) return hr;
        if (!state) return E_POINTER;
        std::lock_guard<std::mutex> lock(core_->mutex);
        *state = core_->readyState;
        return S_OK;
    }

private:
    ~MbnInterface() override = default;
    const U16 id_;
};

// ---------------------------------------------------------------------------

class InterfaceManager final : public ServiceObject<ComEntry<IMbnInterfaceManager, IID_IMbnInterfaceManager>> {
public:
    explicit InterfaceManager(std::shared_ptr<ServiceCore> core) : ServiceObject(std::move(core)) {}

    HRESULT STDMETHODCALLTYPE GetInterface(LPCWSTR id, IMbnInterface** out) override {
        HRESULT hr = core_->Check(Call::GetInterface);
        SetOut(out, static_cast<IMbnInterface*>(nullptr));
        if (FAILED(hr)) return hr;
        if (!out) return E_POINTER;
        if (!id) return E_INVALIDARG;
        U16 current;
        if (!core_->MatchModem(id, current)) return kErrorNotFound;
        *out = new MbnInterface(core_, current);
        return S_OK;
    }

    // One element per modem: the simulated device, or none. The array holds
    // its own reference on each interface; SafeArrayDestroy gives it back.
    HRESULT STDMETHODCALLTYPE GetInterfaces(SAFEARRAY** out) override {
        HRESULT hr = core_->Check(Call::GetInterfaces);
        SetOut(out, static_cast<SAFEARRAY*>(nullptr));
        if (FAILED(hr)) return hr;
        if (!out) return E_POINTER;
        bool present = false;
        U16 id;
        {
            std::lock_guard<std::mutex> lock(core_->mutex);
            present = core_->modemPresent;
            id = core_->interfaceId;
        }
        SAFEARRAYBOUND bound;
        bound.cElements = present ? 1 : 0;
        bound.lLbound = 0;
        SAFEARRAY* array = SafeArrayCreate(VT_UNKNOWN, 1, &bound);
        if (!array) return E_OUTOFMEMORY;
        if (present) {
            IMbnInterface* modem = new MbnInterface(core_, id);
            LONG index = 0;
            hr = SafeArrayPutElement(array, &index, static_cast<IUnknown*>(modem));
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

class DeviceService final : public ServiceObject<ComEntry<IMbnDeviceService, IID_IMbnDeviceService>> {
public:
    DeviceService(std::shared_ptr<ServiceCore> core, U16 interfaceId, U16 serviceId)
        : ServiceObject(std::move(core)),
          interfaceId_(std::move(interfaceId)),
          serviceId_(std::move(serviceId)),
          isAt_(SameId(serviceId_, ToU16(kAtServiceId))) {}

    HRESULT STDMETHODCALLTYPE QuerySupportedCommands(ULONG* requestID) override {
        if (!requestID) return E_POINTER;
        const ULONG id = core_->NextRequestId();
        *requestID = id;
        auto self = Hold(this);
        ServiceCore* core = core_.get();
        const bool at = isAt_;
        core_->Dispatch(CompletionPlan(), [core, self, id, at](const std::function<void()>& onStart) {
            core->Deliver(Callback::QuerySupportedCommandsComplete, onStart, [&](IMbnDeviceServicesEvents* sink) {
                SAFEARRAYBOUND bound;
                bound.cElements = at ? 1 : 0;
                bound.lLbound = 0;
                SAFEARRAY* list = SafeArrayCreate(VT_UI4, 1, &bound);
                if (list && at) {
                    LONG index = 0;
                    ULONG command = kAtCommandId;
                    SafeArrayPutElement(list, &index, &command);
                }
                sink->OnQuerySupportedCommandsComplete(self.get(), list, S_OK, id);
                SafeArrayDestroy(list);
            });
        });
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE OpenCommandSession(ULONG* requestID) override {
        return SessionRequest(Call::OpenCommandSession, Request::OpenCommandSession,
                              Callback::OpenCommandSessionComplete, true, true, requestID);
    }
    HRESULT STDMETHODCALLTYPE CloseCommandSession(ULONG* requestID) override {
        return SessionRequest(Call::CloseCommandSession, Request::CloseCommandSession,
                              Callback::CloseCommandSessionComplete, true, false, requestID);
    }
    HRESULT STDMETHODCALLTYPE OpenDataSession(ULONG* requestID) override {
        return SessionRequest(Call::OpenDataSession, Request::OpenDataSession, Callback::OpenDataSessionComplete, false,
                              true, requestID);
    }
    HRESULT STDMETHODCALLTYPE CloseDataSession(ULONG* requestID) override {
        return SessionRequest(Call::CloseDataSession, Request::CloseDataSession, Callback::CloseDataSessionComplete,
                              false, false, requestID);
    }

    // The payload is copied at once (the caller may destroy its array when
    // the call returns) and answered by the modem in request order.
    HRESULT STDMETHODCALLTYPE SetCommand(ULONG commandID, SAFEARRAY* payload, ULONG* requestID) override {
        HRESULT hr = core_->Check(Call::SetCommand);
        if (requestID) *requestID = 0;
        if (FAILED(hr)) return hr;
        if (!requestID) return E_POINTER;
        std::string bytes;
        hr = ReadBytes(payload, bytes);
        if (FAILED(hr)) return hr;
        {
            std::lock_guard<std::mutex> lock(core_->mutex);
            if (bytes.size() >= core_->maxCommandSize) return E_INVALIDARG;
        }
        if (!core_->Session(serviceId_).command) return kErrorInvalidState;
        const ULONG id = core_->NextRequestId();
        const CompletionPlan plan = core_->TakePlan(Request::SetCommand);
        {
            std::lock_guard<std::mutex> lock(core_->mutex);
            core_->setCommands.push_back({commandID, bytes, id});
        }
        HRESULT status = plan.status;
        std::string answer;
        if (SUCCEEDED(status)) {
            if (plan.response)
                answer = *plan.response;
            else if (isAt_ && commandID == kAtCommandId)
                answer = core_->Answer(commandID, bytes);
            else
                status = kStatusNotSupported;
        }
        const ULONG foreignId = plan.foreignIdFirst ? core_->NextForeignId() : 0;
        const bool empty = plan.emptyData;
        *requestID = id;
        auto self = Hold(this);
        ServiceCore* core = core_.get();
        core_->Dispatch(
            plan, [core, self, id, commandID, status, answer, foreignId, empty](const std::function<void()>& onStart) {
                std::function<void()> start = onStart;
                if (foreignId != 0) {
                    core->Deliver(Callback::SetCommandComplete, start, [&](IMbnDeviceServicesEvents* sink) {
                        SAFEARRAY* data = ByteArray("\r\nFOREIGN\r\n");
                        sink->OnSetCommandComplete(self.get(), commandID, data, S_OK, foreignId);
                        SafeArrayDestroy(data);
                    });
                    start = nullptr;
                }
                core->Deliver(Callback::SetCommandComplete, start, [&](IMbnDeviceServicesEvents* sink) {
                    // The array is the service's: destroyed when the callback returns.
                    SAFEARRAY* data = nullptr;
                    HRESULT delivered = status;
                    if (SUCCEEDED(status)) {
                        data = ByteArray(empty ? std::string() : answer);
                        // A service that cannot hand the answer over says so.
                        if (!data) delivered = E_OUTOFMEMORY;
                    }
                    sink->OnSetCommandComplete(self.get(), commandID, data, delivered, id);
                    SafeArrayDestroy(data);
                });
            });
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE QueryCommand(ULONG commandID, SAFEARRAY* payload, ULONG* requestID) override {
        HRESULT hr = core_->Check(Call::QueryCommand);
        if (requestID) *requestID = 0;
        if (FAILED(hr)) return hr;
        if (!requestID) return E_POINTER;
        std::string bytes;
        hr = ReadBytes(payload, bytes);
        if (FAILED(hr)) return hr;
        if (!core_->Session(serviceId_).command) return kErrorInvalidState;
        const ULONG id = core_->NextRequestId();
        const CompletionPlan plan = core_->TakePlan(Request::QueryCommand);
        const HRESULT status = FAILED(plan.status) ? plan.status : kStatusNotSupported;
        *requestID = id;
        auto self = Hold(this);
        ServiceCore* core = core_.get();
        core_->Dispatch(plan, [core, self, id, commandID, status](const std::function<void()>& onStart) {
            core->Deliver(Callback::QueryCommandComplete, onStart, [&](IMbnDeviceServicesEvents* sink) {
                sink->OnQueryCommandComplete(self.get(), commandID, nullptr, status, id);
            });
        });
        return S_OK;
    }

    // Bytes written on the data session go to the modem as a terminal's
    // would; what it answers comes back through OnReadData after the write
    // has completed.
    HRESULT STDMETHODCALLTYPE WriteData(SAFEARRAY* payload, ULONG* requestID) override {
        HRESULT hr = core_->Check(Call::WriteData);
        if (requestID) *requestID = 0;
        if (FAILED(hr)) return hr;
        if (!requestID) return E_POINTER;
        std::string bytes;
        hr = ReadBytes(payload, bytes);
        if (FAILED(hr)) return hr;
        if (!core_->Session(serviceId_).data) return kErrorInvalidState;
        const ULONG id = core_->NextRequestId();
        const CompletionPlan plan = core_->TakePlan(Request::WriteData);
        {
            std::lock_guard<std::mutex> lock(core_->mutex);
            core_->dataWritten.push_back(bytes);
        }
        std::string answer;
        if (SUCCEEDED(plan.status) && isAt_) answer = core_->FeedModem(bytes);
        const HRESULT status = plan.status;
        *requestID = id;
        auto self = Hold(this);
        ServiceCore* core = core_.get();
        core_->Dispatch(plan, [core, self, id, status, answer](const std::function<void()>& onStart) {
            core->Deliver(Callback::WriteDataComplete, onStart,
                          [&](IMbnDeviceServicesEvents* sink) { sink->OnWriteDataComplete(self.get(), status, id); });
            if (answer.empty()) return;
            core->Deliver(Callback::ReadData, nullptr, [&](IMbnDeviceServicesEvents* sink) {
                SAFEARRAY* data = ByteArray(answer);
                sink->OnReadData(self.get(), data);
                SafeArrayDestroy(data);
            });
        });
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR* id) override {
        if (!id) return E_POINTER;
        *id = NewBstr(interfaceId_);
        return *id ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE get_DeviceServiceID(BSTR* id) override {
        if (!id) return E_POINTER;
        *id = NewBstr(serviceId_);
        return *id ? S_OK : E_OUTOFMEMORY;
    }
    // A failed call leaves *value as it was.
    HRESULT STDMETHODCALLTYPE get_IsCommandSessionOpen(BOOL* value) override {
        HRESULT hr = core_->Check(Call::IsCommandSessionOpen);
        if (FAILED(hr)) return hr;
        if (!value) return E_POINTER;
        *value = core_->Session(serviceId_).command ? TRUE : FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_IsDataSessionOpen(BOOL* value) override {
        HRESULT hr = core_->Check(Call::IsDataSessionOpen);
        if (FAILED(hr)) return hr;
        if (!value) return E_POINTER;
        *value = core_->Session(serviceId_).data ? TRUE : FALSE;
        return S_OK;
    }

private:
    ~DeviceService() override = default;

    // Opening an open session or closing a closed one completes with S_OK and
    // changes nothing. The session changes state when the completion is
    // delivered, and only on success.
    HRESULT SessionRequest(Call call, Request request, Callback callback, bool command, bool open, ULONG* requestID) {
        HRESULT hr = core_->Check(call);
        if (requestID) *requestID = 0;
        if (FAILED(hr)) return hr;
        if (!requestID) return E_POINTER;
        const ULONG id = core_->NextRequestId();
        const CompletionPlan plan = core_->TakePlan(request);
        *requestID = id;
        auto self = Hold(this);
        ServiceCore* core = core_.get();
        const U16 service = serviceId_;
        const HRESULT status = plan.status;
        core_->Dispatch(plan, [=](const std::function<void()>& onStart) {
            if (SUCCEEDED(status)) core->SetSession(service, command, open);
            core->Deliver(callback, onStart, [&](IMbnDeviceServicesEvents* sink) {
                switch (callback) {
                case Callback::OpenCommandSessionComplete:
                    sink->OnOpenCommandSessionComplete(self.get(), status, id);
                    break;
                case Callback::CloseCommandSessionComplete:
                    sink->OnCloseCommandSessionComplete(self.get(), status, id);
                    break;
                case Callback::OpenDataSessionComplete: sink->OnOpenDataSessionComplete(self.get(), status, id); break;
                default: sink->OnCloseDataSessionComplete(self.get(), status, id); break;
                }
            });
        });
        return S_OK;
    }

    const U16 interfaceId_;
    const U16 serviceId_;
    const bool isAt_;
};

// ---------------------------------------------------------------------------

class DeviceServicesContext final
    : public ServiceObject<ComEntry<IMbnDeviceServicesContext, IID_IMbnDeviceServicesContext>> {
public:
    DeviceServicesContext(std::shared_ptr<ServiceCore> core, U16 interfaceId)
        : ServiceObject(std::move(core)), interfaceId_(std::move(interfaceId)) {}

    // An array of MBN_DEVICE_SERVICE records needs VT_RECORD arrays, which
    // the POSIX OLE Automation subset lacks; the error is one the real
    // service documents for devices without the list.
    HRESULT STDMETHODCALLTYPE EnumerateDeviceServices(SAFEARRAY** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        return kStatusNotSupported;
    }
    HRESULT STDMETHODCALLTYPE GetDeviceService(BSTR id, IMbnDeviceService** out) override {
        HRESULT hr = core_->Check(Call::GetDeviceService);
        SetOut(out, static_cast<IMbnDeviceService*>(nullptr));
        if (FAILED(hr)) return hr;
        if (!out) return E_POINTER;
        if (!id) return E_INVALIDARG;
        const U16 service = CanonicalServiceId(ToU16(id));
        if (service.empty()) return kErrorNotFound;
        *out = new DeviceService(core_, interfaceId_, service);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_MaxCommandSize(ULONG* size) override {
        if (!size) return E_POINTER;
        std::lock_guard<std::mutex> lock(core_->mutex);
        *size = core_->maxCommandSize;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_MaxDataSize(ULONG* size) override {
        if (!size) return E_POINTER;
        std::lock_guard<std::mutex> lock(core_->mutex);
        *size = core_->maxCommandSize;
        return S_OK;
    }

private:
    ~DeviceServicesContext() override = default;
    const U16 interfaceId_;
};

// ---------------------------------------------------------------------------

class DeviceServicesManager final
    : public ServiceObject<ComEntry<IMbnDeviceServicesManager, IID_IMbnDeviceServicesManager>,
                           ComEntry<IConnectionPointContainer, IID_IConnectionPointContainer>> {
public:
    explicit DeviceServicesManager(std::shared_ptr<ServiceCore> core) : ServiceObject(std::move(core)), point_(this) {}

    // The container can be made to fail, as a service in trouble might.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out && iid == IID_IConnectionPointContainer) {
            *out = nullptr;
            HRESULT hr = core_->Check(Call::QueryConnectionPointContainer);
            if (FAILED(hr)) return hr;
        }
        return ServiceObject::QueryInterface(iid, out);
    }

    HRESULT STDMETHODCALLTYPE GetDeviceServicesContext(BSTR interfaceId, IMbnDeviceServicesContext** out) override {
        HRESULT hr = core_->Check(Call::GetDeviceServicesContext);
        SetOut(out, static_cast<IMbnDeviceServicesContext*>(nullptr));
        if (FAILED(hr)) return hr;
        if (!out) return E_POINTER;
        if (!interfaceId) return E_INVALIDARG;
        U16 current;
        if (!core_->MatchModem(interfaceId, current)) return kErrorNotFound;
        *out = new DeviceServicesContext(core_, current);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override {
        SetOut(out, static_cast<IEnumConnectionPoints*>(nullptr));
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
        HRESULT hr = core_->Check(Call::FindConnectionPoint);
        SetOut(out, static_cast<IConnectionPoint*>(nullptr));
        if (FAILED(hr)) return hr;
        if (!out) return E_POINTER;
        if (iid != IID_IMbnDeviceServicesEvents) return CONNECT_E_NOCONNECTION;
        point_.AddRef();
        *out = &point_;
        return S_OK;
    }

    // The connection point's hooks. Advise and Unadvise can be made to fail.
    HRESULT BeforeAdvise() { return core_->Check(Call::Advise); }
    DWORD KeepSink(IMbnDeviceServicesEvents* sink) { return core_->AddSink(this, sink); }
    HRESULT DropSink(DWORD cookie) {
        HRESULT hr = core_->Check(Call::Unadvise);
        if (FAILED(hr)) return hr;
        IMbnDeviceServicesEvents* sink = core_->RemoveSink(this, cookie);
        if (!sink) return CONNECT_E_NOCONNECTION;
        --core_->sinkRefs;
        sink->Release();
        return S_OK;
    }

private:
    // Connections still open when the manager goes are undone, as a
    // connection point does when it is destroyed.
    ~DeviceServicesManager() override { core_->DropSinks(this); }

    EventsConnectionPoint<DeviceServicesManager> point_;
};

// ---------------------------------------------------------------------------

class ClassFactory final : public ComObject<ComLifetime::DeleteAtZero, ComEntry<IClassFactory, IID_IClassFactory>> {
public:
    ClassFactory(std::shared_ptr<ServiceCore> core, bool interfaceManager)
        : core_(std::move(core)), interfaceManager_(interfaceManager) {
        ++core_->factories;
    }
    ~ClassFactory() override { --core_->factories; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        HRESULT hr = core_->Check(interfaceManager_ ? Call::CreateInterfaceManager : Call::CreateDeviceServicesManager);
        if (FAILED(hr)) return hr;
        IUnknown* object =
            interfaceManager_
                ? static_cast<IUnknown*>(new InterfaceManager(core_))
                : static_cast<IUnknown*>(static_cast<IMbnDeviceServicesManager*>(new DeviceServicesManager(core_)));
        hr = object->QueryInterface(iid, out);
        object->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock)
            ++core_->serverLocks;
        else
            --core_->serverLocks;
        return S_OK;
    }

private:
    std::shared_ptr<ServiceCore> core_;
    const bool interfaceManager_;
};

}  // namespace

HRESULT CreateClassObject(const std::shared_ptr<ServiceCore>& core, REFCLSID clsid, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    bool interfaceManager = false;
    if (clsid == CLSID_MbnInterfaceManager)
        interfaceManager = true;
    else if (clsid != CLSID_MbnDeviceServicesManager)
        return CLASS_E_CLASSNOTAVAILABLE;
    ClassFactory* factory = new ClassFactory(core, interfaceManager);
    HRESULT hr = factory->QueryInterface(iid, object);
    factory->Release();
    return hr;
}

IMbnDeviceService* CreateDeviceServiceObject(const std::shared_ptr<ServiceCore>& core, const U16& interfaceId,
                                             const U16& serviceId) {
    return new DeviceService(core, interfaceId, serviceId);
}

}  // namespace mbnsim

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
