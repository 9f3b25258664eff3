// The simulated service's shared state (ServiceCore) and the test-facing
// SimulatedService that configures and observes it.
#include "core.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

namespace mbnsim {

namespace {

// BeforeReturn deliveries wait this long at most for the callback to start.
constexpr auto kBeforeReturnWait = std::chrono::seconds(10);

char16_t Lower(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + (u'a' - u'A')) : c; }

U16 LowerId(const U16& id) {
    U16 out(id);
    for (auto& c : out) c = Lower(c);
    return out;
}

const char* const kCallNames[] = {"CreateInterfaceManager",
                                  "CreateDeviceServicesManager",
                                  "QueryConnectionPointContainer",
                                  "FindConnectionPoint",
                                  "Advise",
                                  "Unadvise",
                                  "GetInterfaces",
                                  "GetInterface",
                                  "GetReadyState",
                                  "InterfaceGetInterfaceID",
                                  "GetDeviceServicesContext",
                                  "GetDeviceService",
                                  "IsCommandSessionOpen",
                                  "IsDataSessionOpen",
                                  "OpenCommandSession",
                                  "CloseCommandSession",
                                  "SetCommand",
                                  "QueryCommand",
                                  "OpenDataSession",
                                  "CloseDataSession",
                                  "WriteData"};
static_assert(sizeof(kCallNames) / sizeof(kCallNames[0]) == static_cast<size_t>(Call::Count_), "one name per call");

size_t Index(Call c) { return static_cast<size_t>(c); }
size_t Index(Request r) { return static_cast<size_t>(r); }
size_t Index(Callback c) { return static_cast<size_t>(c); }

}  // namespace

const WCHAR kAtServiceId[] = L"{ffffffff-abca-4b11-a4e2-f2fc87f94488}";
const WCHAR kBasicConnectServiceId[] = L"{a289cc33-bcbb-8b4f-b6b0-133ec2aae6df}";
const WCHAR kSmsServiceId[] = L"{533fbeeb-14fe-4467-9f90-33a223e56c3f}";
const WCHAR kDefaultInterfaceId[] = L"{5f4c3b2a-0000-4d1e-9a5b-53494d4d4f44}";

const char* CallName(Call call) {
    const size_t i = Index(call);
    return i < static_cast<size_t>(Call::Count_) ? kCallNames[i] : "?";
}

bool OnServiceThread() { return OnPoolThread(); }

U16 ToU16(const WCHAR* text) {
    U16 out;
    if (text)
        for (; *text; ++text) out.push_back(static_cast<char16_t>(*text));
    return out;
}

const WCHAR* AsWchar(const U16& text) {
    static_assert(sizeof(WCHAR) == sizeof(char16_t), "WCHAR is UTF-16");
    return reinterpret_cast<const WCHAR*>(text.c_str());
}

bool SameId(const U16& a, const U16& b) { return LowerId(a) == LowerId(b); }

U16 CanonicalServiceId(const U16& id) {
    for (const WCHAR* known : {kAtServiceId, kBasicConnectServiceId, kSmsServiceId}) {
        U16 k = ToU16(known);
        if (SameId(k, id)) return k;
    }
    return U16();
}

// ---------------------------------------------------------------------------
// ServiceCore

ServiceCore::ServiceCore() : interfaceId(ToU16(kDefaultInterfaceId)) {}

ServiceCore::~ServiceCore() {
    // Every object holds the core, so none is left; sinks can remain only if
    // a connection was never undone and its manager is gone, which DropSinks
    // prevents.
    for (IMbnDeviceServicesEvents* sink : sinks_.RemoveAll(nullptr)) {
        sink->Release();
        --sinkRefs;
    }
}

void ServiceCore::ObjectCreated() {
    std::lock_guard<std::mutex> lock(lifeMutex_);
    ++liveGuarded_;
    ++live;
}

void ServiceCore::ObjectDestroyed() {
    std::lock_guard<std::mutex> lock(lifeMutex_);
    --live;
    if (--liveGuarded_ == 0) pool.Stop();
}

bool ServiceCore::MatchModem(const WCHAR* id, U16& current) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!modemPresent || !SameId(interfaceId, ToU16(id))) return false;
    current = interfaceId;
    return true;
}

HRESULT ServiceCore::Check(Call call) {
    std::lock_guard<std::mutex> lock(mutex);
    ++callCounts[Index(call)];
    Fault& f = faults[Index(call)];
    if (f.times == 0) return S_OK;
    if (f.times > 0) --f.times;
    return f.hr;
}

ULONG ServiceCore::NextRequestId() {
    std::lock_guard<std::mutex> lock(mutex);
    ULONG id = nextRequestId_++ & ~kForeignRequestIdBit;
    if (id == 0) id = nextRequestId_++ & ~kForeignRequestIdBit;
    return id;
}

ULONG ServiceCore::NextForeignId() {
    std::lock_guard<std::mutex> lock(mutex);
    return kForeignRequestIdBit | (nextForeignId_++ & ~kForeignRequestIdBit);
}

CompletionPlan ServiceCore::TakePlan(Request request) {
    std::lock_guard<std::mutex> lock(mutex);
    auto& q = queued[Index(request)];
    if (q.empty()) return standing[Index(request)];
    CompletionPlan plan = q.front();
    q.pop_front();
    return plan;
}

DWORD ServiceCore::AddSink(const void* owner, IMbnDeviceServicesEvents* sink) {
    std::lock_guard<std::mutex> lock(mutex);
    const DWORD cookie = sinks_.Add(owner, sink);
    ++sinkRefs;
    changed.notify_all();
    return cookie;
}

IMbnDeviceServicesEvents* ServiceCore::RemoveSink(const void* owner, DWORD cookie) {
    std::lock_guard<std::mutex> lock(mutex);
    IMbnDeviceServicesEvents* sink = sinks_.Remove(owner, cookie);
    if (sink) changed.notify_all();
    return sink;
}

void ServiceCore::DropSinks(const void* owner) {
    std::vector<IMbnDeviceServicesEvents*> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex);
        dropped = sinks_.RemoveAll(owner);
    }
    for (auto* sink : dropped) {
        sink->Release();
        --sinkRefs;
    }
}

size_t ServiceCore::SinkCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return sinks_.Size();
}

void ServiceCore::Dispatch(const CompletionPlan& plan, CompletionBody body) {
    switch (plan.delivery) {
    case Delivery::Never: return;  // body (and the references it holds) goes with this frame
    case Delivery::Held: {
        Pool::Job job = [body = std::move(body)] { body([] {}); };
        std::lock_guard<std::mutex> lock(mutex);
        held.push_back(std::move(job));
        changed.notify_all();
        return;
    }
    case Delivery::Delayed:
        pool.Post([body = std::move(body)] { body([] {}); },
                  Pool::Clock::now() + std::chrono::milliseconds(plan.delayMs));
        return;
    case Delivery::BeforeReturn: {
        struct Gate {
            std::mutex m;
            std::condition_variable cv;
            bool open = false;
        };
        auto gate = std::make_shared<Gate>();
        pool.Post([body = std::move(body), gate] {
            body([gate] {
                std::lock_guard<std::mutex> lock(gate->m);
                gate->open = true;
                gate->cv.notify_all();
            });
        });
        std::unique_lock<std::mutex> lock(gate->m);
        gate->cv.wait_for(lock, kBeforeReturnWait, [&] { return gate->open; });
        return;
    }
    case Delivery::Normal:
    default: pool.Post([body = std::move(body)] { body([] {}); }); return;
    }
}

void ServiceCore::Deliver(Callback kind, const std::function<void()>& onStart,
                          const std::function<void(IMbnDeviceServicesEvents*)>& call) {
    std::vector<IMbnDeviceServicesEvents*> targets;
    {
        std::lock_guard<std::mutex> lock(mutex);
        // The service's own reference for the duration of the callback, as
        // COM keeps one.
        targets = sinks_.Referenced();
        sinkRefs += static_cast<long>(targets.size());
        ++started[Index(kind)];
        changed.notify_all();
    }
    if (onStart) onStart();
    {
        // The client's code, which may block: while it runs this thread does
        // not count as one that will take the next job.
        Pool::CallbackScope inClient;
        for (auto* sink : targets) call(sink);
        for (auto* sink : targets) {
            --sinkRefs;
            sink->Release();
        }
    }
    std::lock_guard<std::mutex> lock(mutex);
    ++finished[Index(kind)];
    changed.notify_all();
}

SessionState ServiceCore::Session(const U16& serviceId) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = sessions.find(LowerId(serviceId));
    return it == sessions.end() ? SessionState() : it->second;
}

void ServiceCore::SetSession(const U16& serviceId, bool command, bool open) {
    std::lock_guard<std::mutex> lock(mutex);
    SessionState& s = sessions[LowerId(serviceId)];
    (command ? s.command : s.data) = open;
}

std::string ServiceCore::Answer(ULONG commandId, const std::string& payload) {
    std::function<std::string(ULONG, const std::string&)> custom;
    bool wrap = false;
    std::string answer;
    {
        std::lock_guard<std::mutex> lock(mutex);
        custom = responder;
        wrap = lengthPrefixed;
        if (!custom) answer = modem.Feed(payload);
    }
    if (custom) answer = custom(commandId, payload);
    return wrap ? LengthPrefixed(answer) : answer;
}

std::string ServiceCore::FeedModem(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    return modem.Feed(bytes);
}

// ---------------------------------------------------------------------------
// SimulatedService

SimulatedService::SimulatedService() : core_(std::make_shared<ServiceCore>()) {}

SimulatedService::~SimulatedService() {
    Revoke();
    DropHeld();
}

HRESULT SimulatedService::Register() {
    if (registered_) return S_OK;
    const CLSID* classes[2] = {&CLSID_MbnInterfaceManager, &CLSID_MbnDeviceServicesManager};
    for (int i = 0; i < 2; ++i) {
        IUnknown* factory = nullptr;
        HRESULT hr = GetClassObject(*classes[i], IID_IUnknown, reinterpret_cast<void**>(&factory));
        if (SUCCEEDED(hr)) {
            hr = CoRegisterClassObject(*classes[i], factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookies_[i]);
            factory->Release();
        }
        if (FAILED(hr)) {
            if (i == 1) CoRevokeClassObject(cookies_[0]);
            cookies_[0] = cookies_[1] = 0;
            return hr;
        }
    }
    registered_ = true;
    return S_OK;
}

void SimulatedService::Revoke() {
    if (!registered_) return;
    CoRevokeClassObject(cookies_[0]);
    CoRevokeClassObject(cookies_[1]);
    cookies_[0] = cookies_[1] = 0;
    registered_ = false;
}

HRESULT SimulatedService::GetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    return CreateClassObject(core_, clsid, iid, object);
}

void SimulatedService::SetModemPresent(bool present) {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->modemPresent = present;
}

void SimulatedService::SetReadyState(MBN_READY_STATE state) {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->readyState = state;
}

void SimulatedService::SetInterfaceId(const WCHAR* id) {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->interfaceId = ToU16(id);
}

void SimulatedService::SetModem(const ModemConfig& config) {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->modem = Modem(config);
}

void SimulatedService::SetLengthPrefixed(bool on) {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->lengthPrefixed = on;
}

void SimulatedService::SetResponder(std::function<std::string(ULONG, const std::string&)> responder) {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->responder = std::move(responder);
}

void SimulatedService::SetCommandSessionOpen(const WCHAR* serviceId, bool open) {
    core_->SetSession(ToU16(serviceId), true, open);
}

void SimulatedService::SetDataSessionOpen(const WCHAR* serviceId, bool open) {
    core_->SetSession(ToU16(serviceId), false, open);
}

bool SimulatedService::IsCommandSessionOpen(const WCHAR* serviceId) const {
    return core_->Session(ToU16(serviceId)).command;
}

bool SimulatedService::IsDataSessionOpen(const WCHAR* serviceId) const { return core_->Session(ToU16(serviceId)).data; }

void SimulatedService::SetMaxCommandSize(ULONG bytes) {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->maxCommandSize = bytes;
}

void SimulatedService::FailCall(Call call, HRESULT hr, int times) {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->faults[Index(call)] = {hr, times};
}

void SimulatedService::ClearFaults() {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->faults.fill(ServiceCore::Fault());
}

void SimulatedService::SetCompletion(Request request, const CompletionPlan& plan) {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->standing[Index(request)] = plan;
}

void SimulatedService::QueueCompletion(Request request, const CompletionPlan& plan) {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->queued[Index(request)].push_back(plan);
}

void SimulatedService::PushData(const std::string& bytes) {
    U16 interfaceId;
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        interfaceId = core_->interfaceId;
    }
    IMbnDeviceService* service = CreateDeviceServiceObject(core_, interfaceId, ToU16(kAtServiceId));
    // The job owns the object's reference; it goes when the job does.
    std::shared_ptr<IMbnDeviceService> owner(service, [](IMbnDeviceService* s) { s->Release(); });
    ServiceCore* core = core_.get();
    core_->pool.Post([core, owner, bytes] {
        core->Deliver(Callback::ReadData, nullptr, [&](IMbnDeviceServicesEvents* sink) {
            SAFEARRAY* data = ByteArray(bytes);
            sink->OnReadData(owner.get(), data);
            SafeArrayDestroy(data);
        });
    });
}

bool SimulatedService::WaitHeld(size_t count, DWORD timeoutMs) {
    std::unique_lock<std::mutex> lock(core_->mutex);
    return core_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return core_->held.size() >= count; });
}

size_t SimulatedService::HeldCount() const {
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->held.size();
}

size_t SimulatedService::ReleaseHeld(size_t count) {
    std::deque<Pool::Job> jobs;
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        while (count-- > 0 && !core_->held.empty()) {
            jobs.push_back(std::move(core_->held.front()));
            core_->held.pop_front();
        }
    }
    const size_t n = jobs.size();
    for (auto& job : jobs) core_->pool.Post(std::move(job));
    return n;
}

size_t SimulatedService::DropHeld() {
    std::deque<Pool::Job> jobs;
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        jobs.swap(core_->held);
    }
    return jobs.size();  // destroyed here, outside the lock
}

bool SimulatedService::WaitIdle(DWORD timeoutMs) { return core_->pool.WaitIdle(std::chrono::milliseconds(timeoutMs)); }

bool SimulatedService::WaitCallbacksStarted(Callback kind, size_t count, DWORD timeoutMs) {
    std::unique_lock<std::mutex> lock(core_->mutex);
    return core_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return core_->started[Index(kind)] >= count; });
}

bool SimulatedService::WaitCallbacksFinished(Callback kind, size_t count, DWORD timeoutMs) {
    std::unique_lock<std::mutex> lock(core_->mutex);
    return core_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return core_->finished[Index(kind)] >= count; });
}

size_t SimulatedService::CallbacksStarted(Callback kind) const {
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->started[Index(kind)];
}

size_t SimulatedService::CallbacksFinished(Callback kind) const {
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->finished[Index(kind)];
}

size_t SimulatedService::CallCount(Call call) const {
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->callCounts[Index(call)];
}

std::vector<SetCommandRecord> SimulatedService::SetCommands() const {
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->setCommands;
}

std::optional<SetCommandRecord> SimulatedService::LastSetCommand() const {
    std::lock_guard<std::mutex> lock(core_->mutex);
    if (core_->setCommands.empty()) return std::nullopt;
    return core_->setCommands.back();
}

std::vector<std::string> SimulatedService::DataWritten() const {
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->dataWritten;
}

long SimulatedService::LiveObjects() const { return core_->live.load(); }
long SimulatedService::OutstandingRefs() const { return core_->refs.load(); }
long SimulatedService::SinkRefs() const { return core_->sinkRefs.load(); }

size_t SimulatedService::AdviseConnections() const { return core_->SinkCount(); }

bool SimulatedService::CanUnload() const {
    return core_->live.load() == 0 && core_->factories.load() == 0 && core_->serverLocks.load() == 0 &&
           HeldCount() == 0;
}

size_t SimulatedService::ServiceThreads() const { return core_->pool.Threads(); }

#ifdef GLOBALTOOLS_TEST_HOOKS
namespace {

// MBNSIM_FAIL and MBNSIM_NO_MODEM (see DefaultService in simulator.h).
void ApplyEnvironmentFaults(SimulatedService& service) {
    const char* noModem = std::getenv("MBNSIM_NO_MODEM");
    if (noModem != nullptr && std::strcmp(noModem, "1") == 0) service.SetModemPresent(false);

    const char* fail = std::getenv("MBNSIM_FAIL");
    if (fail == nullptr) return;
    const std::string setting(fail);
    const std::string name = setting.substr(0, setting.find(':'));
    HRESULT hr = E_FAIL;
    if (name.size() < setting.size()) {
        const std::string code = setting.substr(name.size() + 1);
        char* end = nullptr;
        const unsigned long value = std::strtoul(code.c_str(), &end, 16);
        if (code.empty() || *end != '\0' || value > 0xFFFFFFFFul) return;
        hr = static_cast<HRESULT>(static_cast<uint32_t>(value));
    }
    for (int i = 0; i < static_cast<int>(Call::Count_); ++i) {
        if (name == CallName(static_cast<Call>(i))) service.FailCall(static_cast<Call>(i), hr);
    }
}

// MBNSIM_DELAY: completions that arrive late, to drive the waits to their
// bounds. "<ms>" delays every completion, "<Request>:<ms>,..." the named ones.
void ApplyEnvironmentDelays(SimulatedService& service) {
    const char* delay = std::getenv("MBNSIM_DELAY");
    if (delay == nullptr) return;
    static const struct {
        const char* name;
        Request request;
    } kRequests[] = {
        {"OpenCommandSession", Request::OpenCommandSession},
        {"CloseCommandSession", Request::CloseCommandSession},
        {"SetCommand", Request::SetCommand},
        {"QueryCommand", Request::QueryCommand},
        {"OpenDataSession", Request::OpenDataSession},
        {"CloseDataSession", Request::CloseDataSession},
        {"WriteData", Request::WriteData},
    };
    std::string rest(delay);
    while (!rest.empty()) {
        const std::string item = rest.substr(0, rest.find(','));
        rest.erase(0, item.size() + 1);
        const size_t colon = item.find(':');
        const std::string name = colon == std::string::npos ? "" : item.substr(0, colon);
        const char* start = item.c_str() + (colon == std::string::npos ? 0 : colon + 1);
        char* end = nullptr;
        const unsigned long ms = std::strtoul(start, &end, 10);
        if (end == start || *end != '\0' || ms > 60000) continue;  // malformed: ignored
        for (const auto& entry : kRequests) {
            if (name.empty() || name == entry.name)
                service.SetCompletion(entry.request, Plan(Delivery::Delayed, static_cast<DWORD>(ms)));
        }
    }
}

}  // namespace
#endif  // GLOBALTOOLS_TEST_HOOKS

SimulatedService& DefaultService() {
    static SimulatedService service;
    // A device service's AT channel serves programs, not a terminal: its
    // profile has echo off, so an answer holds only the modem's response.
    static const bool configured = [] {
        ModemConfig config;
        config.echo = false;
        service.SetModem(config);
#ifdef GLOBALTOOLS_TEST_HOOKS
        ApplyEnvironmentFaults(service);
        ApplyEnvironmentDelays(service);
#endif
        return true;
    }();
    (void)configured;
    return service;
}

}  // namespace mbnsim
