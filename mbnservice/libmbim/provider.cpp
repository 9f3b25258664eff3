// The libmbim back end's session, sinks and request IDs (see provider.h).
#include "provider.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwctype>

#include <glib.h>

#include "discovery.h"
#include "hresult.h"
#include "provider_common.h"

namespace mbnmbim {

namespace {

// One line on standard error, in the program's name; standard output stays
// the program's own.
void Say(const std::string& text) { std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, text.c_str()); }

// A name-based GUID (SHA-1 of the port's resolved path, version 5 layout),
// so a port keeps its interface ID from run to run.
U16 InterfaceIdFor(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    const std::string name = resolved ? resolved : path;
    std::free(resolved);
    gchar* sha = g_compute_checksum_for_string(G_CHECKSUM_SHA1, name.c_str(), -1);
    std::string hex(sha, 32);
    g_free(sha);
    hex[12] = '5';
    static const char kVariant[] = "89ab";
    hex[16] = kVariant[std::strtoul(hex.substr(16, 1).c_str(), nullptr, 16) & 3];
    std::string text = "{" + hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
                       hex.substr(16, 4) + "-" + hex.substr(20, 12) + "}";
    U16 id;
    for (char c : text) id.push_back(static_cast<char16_t>(std::toupper(static_cast<unsigned char>(c))));
    return id;
}

bool SameText(const WCHAR* a, const U16& b) {
    size_t i = 0;
    for (; a[i] != 0 && i < b.size(); ++i)
        if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i]))) return false;
    return a[i] == 0 && i == b.size();
}

}  // namespace

const PortEntry* Session::Find(const WCHAR* interfaceId) const {
    if (interfaceId == nullptr) return nullptr;
    for (const PortEntry& entry : ports_)
        if (SameText(interfaceId, entry.interfaceId)) return &entry;
    return nullptr;
}

const PortEntry* Session::FindPath(const std::string& path) const {
    for (const PortEntry& entry : ports_)
        if (entry.port->Path() == path) return &entry;
    return nullptr;
}

bool Session::CommandSessionOpen(const std::string& path, const std::string& uuid) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find({path, uuid});
    return it != sessions_.end() && it->second;
}

void Session::SetCommandSession(const std::string& path, const std::string& uuid, bool open) {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_[{path, uuid}] = open;
}

std::vector<std::string> Session::OpenServices(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> open;
    for (const auto& entry : sessions_)
        if (entry.first.first == path && entry.second) open.push_back(entry.first.second);
    return open;
}

Provider& Provider::Get() {
    static Provider* provider = new Provider();
    return *provider;
}

HRESULT Provider::OpenSession(std::shared_ptr<Session>* session) {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    if (session_) {
        ++users_;
        *session = session_;
        return S_OK;
    }
    bool valid = false;
    const ProviderChoice choice = ProviderChoiceFromEnvironment(&valid);
    ProxyMode mode = ProxyMode::Auto;
    if (!valid) {
        Say("GLOBALTOOLS_MBN_PROVIDER must be auto, simulator, mbim or mbim:<device path>");
        return E_INVALIDARG;
    }
    if (!ParseProxyMode(std::getenv("GLOBALTOOLS_MBIM_PROXY"), &mode)) {
        Say("GLOBALTOOLS_MBIM_PROXY must be auto, never or always");
        return E_INVALIDARG;
    }
    const std::vector<std::string> paths = ControlPortsFor(choice);
    if (paths.empty()) {
        Say("no MBIM control port to open");
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    // Through a running mbim-proxy (ModemManager's), which shares the modem;
    // only root may use it, and opening the device beside it would steal its
    // replies. Without one, directly: asking libmbim for the proxy would start
    // one that keeps the modem for good.
    const bool proxyRunning = mode == ProxyMode::Auto && ProxyRunning();
    const bool viaProxy = mode == ProxyMode::Always || (proxyRunning && geteuid() == 0);
    if (!viaProxy && proxyRunning) {
        Say("mbim-proxy holds the MBIM devices and serves root only; run as root to share the modem");
        return kSharingViolation;
    }
    std::vector<PortEntry> ports;
    HRESULT failure = E_FAIL;
    for (const std::string& path : paths) {
        Port::Events events;
        events.indication = [this, path](const std::string& uuid, uint32_t cid, std::string bytes) {
            Post([this, path, uuid, cid, bytes = std::move(bytes)] { OnIndication(path, uuid, cid, bytes); });
        };
        events.removed = [this, path] { Post([this, path] { OnRemoved(path); }); };
        std::shared_ptr<Port> port;
        std::string reason;
        std::string note;
        const HRESULT hr = Port::Open(loop_, path, viaProxy, std::move(events), &port, &reason, &note);
        if (!note.empty()) Say(note);
        if (FAILED(hr)) {
            Say("cannot open the MBIM device " + path + (viaProxy ? " through mbim-proxy: " : ": ") + reason);
            failure = hr;
            continue;
        }
        ports.push_back(PortEntry{port, InterfaceIdFor(path)});
    }
    if (ports.empty()) return failure;
    session_ = std::make_shared<Session>(std::move(ports));
    ++users_;
    *session = session_;
    return S_OK;
}

void Provider::AddUser() {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    ++users_;
}

void Provider::DropUser() {
    // The ports close on a completion thread if the last user went on the
    // GLib thread, which the close has to wait for.
    if (loop_.OnLoopThread()) {
        Post([this] { DropUser(); });
        return;
    }
    std::lock_guard<std::mutex> lock(sessionMutex_);
    if (--users_ == 0) CloseSessionLocked();
}

void Provider::CloseSessionLocked() {
    std::shared_ptr<Session> closing = std::move(session_);
    if (!closing) return;
    for (const PortEntry& entry : closing->Ports()) entry.port->Close();
}

ULONG Provider::NextRequestId() {
    ULONG id = nextRequestId_++;
    while (id == 0) id = nextRequestId_++;
    return id;
}

DWORD Provider::AddSink(const void* owner, IMbnDeviceServicesEvents* sink) {
    std::lock_guard<std::mutex> lock(sinksMutex_);
    return sinks_.Add(owner, sink);
}

IMbnDeviceServicesEvents* Provider::RemoveSink(const void* owner, DWORD cookie) {
    std::lock_guard<std::mutex> lock(sinksMutex_);
    return sinks_.Remove(owner, cookie);
}

void Provider::DropSinks(const void* owner) {
    std::vector<IMbnDeviceServicesEvents*> dropped;
    {
        std::lock_guard<std::mutex> lock(sinksMutex_);
        dropped = sinks_.RemoveAll(owner);
    }
    for (IMbnDeviceServicesEvents* sink : dropped) sink->Release();
}

void Provider::Deliver(const std::function<void(IMbnDeviceServicesEvents*)>& call) {
    std::vector<IMbnDeviceServicesEvents*> sinks;
    {
        std::lock_guard<std::mutex> lock(sinksMutex_);
        sinks = sinks_.Referenced();
    }
    // The client's code, which may block: while it runs this thread does not
    // count as one that will take the next job.
    mbnservice::Pool::CallbackScope inClient;
    for (IMbnDeviceServicesEvents* sink : sinks) {
        call(sink);
        sink->Release();
    }
}

// The open session, held as one more user until DropUser; NULL when none is
// open.
std::shared_ptr<Session> Provider::HoldSession() {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    if (session_) ++users_;
    return session_;
}

// INDICATE_STATUS on a service with an open command session.
void Provider::OnIndication(const std::string& path, const std::string& uuid, uint32_t cid, std::string bytes) {
    std::shared_ptr<Session> session = HoldSession();
    if (!session) return;
    const PortEntry* entry = session->FindPath(path);
    if (entry != nullptr && session->CommandSessionOpen(path, uuid)) {
        IMbnDeviceService* service = CreateDeviceService(session, *entry, uuid);
        Deliver([&](IMbnDeviceServicesEvents* sink) {
            SAFEARRAY* data = mbnservice::ByteArray(bytes);
            sink->OnEventNotification(service, cid, data);
            SafeArrayDestroy(data);
        });
        service->Release();
    }
    session.reset();
    DropUser();
}

void Provider::OnRemoved(const std::string& path) {
    std::shared_ptr<Session> session = HoldSession();
    if (!session) return;
    const PortEntry* entry = session->FindPath(path);
    if (entry != nullptr) {
        Deliver([&](IMbnDeviceServicesEvents* sink) {
            BSTR id = NewBstr(entry->interfaceId);
            sink->OnInterfaceStateChange(id, MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_REMOVAL);
            SysFreeString(id);
        });
    }
    session.reset();
    DropUser();
}

}  // namespace mbnmbim
