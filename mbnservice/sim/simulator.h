// The simulated Mobile Broadband service and modem: the platform side of the
// device-services API as the Windows service presents it (both manager
// classes, one modem interface, device-services contexts, device services,
// command and data sessions, SetCommand, WriteData and the connection point),
// with a V.250/27.007 modem behind the AT device service. Tests create a
// SimulatedService, configure it, register it as the provider of the two
// manager classes and drive the channel against it; fault hooks make every
// scenario deterministic (a completion can be held and released, or be made to
// enter the sink before the request call returns) without sleeps.
//
// Threads: completions always run on the service's own threads (a pool of
// one, grown while every thread is inside a callback), never on the caller's
// thread inside its call. The service holds a reference on each sink for the
// whole callback. The pool starts with the first completion and stops once the
// last service object is gone.
//
// Wide strings are WCHAR (UTF-16) throughout: std::wstring is not used,
// since POSIX builds make wchar_t 16-bit while the C++ library assumes 32.
//
// Lifetime: COM objects handed out keep the service's state alive, so the
// SimulatedService object may be destroyed before them; destroying it revokes
// its registration and drops held completions.
#ifndef MBNSERVICE_SIM_SIMULATOR_H
#define MBNSERVICE_SIM_SIMULATOR_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "modem.h"
#include "platform/winapi.h"

namespace mbnsim {

// The AT-command device service of the modem's driver.
extern const WCHAR kAtServiceId[];  // L"{ffffffff-abca-4b11-a4e2-f2fc87f94488}"
// Two standard MBIM services the device also lists; they take sessions but
// answer every SetCommand with kStatusNotSupported and no data.
extern const WCHAR kBasicConnectServiceId[];  // L"{a289cc33-bcbb-8b4f-b6b0-133ec2aae6df}"
extern const WCHAR kSmsServiceId[];           // L"{533fbeeb-14fe-4467-9f90-33a223e56c3f}"
// Interface ID of the simulated modem (IMbnInterface::get_InterfaceID).
extern const WCHAR kDefaultInterfaceId[];  // L"{5f4c3b2a-0000-4d1e-9a5b-53494d4d4f44}"

// The only command ID the AT service accepts.
constexpr ULONG kAtCommandId = 1;
// Results the service produces on its own.
constexpr HRESULT kStatusNotSupported = static_cast<HRESULT>(0x80070032);  // HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)
constexpr HRESULT kErrorNotFound = static_cast<HRESULT>(0x80070490);       // HRESULT_FROM_WIN32(ERROR_NOT_FOUND)
constexpr HRESULT kErrorInvalidState = static_cast<HRESULT>(0x8007139F);   // HRESULT_FROM_WIN32(ERROR_INVALID_STATE)
// Request IDs carried by foreign completions (CompletionPlan::foreignIdFirst)
// have this bit set; the service never issues such an ID itself.
constexpr ULONG kForeignRequestIdBit = 0x80000000u;

// Every platform call a test can make fail. The call returns the configured
// HRESULT (and no object, request ID or completion) instead of doing its work.
enum class Call : int {
    CreateInterfaceManager,         // IClassFactory::CreateInstance for CLSID_MbnInterfaceManager
    CreateDeviceServicesManager,    // ... for CLSID_MbnDeviceServicesManager
    QueryConnectionPointContainer,  // manager QueryInterface(IID_IConnectionPointContainer)
    FindConnectionPoint,
    Advise,
    Unadvise,
    GetInterfaces,
    GetInterface,
    GetReadyState,
    InterfaceGetInterfaceID,  // IMbnInterface::get_InterfaceID
    GetDeviceServicesContext,
    GetDeviceService,
    IsCommandSessionOpen,
    IsDataSessionOpen,
    OpenCommandSession,
    CloseCommandSession,
    SetCommand,
    QueryCommand,
    OpenDataSession,
    CloseDataSession,
    WriteData,
    Count_
};
const char* CallName(Call call);

// The asynchronous requests, each answered by one completion callback.
enum class Request : int {
    OpenCommandSession,   // OnOpenCommandSessionComplete
    CloseCommandSession,  // OnCloseCommandSessionComplete
    SetCommand,           // OnSetCommandComplete
    QueryCommand,         // OnQueryCommandComplete
    OpenDataSession,      // OnOpenDataSessionComplete
    CloseDataSession,     // OnCloseDataSessionComplete
    WriteData,            // OnWriteDataComplete
    Count_
};

// Sink callbacks the service makes, counted per kind (CallbacksStarted...).
enum class Callback : int {
    OpenCommandSessionComplete,
    CloseCommandSessionComplete,
    SetCommandComplete,
    QueryCommandComplete,
    OpenDataSessionComplete,
    CloseDataSessionComplete,
    WriteDataComplete,
    ReadData,
    QuerySupportedCommandsComplete,
    Count_
};

// How a request's completion is delivered.
enum class Delivery : int {
    Normal,        // queued to the pool when the request is accepted
    Never,         // no completion at all
    Held,          // parked until ReleaseHeld (or dropped by DropHeld)
    BeforeReturn,  // the request call returns only after the callback has
                   // started on a pool thread (bounded by 10 s)
    Delayed,       // queued to run delayMs after the request
};

struct CompletionPlan {
    Delivery delivery = Delivery::Normal;
    DWORD delayMs = 0;                    // Delivery::Delayed only
    HRESULT status = S_OK;                // status the completion carries; a failure
                                          // status comes with a NULL data array and the
                                          // request has no effect (session state, modem)
    bool emptyData = false;               // OnSetCommandComplete with a zero-element array
    bool foreignIdFirst = false;          // SetCommand: a completion with another request
                                          // ID (kForeignRequestIdBit set, data
                                          // "\r\nFOREIGN\r\n") is delivered first; the
                                          // real one follows when its callback returned
    std::optional<std::string> response;  // SetCommand: these bytes instead of
                                          // the modem's answer (the modem is
                                          // not fed)
};

// A plan with only the delivery chosen (aggregate initialisation would warn
// about the members left out).
inline CompletionPlan Plan(Delivery delivery, DWORD delayMs = 0) {
    CompletionPlan plan;
    plan.delivery = delivery;
    plan.delayMs = delayMs;
    return plan;
}

struct SetCommandRecord {
    ULONG commandId = 0;
    std::string payload;
    ULONG requestId = 0;
};

// True on a thread of any simulated service's pool.
bool OnServiceThread();

class ServiceCore;

class SimulatedService {
public:
    SimulatedService();
    ~SimulatedService();
    SimulatedService(const SimulatedService&) = delete;
    SimulatedService& operator=(const SimulatedService&) = delete;

    // --- registration -------------------------------------------------
    // CoRegisterClassObject for both manager CLSIDs (CLSCTX_INPROC_SERVER,
    // REGCLS_MULTIPLEUSE); the calling thread must have COM initialised and
    // COM must stay initialised while registered. Revoke undoes it (also done
    // by the destructor).
    HRESULT Register();
    void Revoke();
    // DllGetClassObject-style entry: a class factory for either manager CLSID,
    // else CLASS_E_CLASSNOTAVAILABLE.
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** object);

    // --- the device ---------------------------------------------------
    void SetModemPresent(bool present);         // false: GetInterfaces lists nothing
    void SetReadyState(MBN_READY_STATE state);  // default MBN_READY_STATE_INITIALIZED
    void SetInterfaceId(const WCHAR* id);       // default kDefaultInterfaceId
    void SetModem(const ModemConfig& config);   // replaces the modem (state reset)
    void SetLengthPrefixed(bool on);            // AT answers wrapped (LengthPrefixed)
    // Answers SetCommand on the AT service instead of the modem (data is the
    // payload; the result is the response bytes). Empty function: the modem.
    void SetResponder(std::function<std::string(ULONG commandId, const std::string& data)> responder);
    // Session already open on a device service, as left by another client.
    // Service IDs compare without regard to case.
    void SetCommandSessionOpen(const WCHAR* serviceId, bool open);
    void SetDataSessionOpen(const WCHAR* serviceId, bool open);
    bool IsCommandSessionOpen(const WCHAR* serviceId) const;
    bool IsDataSessionOpen(const WCHAR* serviceId) const;
    void SetMaxCommandSize(ULONG bytes);  // default 4096; a larger payload: E_INVALIDARG

    // --- faults -------------------------------------------------------
    // The next `times` calls (-1: every call) return hr.
    void FailCall(Call call, HRESULT hr, int times = -1);
    void ClearFaults();
    // Plan for every request of a kind (default: normal, S_OK).
    void SetCompletion(Request request, const CompletionPlan& plan);
    // One-shot plans, used in order by the next requests of that kind before
    // the standing plan applies.
    void QueueCompletion(Request request, const CompletionPlan& plan);
    // OnReadData with these bytes on the AT device service, delivered to every
    // advised sink whatever the session state (unsolicited data).
    void PushData(const std::string& bytes);

    // --- deterministic hooks (timeouts in ms; false when they expired) ----
    bool WaitHeld(size_t count, DWORD timeoutMs);  // at least count held
    size_t HeldCount() const;
    size_t ReleaseHeld(size_t count = SIZE_MAX);  // oldest first; returns how many
    size_t DropHeld();                            // discarded, never delivered
    // Until no completion is queued, delayed or running (held ones excluded).
    bool WaitIdle(DWORD timeoutMs);
    // Until at least count callbacks of that kind have started / returned.
    bool WaitCallbacksStarted(Callback kind, size_t count, DWORD timeoutMs);
    bool WaitCallbacksFinished(Callback kind, size_t count, DWORD timeoutMs);
    size_t CallbacksStarted(Callback kind) const;
    size_t CallbacksFinished(Callback kind) const;

    // --- what happened ------------------------------------------------
    size_t CallCount(Call call) const;                  // calls made, failed ones included
    std::vector<SetCommandRecord> SetCommands() const;  // accepted, in order
    std::optional<SetCommandRecord> LastSetCommand() const;
    std::vector<std::string> DataWritten() const;  // accepted WriteData payloads

    // --- leak accounting ----------------------------------------------
    // COM objects of the service alive now (class factories excluded).
    long LiveObjects() const;
    // Sum of the reference counts of those objects: references held by
    // clients, by arrays handed out and by queued or held completions.
    long OutstandingRefs() const;
    // References the service holds on client sinks (advise connections plus
    // callbacks running now).
    long SinkRefs() const;
    size_t AdviseConnections() const;
    size_t ServiceThreads() const;  // pool threads not yet joined
    // Nothing of the service in use: no object, class factory, server lock
    // or held completion (DllCanUnloadNow).
    bool CanUnload() const;

private:
    std::shared_ptr<ServiceCore> core_;
    DWORD cookies_[2] = {0, 0};
    bool registered_ = false;
};

// The service atcmd talks to on POSIX and through mbnsim.dll: a ready modem
// with echo off. For runs of the whole program, in a build with the
// GLOBALTOOLS_TEST_HOOKS option (not the packages, not the Windows release),
// the environment can put it into a fault when it is first used:
//   MBNSIM_FAIL=<CallName>[:<hex HRESULT>]  FailCall(call, hr) for every call
//                                           (hr defaults to E_FAIL; names as
//                                           CallName gives them)
//   MBNSIM_NO_MODEM=1                       SetModemPresent(false)
//   MBNSIM_DELAY=<ms> | <Request>:<ms>,...  every completion, or those of the
//                                           named requests (as enum Request
//                                           names them), Delivery::Delayed
// Unknown names and malformed values are ignored.
SimulatedService& DefaultService();

}  // namespace mbnsim

#endif  // MBNSERVICE_SIM_SIMULATOR_H
