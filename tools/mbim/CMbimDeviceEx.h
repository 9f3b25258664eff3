// The MBIM device-service channel: reaches the modem through the Mobile
// Broadband API, opens command and data sessions on a device service, sends
// a command with SetCommand and collects the answer that the platform
// delivers to the channel's event sink. Version 2 of its interface adds the
// answer wait, the choice of modem interface and the outcome of the last
// exchange; until they are set it behaves as version 1.
#ifndef TOOLS_MBIM_CMBIMDEVICEEX_H
#define TOOLS_MBIM_CMBIMDEVICEEX_H

#include <string>
#include <vector>

#include "platform/winapi.h"
#include "tools/WideText.h"
#include "tools/interfaces.h"

class CDefaultServiceEvent;
// What differs between a command session and a data session; defined in
// CMbimDeviceEx.cpp.
struct MbimSessionKind;

// One registration of a sink with a connection point; undone by Release.
struct AdviseEntry {
    CDefaultServiceEvent* sink;
    IConnectionPoint* connectionPoint;
    DWORD cookie;
};

class CMbimDeviceEx : public IGlobalTools::IMbimChannel2 {
public:
    // commandSessionState: none, opened by this channel, or found already
    // open (someone else's: used, but never closed by this channel).
    static constexpr LONG kNoCommandSession = 0;
    static constexpr LONG kCommandSessionOpened = 1;
    static constexpr LONG kCommandSessionFoundOpen = 2;
    // dataSessionOpen: a data session is open, whoever opened it.
    static constexpr LONG kNoDataSession = 0;
    static constexpr LONG kDataSessionOpen = 1;

    // Sets every field; the factory's zero-filled storage is not relied on.
    CMbimDeviceEx();
    virtual ~CMbimDeviceEx();

    HRESULT Open() override;
    HRESULT SendData(const char* data, unsigned int len, std::string& response, IGlobalTools::IAtParser* parser,
                     const WCHAR* serviceId, ULONG commandId) override;
    HRESULT OpenSession(const WCHAR* serviceId) override;
    HRESULT Sendmsg(const char* data, unsigned int len, ULONG commandId) override;
    HRESULT Recvmsg(std::string& response) override;
    void CloseSession() override;
    HRESULT OpenDataSession(const WCHAR* serviceId) override;
    HRESULT RecvDataMsg(std::string& response) override;
    void CloseDataSession() override;
    void Release() override;

    HRESULT SetAnswerTimeout(DWORD milliseconds) override;
    HRESULT SelectInterface(const WCHAR* interfaceId) override;
    HRESULT ListInterfaces(std::vector<IGlobalTools::MbimInterfaceInfo>& list) override;
    HRESULT GetLastExchangeStatus() override;
    HRESULT GetMaxCommandSize(ULONG* bytes) override;

    // Registers eventSink with the device-services manager's connection
    // point for iid and records it in the advise list.
    HRESULT AdviseEvents(CDefaultServiceEvent* eventSink, IID iid);

private:
    CMbimDeviceEx(const CMbimDeviceEx&) = delete;
    CMbimDeviceEx& operator=(const CMbimDeviceEx&) = delete;

    // The selected modem interface, else the first (a reference of its
    // own), or null.
    IMbnInterface* GetFirstInterface();
    // Whether the interface's ID is the selected one.
    bool IsSelected(IMbnInterface* modem);
    // The payload as a one-dimensional VT_UI1 array from index 0, or null.
    SAFEARRAY* CharBufferToSafeArray(const char* data, unsigned int len);
    // True when Open created both managers and registered the sink.
    bool IsReady() const;
    // Finds the first modem's device service named serviceId and keeps the
    // three session objects; false (already logged) when one is missing.
    bool FindDeviceService(const WCHAR* serviceId);
    // Releases the three session objects that are held and nulls them.
    void ReleaseSessionObjects();
    // The open and close steps that command and data sessions share; state
    // is the field that records the kind's session.
    HRESULT OpenSessionOf(const WCHAR* serviceId, const MbimSessionKind& kind, LONG& state);
    void CloseSessionOf(const MbimSessionKind& kind, LONG& state);

    CRITICAL_SECTION adviseLock;
    std::vector<AdviseEntry> adviseList;
    IMbnDeviceServicesManager* pMbnDeviceServicesManager;
    IMbnInterfaceManager* pMbnInterfaceManager;
    CDefaultServiceEvent* sink;
    IMbnInterface* pMbnInterface;
    IMbnDeviceServicesContext* pMbnDeviceServicesContext;
    IMbnDeviceService* deviceService;
    // One of the k...CommandSession values above.
    LONG commandSessionState;
    // kNoDataSession or kDataSessionOpen.
    LONG dataSessionOpen;
    IGlobalTools::ILog* logger;
    // Successful CoInitializeEx calls (S_OK or S_FALSE) that Release still
    // has to balance; an unbalanced CoUninitialize would end COM for the
    // caller's thread.
    LONG comInitCount;
    // Version 2's settings and the last exchange's outcome.
    WideText selectedInterface;
    DWORD answerTimeoutMs;
    HRESULT lastExchangeStatus;
};

#endif  // TOOLS_MBIM_CMBIMDEVICEEX_H
