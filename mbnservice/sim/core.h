// Internal state of one simulated service, shared by the SimulatedService
// that configures it and by every COM object it hands out (each object keeps
// the core alive), and the entry points that create its COM objects.
//
// Locking: `mutex` guards the configuration, the device state, the sinks and
// the counters. Client code (sinks, responders) is never called with it held,
// and no object or job is destroyed with it held, because destroying the last
// object stops the pool. `lifeMutex` orders object creation against that
// stop, so a stop never discards a job posted by a newer object.
#ifndef MBNSERVICE_SIM_CORE_H
#define MBNSERVICE_SIM_CORE_H

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "pool.h"
#include "provider_common.h"
#include "sink_list.h"
#include "simulator.h"

namespace mbnsim {

// The scaffolding the simulated service shares with the libmbim back end.
using mbnservice::ByteArray;
using mbnservice::MbnInterfaceUnsupported;
using mbnservice::OnPoolThread;
using mbnservice::Pool;
using mbnservice::ReadBytes;
using mbnservice::SinkList;

using U16 = std::u16string;
U16 ToU16(const WCHAR* text);  // null gives an empty string
const WCHAR* AsWchar(const U16& text);
bool SameId(const U16& a, const U16& b);  // GUID text, case ignored
U16 CanonicalServiceId(const U16& id);    // the known service's own spelling, or empty

struct SessionState {
    bool command = false;
    bool data = false;
};

// Runs with the callback that reports "the first sink call is about to start".
using CompletionBody = std::function<void(const std::function<void()>& onStart)>;

class ServiceCore {
public:
    ServiceCore();
    ~ServiceCore();
    ServiceCore(const ServiceCore&) = delete;
    ServiceCore& operator=(const ServiceCore&) = delete;

    // Object accounting; the last object going stops the pool.
    void ObjectCreated();
    void ObjectDestroyed();

    // Counts the call; the injected failure, or S_OK.
    HRESULT Check(Call call);
    ULONG NextRequestId();
    // True when the modem is present and id names it (GUID text, case
    // ignored); its interface ID is then copied to current.
    bool MatchModem(const WCHAR* id, U16& current);
    ULONG NextForeignId();
    CompletionPlan TakePlan(Request request);

    // Connection-point sinks, each connection owned by one manager object.
    DWORD AddSink(const void* owner, IMbnDeviceServicesEvents* sink);
    IMbnDeviceServicesEvents* RemoveSink(const void* owner, DWORD cookie);  // null: no such connection
    void DropSinks(const void* owner);
    size_t SinkCount() const;

    // Delivers a completion as the plan says (never on the caller's thread).
    void Dispatch(const CompletionPlan& plan, CompletionBody body);
    // Calls every advised sink, holding a reference on each for the call.
    void Deliver(Callback kind, const std::function<void()>& onStart,
                 const std::function<void(IMbnDeviceServicesEvents*)>& call);

    SessionState Session(const U16& serviceId) const;
    void SetSession(const U16& serviceId, bool command, bool open);

    // The AT service's answer to a SetCommand payload (modem or responder).
    std::string Answer(ULONG commandId, const std::string& payload);
    std::string FeedModem(const std::string& bytes);

    mutable std::mutex mutex;
    std::condition_variable changed;  // held, callback and registration changes

    // Device configuration.
    bool modemPresent = true;
    MBN_READY_STATE readyState = MBN_READY_STATE_INITIALIZED;
    U16 interfaceId;
    Modem modem;
    bool lengthPrefixed = false;
    std::function<std::string(ULONG, const std::string&)> responder;
    std::map<U16, SessionState> sessions;  // by lower-case service ID
    ULONG maxCommandSize = 4096;

    // Faults and plans.
    struct Fault {
        HRESULT hr = S_OK;
        int times = 0;  // -1: every call
    };
    std::array<Fault, static_cast<size_t>(Call::Count_)> faults{};
    std::array<size_t, static_cast<size_t>(Call::Count_)> callCounts{};
    std::array<CompletionPlan, static_cast<size_t>(Request::Count_)> standing{};
    std::array<std::deque<CompletionPlan>, static_cast<size_t>(Request::Count_)> queued{};
    std::deque<Pool::Job> held;

    // Observations.
    std::array<size_t, static_cast<size_t>(Callback::Count_)> started{};
    std::array<size_t, static_cast<size_t>(Callback::Count_)> finished{};
    std::vector<SetCommandRecord> setCommands;
    std::vector<std::string> dataWritten;

    // Accounting (read without the lock).
    std::atomic<long> live{0};
    std::atomic<long> refs{0};
    std::atomic<long> sinkRefs{0};
    std::atomic<long> factories{0};
    std::atomic<long> serverLocks{0};

private:
    SinkList sinks_;
    ULONG nextRequestId_ = 1;
    ULONG nextForeignId_ = 1;
    std::mutex lifeMutex_;
    long liveGuarded_ = 0;  // live, under lifeMutex_

public:
    Pool pool;  // last: destroyed (threads joined) before everything above
};

// A class factory for one of the two manager CLSIDs, or
// CLASS_E_CLASSNOTAVAILABLE.
HRESULT CreateClassObject(const std::shared_ptr<ServiceCore>& core, REFCLSID clsid, REFIID iid, void** object);
// A device-service object for unsolicited deliveries (one reference, the
// caller's).
IMbnDeviceService* CreateDeviceServiceObject(const std::shared_ptr<ServiceCore>& core, const U16& interfaceId,
                                             const U16& serviceId);

}  // namespace mbnsim

#endif  // MBNSERVICE_SIM_CORE_H
