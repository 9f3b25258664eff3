// One MBIM control port over libmbim (see port.h).
#include "port.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>

#include <gio/gio.h>
#include <libmbim-glib.h>

#include "hresult.h"

namespace mbnmbim {

namespace {

constexpr std::chrono::seconds kMargin(3);

std::string Printable(const MbimUuid* uuid) {
    gchar* text = mbim_uuid_get_printable(uuid);
    std::string result = text ? text : "";
    g_free(text);
    return result;
}

// libmbim names services by number; a UUID it does not know is registered
// first (GLib thread: the registry has no lock).
MbimService ServiceFor(const std::string& uuid) {
    MbimUuid id;
    if (!mbim_uuid_from_printable(uuid.c_str(), &id)) return MBIM_SERVICE_INVALID;
    MbimService service = mbim_uuid_to_service(&id);
    if (service == MBIM_SERVICE_INVALID)
        service = static_cast<MbimService>(mbim_register_custom_service(&id, uuid.c_str()));
    return service;
}

// A caller's wait for one answer from the GLib thread.
struct Waiter {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    HRESULT hr = E_FAIL;

    void Finish(HRESULT result) {
        std::lock_guard<std::mutex> lock(mutex);
        hr = result;
        done = true;
        cv.notify_all();
    }
    // The result, or the time-out when the GLib thread did not answer.
    HRESULT Wait(std::chrono::steady_clock::duration bound) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!cv.wait_for(lock, bound, [this] { return done; })) return kTimedOut;
        return hr;
    }
};

}  // namespace

struct Port::CallbackData {
    std::shared_ptr<Port> port;
    uint64_t serial;
};

// One DEVICE_SERVICES question: callers wait on it, the GLib thread answers.
struct Port::ServicesQuery {
    Waiter waiter;
    std::vector<ServiceEntry> list;  // written before the waiter finishes
    bool failed = false;             // under Port::servicesMutex_
};

// The state of one open, shared by the caller (who may stop waiting) and the
// GLib thread.
struct OpenOperation {
    std::shared_ptr<Port> port;
    Waiter waiter;
    std::string reason;      // under waiter.mutex
    bool abandoned = false;  // under waiter.mutex

    // The caller's wait and its giving up are decided under one lock, so a
    // device opened after the caller left is let go, never kept.
    static void Finish(const std::shared_ptr<OpenOperation>& op, HRESULT hr, const char* reason) {
        bool abandoned = false;
        {
            std::lock_guard<std::mutex> lock(op->waiter.mutex);
            if (reason) op->reason = reason;
            abandoned = op->abandoned;
            op->waiter.hr = hr;
            op->waiter.done = true;
            op->waiter.cv.notify_all();
        }
        if (abandoned || FAILED(hr)) op->port->ReleaseDevice(nullptr);
    }
    static void OnOpened(GObject* source, GAsyncResult* result, gpointer data) {
        std::shared_ptr<OpenOperation> op(*static_cast<std::shared_ptr<OpenOperation>*>(data));
        delete static_cast<std::shared_ptr<OpenOperation>*>(data);
        GError* error = nullptr;
        if (!mbim_device_open_full_finish(MBIM_DEVICE(source), result, &error)) {
            const HRESULT hr = HresultFromGError(error);
            Finish(op, hr, error ? error->message : "the device did not open");
            if (error) g_error_free(error);
            return;
        }
        op->port->opened_ = true;
        op->port->PrefetchServices();
        op->port->PrefetchReadyState();
        Finish(op, S_OK, nullptr);
    }
    static void OnCreated(GObject*, GAsyncResult* result, gpointer data) {
        auto* holder = static_cast<std::shared_ptr<OpenOperation>*>(data);
        std::shared_ptr<OpenOperation> op(*holder);
        GError* error = nullptr;
        MbimDevice* device = mbim_device_new_finish(result, &error);
        if (device == nullptr) {
            delete holder;
            Finish(op, HresultFromGError(error), error ? error->message : "libmbim refused the device");
            if (error) g_error_free(error);
            return;
        }
        Port* port = op->port.get();
        port->device_ = device;
        g_object_set(device, MBIM_DEVICE_TRANSACTION_ID, static_cast<guint>(g_random_int_range(1, G_MAXINT32)),
                     nullptr);
        port->removedHandler_ = g_signal_connect(device, MBIM_DEVICE_SIGNAL_REMOVED, G_CALLBACK(Port::OnRemoved), port);
        port->indicationHandler_ =
            g_signal_connect(device, MBIM_DEVICE_SIGNAL_INDICATE_STATUS, G_CALLBACK(Port::OnIndication), port);
        port->errorHandler_ =
            g_signal_connect(device, MBIM_DEVICE_SIGNAL_ERROR, G_CALLBACK(Port::OnFunctionError), port);
        const MbimDeviceOpenFlags flags = port->viaProxy_ ? MBIM_DEVICE_OPEN_FLAGS_PROXY : MBIM_DEVICE_OPEN_FLAGS_NONE;
        mbim_device_open_full(device, flags, kOpenSeconds, nullptr, OnOpened, holder);
    }
};

Port::Port(GlibLoop& loop, std::string path, bool viaProxy, Events events)
    : loop_(loop), path_(std::move(path)), viaProxy_(viaProxy), events_(std::move(events)) {}

Port::~Port() = default;

HRESULT Port::Open(GlibLoop& loop, const std::string& path, bool viaProxy, Events events, std::shared_ptr<Port>* out,
                   std::string* reason, std::string* note) {
    out->reset();
    auto portLock = std::make_shared<DeviceLock>();
    unsigned maxMessage = kLibmbimTransfer;
    if (viaProxy) {
        // The proxy opens the port; here it only has to be one.
        struct stat info;
        if (stat(path.c_str(), &info) != 0) {
            *reason = std::strerror(errno);
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        }
        if (!S_ISCHR(info.st_mode)) {
            *reason = "not a character device";
            return kBadDevice;
        }
        maxMessage = MaxMessageFromSysfs(path);
    } else {
        HRESULT hr = portLock->Acquire(path, kLockWait, reason, note);
        if (SUCCEEDED(hr)) hr = ProbeDevice(path, &maxMessage, reason);
        if (FAILED(hr)) return hr;
    }
    auto op = std::make_shared<OpenOperation>();
    op->port = std::make_shared<Port>(loop, path, viaProxy, std::move(events));
    op->port->maxMessage_ = maxMessage;
    op->port->lock_ = std::move(portLock);
    loop.Post([op] {
        // The local file system only: the default one loads every GIO module
        // installed (dconf, gvfs), which costs a short run a fifth of its time.
        GFile* file = g_file_new_for_path(op->port->path_.c_str());
        mbim_device_new(file, nullptr, OpenOperation::OnCreated, new std::shared_ptr<OpenOperation>(op));
        g_object_unref(file);
    });
    HRESULT hr = op->waiter.Wait(std::chrono::seconds(kOpenSeconds) + kMargin);
    std::lock_guard<std::mutex> lock(op->waiter.mutex);
    if (!op->waiter.done) {
        op->abandoned = true;  // the GLib thread lets the device go when it answers
        *reason = "no answer to OPEN";
        return hr;
    }
    // The device may have opened between the wait's end and this lock: the
    // result stored with done is the one that counts.
    hr = op->waiter.hr;
    if (FAILED(hr)) {
        *reason = hr == kTimedOut ? "no answer to OPEN within " + std::to_string(kOpenSeconds) + " s" : op->reason;
        return hr;
    }
    *out = op->port;
    return S_OK;
}

void Port::Close() {
    auto waiter = std::make_shared<Waiter>();
    auto self = shared_from_this();
    loop_.Post([self, waiter] {
        self->FailAll(kAborted);
        self->ReleaseDevice([waiter] { waiter->Finish(S_OK); });
    });
    waiter->Wait(std::chrono::seconds(kCloseSeconds) + kMargin);
}

namespace {

// One close of an open device: CLOSE, or the file shut when its answer is
// late. Whichever comes first finishes it.
struct Closing {
    MbimDevice* device;
    std::function<void()> finished;
    GSource* timer = nullptr;
    bool done = false;

    static void Finish(const std::shared_ptr<Closing>& closing, bool force) {
        if (closing->done) return;
        closing->done = true;
        if (force) mbim_device_close_force(closing->device, nullptr);
        if (closing->timer) {
            g_source_destroy(closing->timer);
            g_source_unref(closing->timer);
            closing->timer = nullptr;
        }
        closing->finished();
    }
};

}  // namespace

// GLib thread. Disconnects, closes an open device (CLOSE with a short
// bound; a removed one is closed at once) and drops it; the lock goes and
// closed runs once the file is closed.
void Port::ReleaseDevice(std::function<void()> closed) {
    std::function<void()> finished = [lock = lock_, closed = std::move(closed)] {
        lock->Release();
        if (closed) closed();
    };
    MbimDevice* device = device_;
    device_ = nullptr;
    if (device == nullptr) {
        finished();
        return;
    }
    for (unsigned long* handler : {&removedHandler_, &indicationHandler_, &errorHandler_}) {
        if (*handler) g_signal_handler_disconnect(device, *handler);
        *handler = 0;
    }
    const bool wasOpen = opened_;
    opened_ = false;
    if (!wasOpen || removed_ || reset_) {
        mbim_device_close_force(device, nullptr);
        g_object_unref(device);
        finished();
        return;
    }
    auto closing = std::make_shared<Closing>(Closing{device, std::move(finished)});
    // libmbim gives CLOSE ten seconds whatever it is told; the timer keeps
    // to ours, and the device object goes when libmbim is done with it.
    closing->timer = g_timeout_source_new_seconds(kCloseSeconds);
    g_source_set_callback(
        closing->timer,
        [](gpointer data) {
            Closing::Finish(*static_cast<std::shared_ptr<Closing>*>(data), true);
            return G_SOURCE_REMOVE;
        },
        new std::shared_ptr<Closing>(closing),
        [](gpointer data) { delete static_cast<std::shared_ptr<Closing>*>(data); });
    g_source_attach(closing->timer, g_main_context_get_thread_default());
    mbim_device_close(
        device, kCloseSeconds, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::shared_ptr<Closing>> held(static_cast<std::shared_ptr<Closing>*>(data));
            mbim_device_close_finish(MBIM_DEVICE(source), result, nullptr);
            Closing::Finish(*held, false);
            g_object_unref(source);
        },
        new std::shared_ptr<Closing>(closing));
}

void Port::FailAll(HRESULT status) {
    std::map<uint64_t, Pending> failing;
    failing.swap(pending_);
    for (auto& entry : failing) {
        g_cancellable_cancel(entry.second.cancellable);
        g_object_unref(entry.second.cancellable);
        entry.second.done(status, nullptr);
    }
}

void Port::OnRemoved(MbimDevice*, void* data) {
    auto* port = static_cast<Port*>(data);
    port->removed_ = true;
    port->FailAll(kDeviceGone);
    if (port->events_.removed) port->events_.removed();
}

void Port::OnIndication(MbimDevice*, MbimMessage* message, void* data) {
    auto* port = static_cast<Port*>(data);
    if (!port->events_.indication) return;
    guint32 length = 0;
    const guint8* bytes = mbim_message_indicate_status_get_raw_information_buffer(message, &length);
    port->events_.indication(Printable(mbim_message_indicate_status_get_service_id(message)),
                             mbim_message_indicate_status_get_cid(message),
                             std::string(reinterpret_cast<const char*>(bytes), bytes ? length : 0));
}

// Every FUNCTION_ERROR, after libmbim completed the request it answers, if
// any. NOT_OPENED means the function is closed (it reset, or another host
// closed it): nothing sent since will be answered.
void Port::OnFunctionError(MbimDevice*, void* error, void* data) {
    auto* port = static_cast<Port*>(data);
    if (!g_error_matches(static_cast<GError*>(error), MBIM_PROTOCOL_ERROR, MBIM_PROTOCOL_ERROR_NOT_OPENED)) return;
    port->reset_ = true;
    port->FailAll(kNotReady);
}

void Port::Issue(MbimMessage* request, unsigned seconds, RawCompletion done) {
    if (device_ == nullptr || removed_ || !opened_ || reset_) {
        mbim_message_unref(request);
        const HRESULT status = removed_ ? kDeviceGone : kNotReady;
        // Never inside the caller's own call: the GLib thread answers later.
        loop_.Post([done, status] { done(status, nullptr); });
        return;
    }
    const uint64_t serial = nextSerial_++;
    GCancellable* cancellable = g_cancellable_new();
    pending_[serial] = Pending{cancellable, std::move(done), Printable(mbim_message_command_get_service_id(request)),
                               mbim_message_command_get_cid(request)};
    mbim_message_set_transaction_id(request, mbim_device_get_next_transaction_id(device_));
    mbim_device_command(device_, request, seconds, cancellable,
                        reinterpret_cast<GAsyncReadyCallback>(&Port::OnCommandDone),
                        new CallbackData{shared_from_this(), serial});
    mbim_message_unref(request);
}

void Port::OnCommandDone(void* source, void* result, void* data) {
    std::unique_ptr<CallbackData> call(static_cast<CallbackData*>(data));
    GError* error = nullptr;
    MbimMessage* reply = mbim_device_command_finish(MBIM_DEVICE(source), static_cast<GAsyncResult*>(result), &error);
    Port* port = call->port.get();
    auto it = port->pending_.find(call->serial);
    if (it != port->pending_.end()) {
        Pending pending = std::move(it->second);
        port->pending_.erase(it);
        g_object_unref(pending.cancellable);
        HRESULT status = E_FAIL;
        if (reply == nullptr) {
            status = HresultFromGError(error);
        } else if (!mbim_message_validate(reply, &error)) {
            // libmbim hands over a reassembled reply without checking that
            // its fragments add up to the message they declare.
            status = E_FAIL;
        } else if (mbim_message_get_message_type(reply) == MBIM_MESSAGE_TYPE_COMMAND_DONE) {
            // libmbim matches a reply on its type and transaction ID alone,
            // and those repeat: every process numbers from 1, and a reply a
            // previous process left unread is read by the next one. A reply
            // for another service or CID is someone else's answer. The
            // request is failed at once rather than left to time out:
            // libmbim has already ended the transaction, so its own answer,
            // should it come, finds nobody waiting and is dropped.
            if (Printable(mbim_message_command_done_get_service_id(reply)) != pending.service ||
                mbim_message_command_done_get_cid(reply) != pending.cid) {
                status = kWrongReply;
            } else {
                status = HresultFromMbimStatus(mbim_message_command_done_get_status_code(reply));
            }
        } else if (mbim_message_get_message_type(reply) == MBIM_MESSAGE_TYPE_FUNCTION_ERROR) {
            GError* functionError = mbim_message_error_get_error(reply);
            status = HresultFromGError(functionError);
            if (functionError) g_error_free(functionError);
            if (SUCCEEDED(status)) status = E_FAIL;
        }
        pending.done(status, SUCCEEDED(status) ? reply : nullptr);
    }
    if (reply) mbim_message_unref(reply);
    if (error) g_error_free(error);
}

HRESULT Port::Transact(std::function<MbimMessage*()> build, std::function<HRESULT(const MbimMessage*)> parse) {
    auto waiter = std::make_shared<Waiter>();
    auto self = shared_from_this();
    loop_.Post([self, waiter, build = std::move(build), parse = std::move(parse)] {
        MbimMessage* request = build();
        if (request == nullptr) {
            waiter->Finish(E_OUTOFMEMORY);
            return;
        }
        self->Issue(request, kQuerySeconds, [waiter, parse](HRESULT status, const MbimMessage* reply) {
            waiter->Finish(SUCCEEDED(status) ? parse(reply) : status);
        });
    });
    return waiter->Wait(std::chrono::seconds(kQuerySeconds) + kMargin);
}

HRESULT Port::QueryCaps(DeviceCaps* caps) {
    auto result = std::make_shared<DeviceCaps>();
    HRESULT hr = Transact([] { return mbim_message_device_caps_query_new(nullptr); },
                          [result](const MbimMessage* reply) {
                              MbimCellularClass cellular;
                              MbimVoiceClass voice;
                              MbimDataClass data;
                              MbimSmsCaps sms;
                              MbimCtrlCaps control;
                              gchar* custom = nullptr;
                              gchar* id = nullptr;
                              gchar* firmware = nullptr;
                              gchar* hardware = nullptr;
                              if (!mbim_message_device_caps_response_parse(reply, nullptr, &cellular, &voice, nullptr,
                                                                           &data, &sms, &control, nullptr, &custom, &id,
                                                                           &firmware, &hardware, nullptr))
                                  return E_FAIL;
                              result->cellularClass = cellular;
                              result->voiceClass = voice;
                              result->dataClass = data;
                              result->smsCaps = sms;
                              result->controlCaps = control;
                              result->customDataClass = custom ? custom : "";
                              result->deviceId = id ? id : "";
                              result->firmwareInfo = firmware ? firmware : "";
                              result->hardwareInfo = hardware ? hardware : "";
                              g_free(custom);
                              g_free(id);
                              g_free(firmware);
                              g_free(hardware);
                              return S_OK;
                          });
    if (SUCCEEDED(hr)) *caps = *result;
    return hr;
}

namespace {

HRESULT ParseReadyState(const MbimMessage* reply, uint32_t* state) {
    MbimSubscriberReadyState ready;
    if (!mbim_message_subscriber_ready_status_response_parse(reply, &ready, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                             nullptr))
        return E_FAIL;
    *state = ready;
    return S_OK;
}

}  // namespace

struct Port::ReadyPrefetch {
    Waiter waiter;
    uint32_t state = 0;  // written before the waiter finishes
};

// Asked beside DEVICE_SERVICES as the device opens, so that a caller's first
// two questions cost one round trip.
void Port::PrefetchReadyState() {
    auto prefetch = std::make_shared<ReadyPrefetch>();
    {
        std::lock_guard<std::mutex> lock(servicesMutex_);
        readyPrefetch_ = prefetch;
    }
    Issue(mbim_message_subscriber_ready_status_query_new(nullptr), kQuerySeconds,
          [prefetch](HRESULT status, const MbimMessage* reply) {
              if (SUCCEEDED(status)) status = ParseReadyState(reply, &prefetch->state);
              prefetch->waiter.Finish(status);
          });
}

HRESULT Port::QueryReadyState(uint32_t* mbimReadyState) {
    std::shared_ptr<ReadyPrefetch> prefetch;
    {
        std::lock_guard<std::mutex> lock(servicesMutex_);
        prefetch.swap(readyPrefetch_);
    }
    if (prefetch && SUCCEEDED(prefetch->waiter.Wait(std::chrono::seconds(kQuerySeconds) + kMargin))) {
        *mbimReadyState = prefetch->state;
        return S_OK;
    }
    auto state = std::make_shared<uint32_t>(0);
    HRESULT hr = Transact([] { return mbim_message_subscriber_ready_status_query_new(nullptr); },
                          [state](const MbimMessage* reply) { return ParseReadyState(reply, state.get()); });
    if (SUCCEEDED(hr)) *mbimReadyState = *state;
    return hr;
}

// GLib thread. Asks DEVICE_SERVICES; the answer becomes the port's list.
void Port::StartServicesQuery(std::shared_ptr<ServicesQuery> query) {
    MbimMessage* request = mbim_message_device_services_query_new(nullptr);
    auto self = shared_from_this();
    Issue(request, kQuerySeconds, [self, query](HRESULT status, const MbimMessage* reply) {
        guint32 count = 0;
        MbimDeviceServiceElementArray* elements = nullptr;
        if (SUCCEEDED(status) &&
            !mbim_message_device_services_response_parse(reply, &count, nullptr, &elements, nullptr))
            status = E_FAIL;
        std::vector<ServiceEntry> list;
        for (guint32 i = 0; SUCCEEDED(status) && i < count; ++i) {
            ServiceEntry entry;
            entry.uuid = Printable(&elements[i]->device_service_id);
            entry.cids.assign(elements[i]->cids, elements[i]->cids + elements[i]->cids_count);
            list.push_back(std::move(entry));
        }
        if (elements) mbim_device_service_element_array_free(elements);
        {
            // A failed answer (the prefetch's too) makes the next caller ask again.
            std::lock_guard<std::mutex> lock(self->servicesMutex_);
            if (SUCCEEDED(status)) {
                self->services_ = list;
            } else {
                query->failed = true;
            }
        }
        query->list = std::move(list);
        query->waiter.Finish(status);
    });
}

void Port::PrefetchServices() {
    auto query = std::make_shared<ServicesQuery>();
    {
        std::lock_guard<std::mutex> lock(servicesMutex_);
        servicesQuery_ = query;
    }
    StartServicesQuery(query);
}

// The list is asked for as soon as the device is open (the first
// GetDeviceService then rarely waits), and asked again after a failure.
HRESULT Port::DeviceServices(std::vector<ServiceEntry>* services) {
    std::shared_ptr<ServicesQuery> query;
    {
        std::lock_guard<std::mutex> lock(servicesMutex_);
        if (services_) {
            *services = *services_;
            return S_OK;
        }
        query = servicesQuery_;
        if (!query || query->failed) {
            query = servicesQuery_ = std::make_shared<ServicesQuery>();
            auto self = shared_from_this();
            loop_.Post([self, query] { self->StartServicesQuery(query); });
        }
    }
    const HRESULT hr = query->waiter.Wait(std::chrono::seconds(kQuerySeconds) + kMargin);
    if (FAILED(hr)) {
        std::lock_guard<std::mutex> lock(servicesMutex_);
        query->failed = true;
        return hr;
    }
    *services = query->list;
    return S_OK;
}

void Port::Command(const std::string& uuid, uint32_t cid, bool set, std::string payload, Completion done) {
    auto self = shared_from_this();
    loop_.Post([self, uuid, cid, set, payload = std::move(payload), done = std::move(done)] {
        const MbimService service = ServiceFor(uuid);
        if (service == MBIM_SERVICE_INVALID) {
            self->loop_.Post([done] { done(E_INVALIDARG, std::string()); });
            return;
        }
        MbimMessage* request = mbim_message_command_new(
            0, service, cid, set ? MBIM_MESSAGE_COMMAND_TYPE_SET : MBIM_MESSAGE_COMMAND_TYPE_QUERY);
        mbim_message_command_append(request, reinterpret_cast<const guint8*>(payload.data()),
                                    static_cast<guint32>(payload.size()));
        self->Issue(request, kCommandSeconds, [done](HRESULT status, const MbimMessage* reply) {
            std::string bytes;
            if (reply != nullptr) {
                guint32 length = 0;
                const guint8* buffer = mbim_message_command_done_get_raw_information_buffer(reply, &length);
                if (buffer) bytes.assign(reinterpret_cast<const char*>(buffer), length);
            }
            done(status, std::move(bytes));
        });
    });
}

void Port::Subscribe(std::vector<ServiceEntry> services, Completion done) {
    auto self = shared_from_this();
    loop_.Post([self, services = std::move(services), done = std::move(done)] {
        std::vector<MbimEventEntry> entries(services.size());
        std::vector<const MbimEventEntry*> pointers;
        for (size_t i = 0; i < services.size(); ++i) {
            mbim_uuid_from_printable(services[i].uuid.c_str(), &entries[i].device_service_id);
            entries[i].cids_count = static_cast<guint32>(services[i].cids.size());
            entries[i].cids = const_cast<guint32*>(services[i].cids.data());
            pointers.push_back(&entries[i]);
        }
        MbimMessage* request = mbim_message_device_service_subscribe_list_set_new(static_cast<guint32>(pointers.size()),
                                                                                  pointers.data(), nullptr);
        if (request == nullptr) {
            self->loop_.Post([done] { done(E_INVALIDARG, std::string()); });
            return;
        }
        self->Issue(request, kQuerySeconds,
                    [done](HRESULT status, const MbimMessage*) { done(status, std::string()); });
    });
}

bool ParseProxyMode(const char* value, ProxyMode* mode) {
    if (value == nullptr || *value == '\0' || std::strcmp(value, "auto") == 0) {
        *mode = ProxyMode::Auto;
    } else if (std::strcmp(value, "never") == 0) {
        *mode = ProxyMode::Never;
    } else if (std::strcmp(value, "always") == 0) {
        *mode = ProxyMode::Always;
    } else {
        return false;
    }
    return true;
}

// The kernel's table of Unix sockets names abstract ones with a leading '@'.
bool ProxyRunning() {
    std::ifstream table("/proc/net/unix");
    std::string line;
    while (std::getline(table, line)) {
        const size_t at = line.rfind(' ');
        if (at != std::string::npos && line.compare(at + 1, std::string::npos, "@mbim-proxy") == 0) return true;
    }
    return false;
}

}  // namespace mbnmbim
