// The event sink of an MBIM channel: the IMbnDeviceServicesEvents object that
// the Mobile Broadband service calls, on threads of its own, when a
// device-service request completes. It turns those calls into four kernel
// events and one kept response that the channel waits on and reads from its
// own thread; the channel tells it which request ID to expect.
#ifndef TOOLS_MBIM_CDEFAULTSERVICEEVENT_H
#define TOOLS_MBIM_CDEFAULTSERVICEEVENT_H

#include <string>

#include "platform/winapi.h"
#include "tools/interfaces.h"

class CDefaultServiceEvent : public IMbnDeviceServicesEvents {
public:
    // Sets every field, so it needs no zero-filled storage; the new sink
    // holds one reference, which belongs to its creator.
    CDefaultServiceEvent();

    // IUnknown. IID_IUnknown and IID_IMbnDeviceServicesEvents are answered,
    // both with this object.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IMbnDeviceServicesEvents, called by the platform on its own threads.
    // None lets a C++ exception out: running out of memory while keeping
    // bytes gives E_OUTOFMEMORY (anything else E_UNEXPECTED), with the kept
    // response as it was.
    HRESULT STDMETHODCALLTYPE OnQuerySupportedCommandsComplete(IMbnDeviceService* deviceService,
                                                               SAFEARRAY* commandIDList, HRESULT status,
                                                               ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnOpenCommandSessionComplete(IMbnDeviceService* deviceService, HRESULT status,
                                                           ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnCloseCommandSessionComplete(IMbnDeviceService* deviceService, HRESULT status,
                                                            ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnSetCommandComplete(IMbnDeviceService* deviceService, ULONG responseID,
                                                   SAFEARRAY* deviceServiceData, HRESULT status,
                                                   ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnQueryCommandComplete(IMbnDeviceService* deviceService, ULONG responseID,
                                                     SAFEARRAY* deviceServiceData, HRESULT status,
                                                     ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnEventNotification(IMbnDeviceService* deviceService, ULONG eventID,
                                                  SAFEARRAY* deviceServiceData) override;
    HRESULT STDMETHODCALLTYPE OnOpenDataSessionComplete(IMbnDeviceService* deviceService, HRESULT status,
                                                        ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnCloseDataSessionComplete(IMbnDeviceService* deviceService, HRESULT status,
                                                         ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnWriteDataComplete(IMbnDeviceService* deviceService, HRESULT status,
                                                  ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnReadData(IMbnDeviceService* deviceService, SAFEARRAY* deviceServiceData) override;
    HRESULT STDMETHODCALLTYPE OnInterfaceStateChange(BSTR interfaceID,
                                                     MBN_DEVICE_SERVICES_INTERFACE_STATE stateChange) override;

    // Ended by Release when the last reference is gone.
    virtual ~CDefaultServiceEvent();

    // Channel side, called on the channel's thread.

    // Prepares a new exchange: command-session and response events
    // unsignalled, no expected request ID, nothing kept. The data-session
    // event is left alone.
    void ResetExchange();
    // Stores the ID that a set-command completion must carry, then lets a
    // completion that is waiting for it go on.
    void SetRequestId(ULONG id);
    void ClearRequestId();
    // Platform side: true when a request ID was set within 12288 ms.
    bool WaitRequestId();
    // Wait results of WaitForSingleObject (0 = signalled), 5000 ms each.
    DWORD GetSessionRlt();
    DWORD GetDataSessionRlt();
    // How long GetResponse waits; 5000 ms at the start.
    void SetResponseTimeout(DWORD milliseconds);
    // On a signalled wait, out becomes the kept response, which is emptied.
    // After a time-out both are left alone, so late bytes go to the next
    // successful call. The expected request ID is cleared in every case.
    DWORD GetResponse(std::string& out);
    // As above; status receives the first failure status of the matching
    // set-command completions whose bytes are handed over (S_OK if none).
    DWORD GetResponse(std::string& out, HRESULT& status);

private:
    CDefaultServiceEvent(const CDefaultServiceEvent&) = delete;
    CDefaultServiceEvent& operator=(const CDefaultServiceEvent&) = delete;

    // The work of OnSetCommandComplete and OnReadData, which may throw.
    HRESULT KeepSetCommandResult(SAFEARRAY* deviceServiceData, HRESULT status, ULONG requestID);
    HRESULT KeepReadData(SAFEARRAY* deviceServiceData);
    // Appends the bytes of one delivery to keptResponse; false when the
    // array gave no bytes. total receives the kept length. The caller holds
    // keptLock.
    bool KeepDeliveredBytes(SAFEARRAY* deviceServiceData, size_t& total);
    // The success or failure line of one delivery, written outside the lock.
    void LogDelivery(bool kept, size_t total);

    std::string keptResponse;
    LONG refCount;
    HANDLE responseEvent;
    HANDLE commandSessionEvent;
    HANDLE dataSessionEvent;
    HANDLE requestIdEvent;
    IGlobalTools::ILog* logger;
    ULONG expectedRequestId;
    // Guards keptResponse, keptStatus and expectedRequestId: completions may
    // arrive together on two platform threads, or after GetResponse stopped
    // waiting while the channel's thread empties or hands over the bytes.
    CRITICAL_SECTION keptLock;
    // First failure status of a matching set-command completion since the
    // last hand-over or reset.
    HRESULT keptStatus;
    // Set on the channel's thread, read there by GetResponse.
    DWORD responseTimeoutMs;
};

#endif  // TOOLS_MBIM_CDEFAULTSERVICEEVENT_H
