// The MBIM channel's event sink: COM reference counting, the platform's
// completion callbacks, and the hand-over of request IDs and response bytes
// between the platform's threads and the channel's thread.
#include "tools/mbim/CDefaultServiceEvent.h"

#include <new>

#include "tools/log/LogLevel.h"

namespace {

// Bound on a response or a session completion.
const DWORD kExchangeTimeoutMs = 5000;
// Bound on the wait for the request ID inside a set-command completion:
// hexadecimal 3000, so that a completion that overtakes SetCommand's return
// outlasts the channel's own 5000 ms wait.
const DWORD kRequestIdTimeoutMs = 0x3000;

// Holds a critical section for one scope.
class KeptLockGuard {
public:
    explicit KeptLockGuard(CRITICAL_SECTION* cs) : lock(cs) { EnterCriticalSection(lock); }
    ~KeptLockGuard() { LeaveCriticalSection(lock); }
    KeptLockGuard(const KeptLockGuard&) = delete;
    KeptLockGuard& operator=(const KeptLockGuard&) = delete;

private:
    CRITICAL_SECTION* lock;
};

// Runs the body of a callback the platform makes. No C++ exception may leave
// it: it would unwind through the platform's frames (on 32-bit Windows that
// ends the process). Bytes are kept with the strong guarantee of
// std::string, so a failed append leaves the kept response as it was.
template <class Body>
HRESULT WithoutExceptions(Body body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace

CDefaultServiceEvent::CDefaultServiceEvent()
    : keptResponse(),
      refCount(1),
      responseEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      commandSessionEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      dataSessionEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      requestIdEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      logger(GetSharedLog()),
      expectedRequestId(0),
      keptLock(),
      keptStatus(S_OK),
      responseTimeoutMs(kExchangeTimeoutMs) {
    InitializeCriticalSection(&keptLock);
}

CDefaultServiceEvent::~CDefaultServiceEvent() {
    // A handle whose creation failed is null and is skipped.
    if (commandSessionEvent) CloseHandle(commandSessionEvent);
    if (responseEvent) CloseHandle(responseEvent);
    if (dataSessionEvent) CloseHandle(dataSessionEvent);
    if (requestIdEvent) CloseHandle(requestIdEvent);
    logger->Release();
    DeleteCriticalSection(&keptLock);
}

HRESULT STDMETHODCALLTYPE CDefaultServiceEvent::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    // IUnknown must be answered by every COM object, with the same pointer
    // each time: it is the object's identity, and marshalling the sink to
    // another apartment or into the global interface table asks for it.
    if (std::memcmp(&iid, &IID_IMbnDeviceServicesEvents, sizeof(GUID)) == 0 ||
        std::memcmp(&iid, &IID_IUnknown, sizeof(GUID)) == 0) {
        AddRef();
        *out = static_cast<IMbnDeviceServicesEvents*>(this);
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CDefaultServiceEvent::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refCount)); }

ULONG STDMETHODCALLTYPE CDefaultServiceEvent::Release() {
    LONG count = InterlockedDecrement(&refCount);
    if (count != 0) return static_cast<ULONG>(count);
    // Another thread may free the object as soon as the count is seen, so
    // the count is not read again.
    delete this;
    return 0;
}

HRESULT STDMETHODCALLTYPE CDefaultServiceEvent::OnQuerySupportedCommandsComplete(IMbnDeviceService* /*deviceService*/,
                                                                                 SAFEARRAY* /*commandIDList*/,
                                                                                 HRESULT /*status*/,
                                                                                 ULONG /*requestID*/) {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CDefaultServiceEvent::OnOpenCommandSessionComplete(IMbnDeviceService* /*deviceService*/,
                                                                             HRESULT /*status*/, ULONG /*requestID*/) {
    SetEvent(commandSessionEvent);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CDefaultServiceEvent::OnCloseCommandSessionComplete(IMbnDeviceService* /*deviceService*/,
                                                                              HRESULT /*status*/, ULONG /*requestID*/) {
    SetEvent(commandSessionEvent);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CDefaultServiceEvent::OnSetCommandComplete(IMbnDeviceService* /*deviceService*/,
                                                                     ULONG /*responseID*/, SAFEARRAY* deviceServiceData,
                                                                     HRESULT status, ULONG requestID) {
    return WithoutExceptions([&] { return KeepSetCommandResult(deviceServiceData, status, requestID); });
}

HRESULT CDefaultServiceEvent::KeepSetCommandResult(SAFEARRAY* deviceServiceData, HRESULT status, ULONG requestID) {
    logger->Log(kLogLevelProgress, "[Success] OnSetCommandComplete called! Request id is %d.", requestID);

    if (!WaitRequestId()) {
        ULONG expected;
        {
            KeptLockGuard guard(&keptLock);
            expected = expectedRequestId;
        }
        logger->Log(kLogLevelEssential, "[Fail] OnSetCommandComplete get RequestId Fail. Current Id Is %d.", expected);
        return S_OK;
    }

    // Matching and keeping happen under one lock, so that an ID cleared by
    // the channel in between cannot let bytes of an ended exchange through.
    ULONG expected;
    bool kept = false;
    size_t total = 0;
    {
        KeptLockGuard guard(&keptLock);
        expected = expectedRequestId;
        if (expected == requestID) {
            if (status != S_OK) {
                if (keptStatus == S_OK) keptStatus = status;
            } else {
                kept = KeepDeliveredBytes(deviceServiceData, total);
            }
        }
    }

    if (expected != requestID) {
        logger->Log(kLogLevelProgress, "[Warning] OnSetCommandComplete called! Request id is %d---%d. Not Match.",
                    requestID, expected);
        return S_OK;
    }
    if (status != S_OK) {
        logger->Log(kLogLevelEssential, "[Fail]OnSetCommandComplete but Fail! Return state 0x%x",
                    static_cast<unsigned int>(status));
    } else {
        LogDelivery(kept, total);
    }
    // A failed completion ends the channel's wait too: there is nothing more
    // to wait for.
    SetEvent(responseEvent);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CDefaultServiceEvent::OnQueryCommandComplete(IMbnDeviceService* /*deviceService*/,
                                                                       ULONG /*responseID*/,
                                                                       SAFEARRAY* /*deviceServiceData*/,
                                                                       HRESULT /*status*/, ULONG /*requestID*/) {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CDefaultServiceEvent::OnEventNotification(IMbnDeviceService* /*deviceService*/,
                                                                    ULONG /*eventID*/,
                                                                    SAFEARRAY* /*deviceServiceData*/) {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CDefaultServiceEvent::OnOpenDataSessionComplete(IMbnDeviceService* /*deviceService*/,
                                                                          HRESULT /*status*/, ULONG /*requestID*/) {
    SetEvent(dataSessionEvent);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CDefaultServiceEvent::OnCloseDataSessionComplete(IMbnDeviceService* /*deviceService*/,
                                                                           HRESULT /*status*/, ULONG /*requestID*/) {
    SetEvent(dataSessionEvent);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CDefaultServiceEvent::OnWriteDataComplete(IMbnDeviceService* /*deviceService*/,
                                                                    HRESULT /*status*/, ULONG /*requestID*/) {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CDefaultServiceEvent::OnReadData(IMbnDeviceService* /*deviceService*/,
                                                           SAFEARRAY* deviceServiceData) {
    return WithoutExceptions([&] { return KeepReadData(deviceServiceData); });
}

HRESULT CDefaultServiceEvent::KeepReadData(SAFEARRAY* deviceServiceData) {
    logger->Log(kLogLevelProgress, "[Success] OnReadData called!");
    bool kept;
    size_t total = 0;
    {
        KeptLockGuard guard(&keptLock);
        kept = KeepDeliveredBytes(deviceServiceData, total);
    }
    LogDelivery(kept, total);
    SetEvent(responseEvent);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CDefaultServiceEvent::OnInterfaceStateChange(
    BSTR /*interfaceID*/, MBN_DEVICE_SERVICES_INTERFACE_STATE /*stateChange*/) {
    return S_OK;
}

bool CDefaultServiceEvent::KeepDeliveredBytes(SAFEARRAY* deviceServiceData, size_t& total) {
    // The array belongs to the platform and is freed when the callback
    // returns, so its bytes are copied here.
    void* p = nullptr;
    HRESULT hr = SafeArrayAccessData(deviceServiceData, &p);
    bool kept = false;
    if (SUCCEEDED(hr) && p) {
        LONG lower = 0;
        LONG upper = -1;
        if (SUCCEEDED(SafeArrayGetLBound(deviceServiceData, 1, &lower)) &&
            SUCCEEDED(SafeArrayGetUBound(deviceServiceData, 1, &upper)) && upper >= lower) {
            // An empty array may still give a data pointer; it is never read.
            size_t n = static_cast<size_t>(static_cast<long long>(upper) - lower + 1);
            try {
                keptResponse.append(static_cast<const char*>(p), n);
            } catch (...) {
                // The array goes back to the platform unlocked, or it could
                // not be destroyed.
                SafeArrayUnaccessData(deviceServiceData);
                throw;
            }
            kept = true;
        }
    }
    if (SUCCEEDED(hr)) SafeArrayUnaccessData(deviceServiceData);
    total = keptResponse.size();
    return kept;
}

void CDefaultServiceEvent::LogDelivery(bool kept, size_t total) {
    if (kept) {
        logger->Log(kLogLevelProgress, "[success] Get At Response Success. Length %d", static_cast<int>(total));
    } else {
        logger->Log(kLogLevelEssential, "[Fail] Get At Response Fail. Length %d", static_cast<int>(total));
    }
}

void CDefaultServiceEvent::ResetExchange() {
    ResetEvent(commandSessionEvent);
    ResetEvent(responseEvent);
    ClearRequestId();
    KeptLockGuard guard(&keptLock);
    keptResponse.clear();
    keptStatus = S_OK;
}

void CDefaultServiceEvent::SetRequestId(ULONG id) {
    {
        KeptLockGuard guard(&keptLock);
        expectedRequestId = id;
    }
    SetEvent(requestIdEvent);
}

void CDefaultServiceEvent::ClearRequestId() {
    {
        KeptLockGuard guard(&keptLock);
        expectedRequestId = 0;
    }
    ResetEvent(requestIdEvent);
}

bool CDefaultServiceEvent::WaitRequestId() {
    return WaitForSingleObject(requestIdEvent, kRequestIdTimeoutMs) == WAIT_OBJECT_0;
}

void CDefaultServiceEvent::SetResponseTimeout(DWORD milliseconds) { responseTimeoutMs = milliseconds; }

DWORD CDefaultServiceEvent::GetSessionRlt() { return WaitForSingleObject(commandSessionEvent, kExchangeTimeoutMs); }

DWORD CDefaultServiceEvent::GetDataSessionRlt() { return WaitForSingleObject(dataSessionEvent, kExchangeTimeoutMs); }

DWORD CDefaultServiceEvent::GetResponse(std::string& out) {
    HRESULT status;
    return GetResponse(out, status);
}

DWORD CDefaultServiceEvent::GetResponse(std::string& out, HRESULT& status) {
    status = S_OK;
    DWORD wait = WaitForSingleObject(responseEvent, responseTimeoutMs);
    if (wait == WAIT_OBJECT_0) {
        KeptLockGuard guard(&keptLock);
        out.assign(keptResponse);
        keptResponse.clear();
        status = keptStatus;
        keptStatus = S_OK;
    }
    ClearRequestId();
    return wait;
}
