// The MBIM channel: COM set-up and the sink's registration (Open, Release),
// command sessions and the SetCommand exchange, and data sessions. The
// platform answers every request on its own threads; the channel meets those
// answers only through its sink's events and kept response.
#include "tools/mbim/CMbimDeviceEx.h"

#include "tools/ZeroFilled.h"
#include "tools/log/LogLevel.h"
#include "tools/mbim/CDefaultServiceEvent.h"

namespace {

// Lets the result of a completion through as an HRESULT that callers can
// test with FAILED: a status that is not 0 but not negative either still
// means the command failed.
HRESULT StatusAsFailure(HRESULT status) { return FAILED(status) ? status : E_FAIL; }

const HRESULT kNoAnswerInTime = HRESULT_FROM_WIN32(ERROR_TIMEOUT);

// UTF-16 text as UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf8(const WCHAR* text, size_t length) {
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        unsigned long c = static_cast<unsigned short>(text[i]);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < length && static_cast<unsigned short>(text[i + 1]) >= 0xDC00 &&
            static_cast<unsigned short>(text[i + 1]) < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<unsigned short>(text[++i]) - 0xDC00);
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string Utf8(BSTR text) { return text ? Utf8(text, SysStringLen(text)) : std::string(); }

// Interface IDs compare as the API prints them, ASCII case ignored.
bool SameIdText(const WCHAR* id, const WideText& wanted) {
    size_t i = 0;
    for (; id[i] != 0 && i < wanted.size(); ++i) {
        unsigned a = static_cast<unsigned short>(id[i]);
        unsigned b = wanted[i];
        if (a >= 'A' && a <= 'Z') a += 'a' - 'A';
        if (b >= 'A' && b <= 'Z') b += 'a' - 'A';
        if (a != b) return false;
    }
    return id[i] == 0 && i == wanted.size();
}

}  // namespace

// The device-service calls, the sink's wait and the log lines of one kind of
// session, and the states its field takes.
struct MbimSessionKind {
    decltype(&IMbnDeviceService::get_IsCommandSessionOpen) isOpen;
    decltype(&IMbnDeviceService::OpenCommandSession) open;
    decltype(&IMbnDeviceService::CloseCommandSession) close;
    DWORD (CDefaultServiceEvent::*waitCompletion)();
    const char* notOpenLine;
    // Given the HRESULT of the open call, which the command line leaves out.
    const char* openFailedLine;
    const char* closeFailedLine;
    // A session found already open; one opened by this channel, the only
    // state in which the channel closes it again; none.
    LONG foundOpenState;
    LONG openedState;
    LONG closedState;
};

namespace {

// Someone else's command session is used but never closed by this channel.
const MbimSessionKind kCommandSession = {
    &IMbnDeviceService::get_IsCommandSessionOpen,
    &IMbnDeviceService::OpenCommandSession,
    &IMbnDeviceService::CloseCommandSession,
    &CDefaultServiceEvent::GetSessionRlt,
    "[?]SendData(): FALSE == IsCommandSessionOpened",
    "[error] OpenCommandSession(): 0 == requestID",
    "[?]SendData(): CloseCommandSession hr = 0x%x",
    CMbimDeviceEx::kCommandSessionFoundOpen,
    CMbimDeviceEx::kCommandSessionOpened,
    CMbimDeviceEx::kNoCommandSession,
};

// A data session found open is taken over, and closed, as the channel's own.
const MbimSessionKind kDataSession = {
    &IMbnDeviceService::get_IsDataSessionOpen,
    &IMbnDeviceService::OpenDataSession,
    &IMbnDeviceService::CloseDataSession,
    &CDefaultServiceEvent::GetDataSessionRlt,
    "[?]OpenDataSession(): FALSE == IsDataSessionOpened",
    "[error] OpenDataSession(): hr = 0x%x",
    "[?]CloseDataSession(): CloseDataSession hr = 0x%x",
    CMbimDeviceEx::kDataSessionOpen,
    CMbimDeviceEx::kDataSessionOpen,
    CMbimDeviceEx::kNoDataSession,
};

}  // namespace

CMbimDeviceEx::CMbimDeviceEx()
    : adviseLock(),
      adviseList(),
      pMbnDeviceServicesManager(nullptr),
      pMbnInterfaceManager(nullptr),
      sink(nullptr),
      pMbnInterface(nullptr),
      pMbnDeviceServicesContext(nullptr),
      deviceService(nullptr),
      commandSessionState(kNoCommandSession),
      dataSessionOpen(kNoDataSession),
      logger(GetSharedLog()),
      comInitCount(0),
      selectedInterface(),
      answerTimeoutMs(5000),
      lastExchangeStatus(S_OK) {
    InitializeCriticalSection(&adviseLock);
}

CMbimDeviceEx::~CMbimDeviceEx() {
    DeleteCriticalSection(&adviseLock);
    logger->Release();
}

// ---------------------------------------------------------------------------
// Lifetime

HRESULT CMbimDeviceEx::Open() {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        logger->Log(kLogLevelEssential, "[error]Open() COM Initialize failed");
        return hr;
    }
    ++comInitCount;

    // A repeated Open replaces the managers; the old ones are given back.
    if (pMbnInterfaceManager) {
        pMbnInterfaceManager->Release();
        pMbnInterfaceManager = nullptr;
    }
    if (pMbnDeviceServicesManager) {
        pMbnDeviceServicesManager->Release();
        pMbnDeviceServicesManager = nullptr;
    }

    hr = CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL, IID_IMbnInterfaceManager,
                          reinterpret_cast<void**>(&pMbnInterfaceManager));
    if (FAILED(hr)) {
        logger->Log(kLogLevelEssential, "[error]Open() failed: IID_IMbnInterfaceManager");
        return hr;
    }

    hr = CoCreateInstance(CLSID_MbnDeviceServicesManager, nullptr, CLSCTX_ALL, IID_IMbnDeviceServicesManager,
                          reinterpret_cast<void**>(&pMbnDeviceServicesManager));
    if (!pMbnDeviceServicesManager) {
        logger->Log(kLogLevelEssential, "[error]Open() failed: IID_IMbnDeviceServicesManager");
        return hr;
    }

    sink = NewZeroFilled<CDefaultServiceEvent>();
    sink->SetResponseTimeout(answerTimeoutMs);
    hr = AdviseEvents(sink, IID_IMbnDeviceServicesEvents);
    if (hr != S_OK) {
        // Not in the advise list, so nothing else would give it back.
        sink->Release();
        sink = nullptr;
    }
    return hr;
}

HRESULT CMbimDeviceEx::AdviseEvents(CDefaultServiceEvent* eventSink, IID iid) {
    IConnectionPointContainer* container = nullptr;
    HRESULT hr =
        pMbnDeviceServicesManager->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    if (hr != S_OK) {
        logger->Log(kLogLevelEssential, "[error]Open() failed: IID_IMbnDeviceServicesEventsp hResult = %x",
                    static_cast<unsigned int>(hr));
        if (container) container->Release();
        return hr;
    }

    // The container serves only to find the connection point.
    IConnectionPoint* connectionPoint = nullptr;
    hr = container->FindConnectionPoint(iid, &connectionPoint);
    container->Release();
    if (hr != S_OK) {
        logger->Log(kLogLevelEssential, "[error]Open() failed: IID_IMbnDeviceServicesEventsp hResult = %x",
                    static_cast<unsigned int>(hr));
        if (connectionPoint) connectionPoint->Release();
        return hr;
    }

    DWORD cookie = 0;
    hr = connectionPoint->Advise(eventSink, &cookie);
    if (FAILED(hr)) {
        logger->Log(kLogLevelEssential, "[error]Open() failed: IID_IMbnDeviceServicesEventsp hResult = %x",
                    static_cast<unsigned int>(hr));
        connectionPoint->Release();
        return hr;
    }

    EnterCriticalSection(&adviseLock);
    adviseList.push_back(AdviseEntry{eventSink, connectionPoint, cookie});
    LeaveCriticalSection(&adviseLock);
    return S_OK;
}

void CMbimDeviceEx::Release() {
    // Unadvise calls into the platform, which may call back or wait for its
    // own callbacks, so no lock of ours is held across it.
    std::vector<AdviseEntry> entries;
    EnterCriticalSection(&adviseLock);
    entries.swap(adviseList);
    LeaveCriticalSection(&adviseLock);
    for (const AdviseEntry& entry : entries) {
        entry.connectionPoint->Unadvise(entry.cookie);
        // The channel's own reference: the sink ends here unless the
        // platform still holds one.
        entry.sink->Release();
        entry.connectionPoint->Release();
    }

    if (pMbnDeviceServicesManager) pMbnDeviceServicesManager->Release();
    if (pMbnInterfaceManager) pMbnInterfaceManager->Release();
    if (pMbnDeviceServicesContext) pMbnDeviceServicesContext->Release();
    if (deviceService) deviceService->Release();
    // Left by a session that was opened and never closed.
    if (pMbnInterface) pMbnInterface->Release();

    while (comInitCount > 0) {
        CoUninitialize();
        --comInitCount;
    }
    delete this;
}

bool CMbimDeviceEx::IsReady() const { return pMbnInterfaceManager && pMbnDeviceServicesManager && sink; }

// ---------------------------------------------------------------------------
// Session objects

IMbnInterface* CMbimDeviceEx::GetFirstInterface() {
    SAFEARRAY* interfaces = nullptr;
    HRESULT hr = pMbnInterfaceManager->GetInterfaces(&interfaces);
    if (FAILED(hr)) {
        logger->Log(kLogLevelEssential, "[error]GetFirstInterface(): GetInterfaces hr=0x%x",
                    static_cast<unsigned int>(hr));
        return nullptr;
    }

    IMbnInterface* found = nullptr;
    LONG lower = 0;
    LONG upper = -1;
    // An empty array (upper bound below the lower one) means no modem.
    if (interfaces && SUCCEEDED(SafeArrayGetLBound(interfaces, 1, &lower)) &&
        SUCCEEDED(SafeArrayGetUBound(interfaces, 1, &upper)) && upper >= lower) {
        // Without a selection only the first element is looked at.
        const LONG last = selectedInterface.empty() ? lower : upper;
        for (LONG index = lower; index <= last && !found; ++index) {
            // The element comes back with a reference of its own.
            hr = SafeArrayGetElement(interfaces, &index, &found);
            if (FAILED(hr)) {
                logger->Log(kLogLevelEssential, "[error]GetFirstInterface(): SafeArrayGetElement hr=0x%x",
                            static_cast<unsigned int>(hr));
                found = nullptr;
            } else if (found && !selectedInterface.empty() && !IsSelected(found)) {
                found->Release();
                found = nullptr;
            }
        }
        if (found) {
            // A modem that is not ready is still used; its state is only
            // worth a line in the log.
            MBN_READY_STATE readyState = MBN_READY_STATE_OFF;
            hr = found->GetReadyState(&readyState);
            if (FAILED(hr)) {
                logger->Log(kLogLevelEssential, "[error]GetFirstInterface(): GetReadyState hr=0x%x",
                            static_cast<unsigned int>(hr));
            } else {
                logger->Log(kLogLevelEssential, "[ok]GetFirstInterface(): readyState=%d", static_cast<int>(readyState));
            }
        } else if (!selectedInterface.empty()) {
            logger->Log(kLogLevelEssential, "[error]GetFirstInterface(): no interface %s",
                        Utf8(WidePtr(selectedInterface), selectedInterface.size()).c_str());
        }
    }
    if (interfaces) SafeArrayDestroy(interfaces);
    return found;
}

bool CMbimDeviceEx::IsSelected(IMbnInterface* modem) {
    BSTR id = nullptr;
    bool same = SUCCEEDED(modem->get_InterfaceID(&id)) && id && SameIdText(id, selectedInterface);
    SysFreeString(id);
    return same;
}

SAFEARRAY* CMbimDeviceEx::CharBufferToSafeArray(const char* data, unsigned int len) {
    SAFEARRAYBOUND bound;
    bound.cElements = len;
    bound.lLbound = 0;
    SAFEARRAY* array = SafeArrayCreate(VT_UI1, 1, &bound);
    if (!array) {
        logger->Log(kLogLevelEssential, "[?]CharBufferToSafeArray(): NULL == psa ");
        return nullptr;
    }
    for (unsigned int i = 0; i < len; ++i) {
        LONG index = static_cast<LONG>(i);
        SafeArrayPutElement(array, &index, const_cast<char*>(&data[i]));
    }
    return array;
}

bool CMbimDeviceEx::FindDeviceService(const WCHAR* serviceId) {
    // A repeated open replaces the session objects; the old ones are given
    // back first, so that a failure below leaves none of them behind.
    ReleaseSessionObjects();

    BSTR serviceIdCopy = SysAllocString(serviceId);
    bool found = false;
    pMbnInterface = GetFirstInterface();
    if (!pMbnInterface) {
        logger->Log(kLogLevelEssential, "[error]GetFirstInterface() error! pMbnInterface == NULL");
    } else {
        BSTR interfaceId = nullptr;
        HRESULT hr = pMbnInterface->get_InterfaceID(&interfaceId);
        if (FAILED(hr)) {
            logger->Log(kLogLevelEssential, "[error]SendData() error! get_InterfaceID() hr=0x%x",
                        static_cast<unsigned int>(hr));
        } else {
            hr = pMbnDeviceServicesManager->GetDeviceServicesContext(interfaceId, &pMbnDeviceServicesContext);
            if (!pMbnDeviceServicesContext) {
                logger->Log(kLogLevelEssential, "[error]SendData() error! NULL == pMbnDeviceServicesContext hr=0x%x",
                            static_cast<unsigned int>(hr));
            } else {
                hr = pMbnDeviceServicesContext->GetDeviceService(serviceIdCopy, &deviceService);
                if (!deviceService) {
                    logger->Log(kLogLevelEssential, "[error]SendData() error! NULL == deviceService hr=0x%x",
                                static_cast<unsigned int>(hr));
                } else {
                    found = true;
                }
            }
        }
        SysFreeString(interfaceId);
    }
    SysFreeString(serviceIdCopy);
    return found;
}

void CMbimDeviceEx::ReleaseSessionObjects() {
    if (deviceService) {
        deviceService->Release();
        deviceService = nullptr;
    }
    if (pMbnDeviceServicesContext) {
        pMbnDeviceServicesContext->Release();
        pMbnDeviceServicesContext = nullptr;
    }
    if (pMbnInterface) {
        pMbnInterface->Release();
        pMbnInterface = nullptr;
    }
}

// ---------------------------------------------------------------------------
// Command session and exchange

HRESULT CMbimDeviceEx::OpenSession(const WCHAR* serviceId) {
    return OpenSessionOf(serviceId, kCommandSession, commandSessionState);
}

HRESULT CMbimDeviceEx::SendData(const char* data, unsigned int len, std::string& response,
                                IGlobalTools::IAtParser* parser, const WCHAR* serviceId, ULONG commandId) {
    lastExchangeStatus = E_FAIL;
    if (!IsReady()) return E_FAIL;

    HRESULT result = E_FAIL;
    bool timedOut = false;
    std::string parsed;
    SAFEARRAY* array = nullptr;

    sink->ResetExchange();
    HRESULT hr = OpenSession(serviceId);
    if (hr != S_OK) {
        logger->Log(kLogLevelEssential, "[Fail]OpenSession Fail hr = 0x%x", static_cast<unsigned int>(hr));
        result = hr;
    } else {
        logger->Log(kLogLevelProgress, "[Success] OpenSession success hr = 0x%x", 0);
        array = CharBufferToSafeArray(data, len);
        ULONG requestID = 0;
        hr = deviceService->SetCommand(commandId, array, &requestID);
        result = hr;
        if (FAILED(hr)) {
            logger->Log(kLogLevelEssential, "[Fail]SendData(): SetCommand hr = 0x%x", static_cast<unsigned int>(hr));
        } else {
            sink->SetRequestId(requestID);
            logger->Log(kLogLevelProgress, "[success]SetCommand success. Request Id is %d",
                        static_cast<int>(requestID));
            // The caller's string changes only when a good answer came.
            std::string received;
            HRESULT status = S_OK;
            if (sink->GetResponse(received, status) != WAIT_OBJECT_0) {
                logger->Log(kLogLevelEssential, "[Fail] Wait SetCommand Fail \r\n");
                result = E_FAIL;
                timedOut = true;
            } else if (status != S_OK) {
                logger->Log(kLogLevelEssential, "[Fail]SendData(): Command Response hr = 0x%x",
                            static_cast<unsigned int>(status));
                result = StatusAsFailure(status);
            } else {
                result = S_OK;
                if (parser) {
                    parser->Parse(received.data(), static_cast<unsigned int>(received.size()), parsed);
                    response.assign(parsed);
                } else {
                    response.assign(received);
                }
                logger->Log(kLogLevelProgress, "[success]Get Command Response success \r\n");
            }
        }
    }

    if (array) SafeArrayDestroy(array);
    CloseSession();
    lastExchangeStatus = timedOut ? kNoAnswerInTime : result;
    return result;
}

HRESULT CMbimDeviceEx::Sendmsg(const char* data, unsigned int len, ULONG commandId) {
    HRESULT result = E_FAIL;
    lastExchangeStatus = E_FAIL;
    if (commandSessionState == kNoCommandSession) {
        logger->Log(kLogLevelEssential, "[Fail]Session is not open!");
        return result;
    }
    // kCommandSessionFoundOpen survives CloseSession without the session objects.
    if (!deviceService || !sink) return result;

    SAFEARRAY* array = CharBufferToSafeArray(data, len);
    ULONG requestID = 0;
    HRESULT hr = deviceService->SetCommand(commandId, array, &requestID);
    result = hr;
    if (FAILED(hr)) {
        logger->Log(kLogLevelEssential, "[?]SendData(): SetCommand hr = 0x%x", static_cast<unsigned int>(hr));
    } else {
        sink->SetRequestId(requestID);
    }
    if (array) SafeArrayDestroy(array);
    lastExchangeStatus = result;
    return result;
}

HRESULT CMbimDeviceEx::Recvmsg(std::string& response) {
    lastExchangeStatus = E_FAIL;
    if (commandSessionState == kNoCommandSession) {
        logger->Log(kLogLevelEssential, "[Fail]Recvmsg Session is not open!");
        return E_FAIL;
    }
    if (!sink) return E_FAIL;

    std::string received;
    HRESULT status = S_OK;
    if (sink->GetResponse(received, status) != WAIT_OBJECT_0) {
        lastExchangeStatus = kNoAnswerInTime;
        return E_FAIL;
    }
    if (status != S_OK) {
        lastExchangeStatus = StatusAsFailure(status);
        return lastExchangeStatus;
    }
    response.swap(received);
    lastExchangeStatus = S_OK;
    return S_OK;
}

void CMbimDeviceEx::CloseSession() { CloseSessionOf(kCommandSession, commandSessionState); }

HRESULT CMbimDeviceEx::OpenSessionOf(const WCHAR* serviceId, const MbimSessionKind& kind, LONG& state) {
    if (!IsReady()) return E_FAIL;
    if (!FindDeviceService(serviceId)) return E_FAIL;

    BOOL isOpen = FALSE;
    (deviceService->*kind.isOpen)(&isOpen);
    if (isOpen) {
        logger->Log(kLogLevelEssential, "[Success] Session is Opend ");
        state = kind.foundOpenState;
        return S_OK;
    }

    logger->Log(kLogLevelEssential, kind.notOpenLine);
    ULONG requestID = 0;
    HRESULT hr = (deviceService->*kind.open)(&requestID);
    if (hr != S_OK) {
        logger->Log(kLogLevelEssential, kind.openFailedLine, static_cast<unsigned int>(hr));
        return E_FAIL;
    }
    // Any completion of this kind of session ends the wait; its request ID
    // is not compared.
    if ((sink->*kind.waitCompletion)() != WAIT_OBJECT_0) {
        logger->Log(kLogLevelEssential, "[error] GetSessionRlt Fail");
        return E_FAIL;
    }
    logger->Log(kLogLevelEssential, "[Success] Open Session Success");
    state = kind.openedState;
    return S_OK;
}

void CMbimDeviceEx::CloseSessionOf(const MbimSessionKind& kind, LONG& state) {
    if (state == kind.openedState && deviceService) {
        ULONG requestID = 0;
        HRESULT hr = (deviceService->*kind.close)(&requestID);
        if (hr != S_OK) {
            logger->Log(kLogLevelEssential, kind.closeFailedLine, static_cast<unsigned int>(hr));
        } else if (sink) {
            (sink->*kind.waitCompletion)();
        }
        state = kind.closedState;
    }
    ReleaseSessionObjects();
}

// ---------------------------------------------------------------------------
// Data session

HRESULT CMbimDeviceEx::OpenDataSession(const WCHAR* serviceId) {
    return OpenSessionOf(serviceId, kDataSession, dataSessionOpen);
}

HRESULT CMbimDeviceEx::RecvDataMsg(std::string& response) {
    if (dataSessionOpen == kNoDataSession) {
        logger->Log(kLogLevelEssential, "[Fail]Recvmsg Session is not open!");
        return E_FAIL;
    }
    if (!sink) return E_FAIL;
    return sink->GetResponse(response) == WAIT_OBJECT_0 ? S_OK : E_FAIL;
}

void CMbimDeviceEx::CloseDataSession() { CloseSessionOf(kDataSession, dataSessionOpen); }

// ---------------------------------------------------------------------------
// Version 2

HRESULT CMbimDeviceEx::SetAnswerTimeout(DWORD milliseconds) {
    if (milliseconds == 0 || milliseconds > IGlobalTools::kMaxAnswerTimeoutMs) return E_INVALIDARG;
    answerTimeoutMs = milliseconds;
    if (sink) sink->SetResponseTimeout(milliseconds);
    return S_OK;
}

HRESULT CMbimDeviceEx::SelectInterface(const WCHAR* interfaceId) {
    selectedInterface = WideCopy(interfaceId);
    return S_OK;
}

HRESULT CMbimDeviceEx::ListInterfaces(std::vector<IGlobalTools::MbimInterfaceInfo>& list) {
    list.clear();
    if (!IsReady()) return E_FAIL;
    SAFEARRAY* interfaces = nullptr;
    HRESULT hr = pMbnInterfaceManager->GetInterfaces(&interfaces);
    if (FAILED(hr)) return hr;
    LONG lower = 0;
    LONG upper = -1;
    if (interfaces && SUCCEEDED(SafeArrayGetLBound(interfaces, 1, &lower)) &&
        SUCCEEDED(SafeArrayGetUBound(interfaces, 1, &upper))) {
        for (LONG index = lower; index <= upper; ++index) {
            IMbnInterface* modem = nullptr;
            if (FAILED(SafeArrayGetElement(interfaces, &index, &modem)) || !modem) continue;
            IGlobalTools::MbimInterfaceInfo info;
            BSTR id = nullptr;
            if (SUCCEEDED(modem->get_InterfaceID(&id))) info.interfaceId = Utf8(id);
            SysFreeString(id);
            MBN_INTERFACE_CAPS caps = {};
            if (SUCCEEDED(modem->GetInterfaceCapability(&caps))) {
                info.manufacturer = Utf8(caps.manufacturer);
                info.model = Utf8(caps.model);
                for (BSTR text : {caps.customDataClass, caps.customBandClass, caps.deviceID, caps.manufacturer,
                                  caps.model, caps.firmwareInfo})
                    SysFreeString(text);
            }
            MBN_READY_STATE state = MBN_READY_STATE_OFF;
            info.readyState = SUCCEEDED(modem->GetReadyState(&state)) ? static_cast<LONG>(state) : -1;
            modem->Release();
            list.push_back(info);
        }
    }
    if (interfaces) SafeArrayDestroy(interfaces);
    return S_OK;
}

HRESULT CMbimDeviceEx::GetLastExchangeStatus() { return lastExchangeStatus; }

HRESULT CMbimDeviceEx::GetMaxCommandSize(ULONG* bytes) {
    if (!bytes) return E_POINTER;
    *bytes = 0;
    if (!IsReady()) return E_FAIL;
    IMbnInterface* modem = GetFirstInterface();
    if (!modem) return E_FAIL;
    BSTR id = nullptr;
    HRESULT hr = modem->get_InterfaceID(&id);
    IMbnDeviceServicesContext* context = nullptr;
    if (SUCCEEDED(hr)) hr = pMbnDeviceServicesManager->GetDeviceServicesContext(id, &context);
    if (SUCCEEDED(hr) && context) hr = context->get_MaxCommandSize(bytes);
    if (context) context->Release();
    SysFreeString(id);
    modem->Release();
    return hr;
}
