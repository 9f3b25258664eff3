// One MBIM control port as the provider uses it: a libmbim MbimDevice opened
// directly or through mbim-proxy, the BASIC_CONNECT queries the interface
// objects need, and COMMAND requests on any device service. Every libmbim
// call runs on the provider's GLib thread; the public functions may be
// called from any other thread and wait for it with a bound.
//
// Requests: each pending request sits in one table on the GLib thread;
// whoever takes it out (the reply, libmbim's time-out, the device's removal)
// completes it, so each completes exactly once. A COMMAND_DONE that libmbim
// matched on its transaction ID but that names another service or CID is
// not the request's answer: the request fails with
// HRESULT_FROM_WIN32(ERROR_INVALID_DATA). libmbim leaves requests of a
// removed device waiting for their time-out: the removal ("device-removed",
// raised on a hang-up of the port) completes them at once instead, as does a
// FUNCTION_ERROR NOT_OPENED that answers no request (the function reset).
//
// Transaction IDs start at a random value in every process: libmbim numbers
// from 1, and a reply that a previous process left unread would otherwise
// carry the ID of this process's request. A reply to no request of ours is
// dropped by libmbim.
//
// A direct open holds the port's lock (device_file.h) until the port's file
// is closed. Closing sends CLOSE and waits kCloseSeconds for its answer, then
// closes the file regardless (libmbim itself would keep reading it for ten
// seconds more), so the next open in this process never shares the port
// with the last one.
#ifndef MBNSERVICE_LIBMBIM_PORT_H
#define MBNSERVICE_LIBMBIM_PORT_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device_file.h"
#include "glib_loop.h"
#include "platform/winapi.h"

typedef struct _MbimDevice MbimDevice;
typedef struct _MbimMessage MbimMessage;
typedef struct _GCancellable GCancellable;

namespace mbnmbim {

// Time limits, in whole seconds as libmbim takes them.
constexpr unsigned kOpenSeconds = 5;
constexpr unsigned kQuerySeconds = 5;
// A command waits as long as its caller may (atcmd's longest answer wait is
// ten minutes): the caller decides when to stop waiting, and a session's
// close ends what is left.
constexpr unsigned kCommandSeconds = 610;
constexpr unsigned kCloseSeconds = 2;

struct DeviceCaps {
    uint32_t cellularClass = 0;
    uint32_t voiceClass = 0;
    uint32_t dataClass = 0;
    uint32_t smsCaps = 0;
    uint32_t controlCaps = 0;
    std::string customDataClass;
    std::string deviceId;
    std::string firmwareInfo;
    std::string hardwareInfo;
};

// A device service the device lists: its UUID in lower-case printed form
// (no braces) and its command IDs.
struct ServiceEntry {
    std::string uuid;
    std::vector<uint32_t> cids;
};

class Port : public std::enable_shared_from_this<Port> {
public:
    // Outcome of a request: status, and the COMMAND_DONE information buffer
    // when the status is S_OK. Runs on the GLib thread.
    using Completion = std::function<void(HRESULT status, std::string bytes)>;
    // Unsolicited INDICATE_STATUS and removal, on the GLib thread.
    struct Events {
        std::function<void(const std::string& uuid, uint32_t cid, std::string bytes)> indication;
        std::function<void()> removed;
    };

    // Opens path (a character device), through mbim-proxy when viaProxy,
    // else directly under the port's lock. Bounded by kLockWait and
    // kOpenSeconds plus a margin; on failure *reason says why. *note, when
    // not empty, is a warning to show although the port opened.
    static HRESULT Open(GlibLoop& loop, const std::string& path, bool viaProxy, Events events,
                        std::shared_ptr<Port>* port, std::string* reason, std::string* note);
    Port(GlibLoop& loop, std::string path, bool viaProxy, Events events);
    ~Port();

    // Sends CLOSE (bounded) and lets the device go. Pending requests, if
    // any, complete with HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED).
    void Close();

    const std::string& Path() const { return path_; }
    bool ViaProxy() const { return viaProxy_; }
    bool Removed() const { return removed_; }
    // The device's largest control message, in bytes.
    unsigned MaxMessage() const { return maxMessage_; }

    HRESULT QueryCaps(DeviceCaps* caps);
    // The first call takes the state asked for when the device opened (the
    // ready state a service last saw, as Windows reports it); later ones ask.
    HRESULT QueryReadyState(uint32_t* mbimReadyState);
    // DEVICE_SERVICES, asked once and then kept.
    HRESULT DeviceServices(std::vector<ServiceEntry>* services);

    // COMMAND SET or QUERY; done runs exactly once on the GLib thread, never
    // inside this call. The payload has been checked against the maximum.
    void Command(const std::string& uuid, uint32_t cid, bool set, std::string payload, Completion done);
    // SET DEVICE_SERVICE_SUBSCRIBE_LIST with these services and CIDs.
    void Subscribe(std::vector<ServiceEntry> services, Completion done);

private:
    using RawCompletion = std::function<void(HRESULT status, const MbimMessage* reply)>;
    struct Pending {
        GCancellable* cancellable = nullptr;
        RawCompletion done;
        std::string service;  // the request's DeviceServiceId, printed
        uint32_t cid = 0;     // and CID: a COMMAND_DONE must name both
    };
    struct CallbackData;

    // GLib thread only.
    void Issue(MbimMessage* request, unsigned seconds, RawCompletion done);
    void FailAll(HRESULT status);
    void ReleaseDevice(std::function<void()> closed);
    HRESULT Transact(std::function<MbimMessage*()> build, std::function<HRESULT(const MbimMessage*)> parse);
    static void OnCommandDone(void* source, void* result, void* data);
    static void OnRemoved(MbimDevice* device, void* data);
    static void OnIndication(MbimDevice* device, MbimMessage* message, void* data);
    static void OnFunctionError(MbimDevice* device, void* error, void* data);

    GlibLoop& loop_;
    const std::string path_;
    const bool viaProxy_;
    Events events_;
    std::atomic<bool> removed_{false};
    unsigned maxMessage_ = 0;
    std::shared_ptr<DeviceLock> lock_;  // direct opens; let go once the file is closed

    // GLib thread only.
    MbimDevice* device_ = nullptr;
    bool opened_ = false;
    bool reset_ = false;  // the function reported itself not opened
    unsigned long removedHandler_ = 0;
    unsigned long indicationHandler_ = 0;
    unsigned long errorHandler_ = 0;
    uint64_t nextSerial_ = 1;
    std::map<uint64_t, Pending> pending_;

    struct ServicesQuery;
    struct ReadyPrefetch;
    void StartServicesQuery(std::shared_ptr<ServicesQuery> query);
    void PrefetchServices();    // GLib thread
    void PrefetchReadyState();  // GLib thread
    std::mutex servicesMutex_;
    std::optional<std::vector<ServiceEntry>> services_;
    std::shared_ptr<ServicesQuery> servicesQuery_;  // the one asked last
    std::shared_ptr<ReadyPrefetch> readyPrefetch_;  // until the first QueryReadyState takes it

    friend struct OpenOperation;
};

// GLOBALTOOLS_MBIM_PROXY: "auto" (default: through a proxy that runs, as
// root; else directly), "never" or "always" (libmbim starts a proxy if none
// runs).
enum class ProxyMode { Auto, Never, Always };
bool ParseProxyMode(const char* value, ProxyMode* mode);
// True when some process listens on mbim-proxy's abstract socket.
bool ProxyRunning();

}  // namespace mbnmbim

#endif
