// The IMbnDeviceServicesEvents sink of the Mobile Broadband back ends' tests
// (the simulated service and the libmbim module): it records every callback
// (kind, IDs, status, bytes, thread, its own reference count inside the call)
// and can hold callbacks of a chosen kind inside the sink until the test lets
// them go. It lives on the heap and goes at its last Release, as a client's
// sink does; Destroyed() counts the sinks gone.
#ifndef TESTS_SUPPORT_RECORDING_SINK_H
#define TESTS_SUPPORT_RECORDING_SINK_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "com_object.h"
#include "platform/winapi.h"
#include "provider_common.h"

namespace mbntest {

// The callbacks of IMbnDeviceServicesEvents.
enum class SinkCall {
    QuerySupportedCommandsComplete,
    OpenCommandSessionComplete,
    CloseCommandSessionComplete,
    SetCommandComplete,
    QueryCommandComplete,
    EventNotification,
    OpenDataSessionComplete,
    CloseDataSessionComplete,
    WriteDataComplete,
    ReadData,
    InterfaceStateChange,
};

struct SinkEvent {
    SinkCall kind = SinkCall::SetCommandComplete;
    ULONG requestId = 0;
    ULONG id = 0;  // response ID (set, query), event ID, or the interface state
    HRESULT status = S_OK;
    bool hasData = false;  // an array was passed
    long dataLength = -1;  // its elements
    std::string data;      // its bytes; the command IDs as "1;16;" for the supported-command list
    std::thread::id thread;
    bool onProviderThread = false;  // what the sink's thread probe said
    LONG refsDuringCall = 0;        // the sink's count inside the callback
    bool serviceGiven = false;      // a device service was passed
};

class RecordingSink final
    : public ComObject<ComLifetime::DeleteAtZero, ComEntry<IMbnDeviceServicesEvents, IID_IMbnDeviceServicesEvents>> {
public:
    // probe, when given, tells whether a callback runs on one of the
    // provider's own threads (SinkEvent::onProviderThread).
    explicit RecordingSink(bool (*probe)() = nullptr) : probe_(probe) {}

    // The next `count` callbacks of this kind wait inside the sink, each
    // until Unblock (at most 10 s).
    void Block(SinkCall kind, size_t count = SIZE_MAX) {
        std::lock_guard<std::mutex> lock(mutex_);
        blockKind_ = kind;
        toHold_ = count;
        closed_ = true;
    }
    void Unblock() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = false;
        toHold_ = 0;
        changed_.notify_all();
    }
    // Callbacks waiting inside the sink now.
    size_t Holding() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return holding_;
    }

    // An event is recorded as its callback enters the sink.
    bool WaitEvents(size_t count, int timeoutMs = 10000) {
        return WaitUntil([&] { return events_.size() >= count; }, timeoutMs);
    }
    bool WaitCount(SinkCall kind, size_t count, int timeoutMs = 10000) {
        return WaitUntil([&] { return CountLocked(kind) >= count; }, timeoutMs);
    }
    // Until the completion of request requestId has entered the sink.
    bool WaitRequest(SinkCall kind, ULONG requestId, int timeoutMs = 10000) {
        return WaitUntil([&] { return FindLocked(kind, requestId) != nullptr; }, timeoutMs);
    }
    std::optional<SinkEvent> Find(SinkCall kind, ULONG requestId) const {
        std::lock_guard<std::mutex> lock(mutex_);
        const SinkEvent* e = FindLocked(kind, requestId);
        return e ? std::optional<SinkEvent>(*e) : std::nullopt;
    }
    std::vector<SinkEvent> Events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    std::vector<SinkEvent> Of(SinkCall kind) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<SinkEvent> found;
        for (const SinkEvent& e : events_)
            if (e.kind == kind) found.push_back(e);
        return found;
    }
    size_t CountOf(SinkCall kind) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return CountLocked(kind);
    }

    static std::atomic<int>& Destroyed() {
        static std::atomic<int> destroyed{0};
        return destroyed;
    }

    HRESULT STDMETHODCALLTYPE OnQuerySupportedCommandsComplete(IMbnDeviceService* s, SAFEARRAY* list, HRESULT status,
                                                               ULONG requestID) override {
        SinkEvent e = Begin(SinkCall::QuerySupportedCommandsComplete, s, status, requestID, 0);
        Describe(e, list);
        e.data.clear();
        for (LONG i = 0; i < e.dataLength; ++i) {
            ULONG cid = 0;
            if (SUCCEEDED(SafeArrayGetElement(list, &i, &cid))) e.data += std::to_string(cid) + ";";
        }
        return Record(e);
    }
    HRESULT STDMETHODCALLTYPE OnOpenCommandSessionComplete(IMbnDeviceService* s, HRESULT status, ULONG id) override {
        return Record(Begin(SinkCall::OpenCommandSessionComplete, s, status, id, 0));
    }
    HRESULT STDMETHODCALLTYPE OnCloseCommandSessionComplete(IMbnDeviceService* s, HRESULT status, ULONG id) override {
        return Record(Begin(SinkCall::CloseCommandSessionComplete, s, status, id, 0));
    }
    HRESULT STDMETHODCALLTYPE OnSetCommandComplete(IMbnDeviceService* s, ULONG responseID, SAFEARRAY* data,
                                                   HRESULT status, ULONG requestID) override {
        SinkEvent e = Begin(SinkCall::SetCommandComplete, s, status, requestID, responseID);
        Describe(e, data);
        return Record(e);
    }
    HRESULT STDMETHODCALLTYPE OnQueryCommandComplete(IMbnDeviceService* s, ULONG responseID, SAFEARRAY* data,
                                                     HRESULT status, ULONG requestID) override {
        SinkEvent e = Begin(SinkCall::QueryCommandComplete, s, status, requestID, responseID);
        Describe(e, data);
        return Record(e);
    }
    HRESULT STDMETHODCALLTYPE OnEventNotification(IMbnDeviceService* s, ULONG eventID, SAFEARRAY* data) override {
        SinkEvent e = Begin(SinkCall::EventNotification, s, S_OK, 0, eventID);
        Describe(e, data);
        return Record(e);
    }
    HRESULT STDMETHODCALLTYPE OnOpenDataSessionComplete(IMbnDeviceService* s, HRESULT status, ULONG id) override {
        return Record(Begin(SinkCall::OpenDataSessionComplete, s, status, id, 0));
    }
    HRESULT STDMETHODCALLTYPE OnCloseDataSessionComplete(IMbnDeviceService* s, HRESULT status, ULONG id) override {
        return Record(Begin(SinkCall::CloseDataSessionComplete, s, status, id, 0));
    }
    HRESULT STDMETHODCALLTYPE OnWriteDataComplete(IMbnDeviceService* s, HRESULT status, ULONG id) override {
        return Record(Begin(SinkCall::WriteDataComplete, s, status, id, 0));
    }
    HRESULT STDMETHODCALLTYPE OnReadData(IMbnDeviceService* s, SAFEARRAY* data) override {
        SinkEvent e = Begin(SinkCall::ReadData, s, S_OK, 0, 0);
        Describe(e, data);
        return Record(e);
    }
    HRESULT STDMETHODCALLTYPE OnInterfaceStateChange(BSTR, MBN_DEVICE_SERVICES_INTERFACE_STATE state) override {
        return Record(Begin(SinkCall::InterfaceStateChange, nullptr, S_OK, 0, static_cast<ULONG>(state)));
    }

private:
    ~RecordingSink() override { ++Destroyed(); }

    SinkEvent Begin(SinkCall kind, IMbnDeviceService* service, HRESULT status, ULONG requestId, ULONG id) const {
        SinkEvent e;
        e.kind = kind;
        e.requestId = requestId;
        e.id = id;
        e.status = status;
        e.thread = std::this_thread::get_id();
        e.onProviderThread = probe_ && probe_();
        e.refsDuringCall = Refs();
        e.serviceGiven = service != nullptr;
        return e;
    }

    static void Describe(SinkEvent& e, SAFEARRAY* data) {
        e.hasData = data != nullptr;
        if (!data) return;
        LONG lower = 0;
        LONG upper = -1;
        SafeArrayGetLBound(data, 1, &lower);
        SafeArrayGetUBound(data, 1, &upper);
        e.dataLength = upper - lower + 1;
        mbnservice::ReadBytes(data, e.data);
    }

    HRESULT Record(const SinkEvent& e) {
        std::unique_lock<std::mutex> lock(mutex_);
        events_.push_back(e);
        changed_.notify_all();
        if (closed_ && toHold_ > 0 && blockKind_ == e.kind) {
            if (toHold_ != SIZE_MAX) --toHold_;
            ++holding_;
            changed_.notify_all();
            changed_.wait_for(lock, std::chrono::seconds(10), [&] { return !closed_; });
            --holding_;
        }
        return S_OK;
    }

    const SinkEvent* FindLocked(SinkCall kind, ULONG requestId) const {
        for (const SinkEvent& e : events_)
            if (e.kind == kind && e.requestId == requestId) return &e;
        return nullptr;
    }

    size_t CountLocked(SinkCall kind) const {
        size_t n = 0;
        for (const SinkEvent& e : events_) n += e.kind == kind;
        return n;
    }

    bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
    }

    bool (*const probe_)();
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<SinkEvent> events_;
    SinkCall blockKind_ = SinkCall::SetCommandComplete;
    size_t toHold_ = 0;
    bool closed_ = false;  // held callbacks wait until Unblock opens it
    size_t holding_ = 0;
};

}  // namespace mbntest

#endif  // TESTS_SUPPORT_RECORDING_SINK_H
