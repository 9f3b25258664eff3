// The libmbim back end's process-wide state, behind the COM objects of
// objects.cpp: the GLib thread, the completion threads, the open control
// ports of the current session, the advised sinks and the request IDs.
//
// Session: the ports are opened when a manager is created and no other
// provider object is alive, and closed (CLOSE sent, bounded) when the last
// provider object goes. Opening and closing are serialised, so a new session
// never opens a device that the old one is still closing.
//
// Threads: libmbim only ever runs on the GLib thread (port.h). Completions
// reach sinks on the completion pool, never on the GLib thread and never
// inside the caller's call; the pool grows while every thread is busy
// (up to 16), because a sink may block for seconds (the channel's sink waits
// up to 12288 ms for its request ID), and the provider holds its own
// reference on every sink for the length of each callback.
#ifndef MBNSERVICE_LIBMBIM_PROVIDER_H
#define MBNSERVICE_LIBMBIM_PROVIDER_H

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "glib_loop.h"
#include "platform/winapi.h"
#include "port.h"
#include "pool.h"
#include "sink_list.h"

namespace mbnmbim {

using U16 = std::u16string;

// The largest command payload plus one: SetCommand takes fewer bytes.
constexpr ULONG kMaxCommandSize = 4096;
// A command message's headers: message, fragment, service, CID, type, length.
constexpr unsigned kCommandHeaders = 48;

// MaxCommandSize for a device whose largest control message is maxMessage.
// libmbim writes a message of up to 4096 bytes in one piece and cuts a longer
// one into 4096-byte fragments, whatever the device takes; a device that
// takes less (cdc-wdm cuts what is longer) gets only what fits one message.
inline ULONG MaxCommandSizeFor(unsigned maxMessage) {
    if (maxMessage >= kLibmbimTransfer) return kMaxCommandSize;
    return maxMessage > kCommandHeaders ? maxMessage - kCommandHeaders + 1 : 1;
}

struct PortEntry {
    std::shared_ptr<Port> port;
    U16 interfaceId;  // "{xxxxxxxx-...}", stable for the port's path
};

class Session {
public:
    explicit Session(std::vector<PortEntry> ports) : ports_(std::move(ports)) {}
    const std::vector<PortEntry>& Ports() const { return ports_; }
    const PortEntry* Find(const WCHAR* interfaceId) const;  // case ignored
    const PortEntry* FindPath(const std::string& path) const;

    // Command sessions, by port and service UUID (lower case, no braces).
    bool CommandSessionOpen(const std::string& path, const std::string& uuid) const;
    void SetCommandSession(const std::string& path, const std::string& uuid, bool open);
    std::vector<std::string> OpenServices(const std::string& path) const;

private:
    const std::vector<PortEntry> ports_;
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, bool> sessions_;
};

class Provider {
public:
    static Provider& Get();  // made on first use, never destroyed

    // Runs job on a completion thread.
    void Post(std::function<void()> job) { pool_.Post(std::move(job)); }
    // True on the GLib thread, where no COM object may go (objects.cpp).
    bool OnLoopThread() const { return loop_.OnLoopThread(); }

    // The session a new manager belongs to, its ports opened now if no
    // provider object is alive. Counts one user; failure: the HRESULT, with
    // one line on standard error saying why.
    HRESULT OpenSession(std::shared_ptr<Session>* session);
    void AddUser();
    void DropUser();  // the last one closes the ports

    ULONG NextRequestId();  // never 0

    // Advise connections of the device-services managers.
    DWORD AddSink(const void* owner, IMbnDeviceServicesEvents* sink);
    IMbnDeviceServicesEvents* RemoveSink(const void* owner, DWORD cookie);
    void DropSinks(const void* owner);
    // Calls every advised sink, holding a reference on each for the call.
    void Deliver(const std::function<void(IMbnDeviceServicesEvents*)>& call);

    std::atomic<long> liveObjects{0};

private:
    Provider() = default;
    void CloseSessionLocked();
    void OnIndication(const std::string& path, const std::string& uuid, uint32_t cid, std::string bytes);
    void OnRemoved(const std::string& path);
    std::shared_ptr<Session> HoldSession();

    GlibLoop loop_;
    mbnservice::Pool pool_{1, 16};  // grows while every thread is inside a callback

    std::mutex sessionMutex_;  // held while ports open or close
    long users_ = 0;
    std::shared_ptr<Session> session_;

    std::mutex sinksMutex_;
    mbnservice::SinkList sinks_;
    std::atomic<ULONG> nextRequestId_{1};
};

// COM objects (objects.cpp).
HRESULT CreateClassObject(REFCLSID clsid, REFIID iid, void** object);
IMbnDeviceService* CreateDeviceService(const std::shared_ptr<Session>& session, const PortEntry& entry,
                                       const std::string& uuid);
BSTR NewBstr(const U16& text);

}  // namespace mbnmbim

#endif
