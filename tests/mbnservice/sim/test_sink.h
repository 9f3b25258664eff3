// A small IMbnDeviceServicesEvents sink for the simulator's tests: it records
// every callback (kind, IDs, status, bytes, thread, its own reference count
// at the time) and can hold a chosen callback until the test lets it go.
#ifndef TESTS_MBNSERVICE_SIM_TEST_SINK_H
#define TESTS_MBNSERVICE_SIM_TEST_SINK_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "com_object.h"
#include "simulator.h"

namespace mbnsim_test {

struct Event {
    mbnsim::Callback kind;
    ULONG requestId = 0;
    HRESULT status = S_OK;
    bool hasData = false;  // a data array was passed
    long dataLength = -1;  // elements in it
    std::string data;
    std::thread::id thread;
    bool onServiceThread = false;
    ULONG refsDuringCall = 0;   // the sink's count inside the callback
    bool serviceGiven = false;  // a device service was passed
};

class TestSink final
    : public ComObject<ComLifetime::DeleteAtZero, ComEntry<IMbnDeviceServicesEvents, IID_IMbnDeviceServicesEvents>> {
public:
    TestSink() = default;

    // Callbacks of this kind wait inside the sink until Unblock (bounded).
    void BlockOn(mbnsim::Callback kind) {
        std::lock_guard<std::mutex> lock(mutex_);
        blockKind_ = kind;
        blocking_ = true;
    }
    void Unblock() {
        std::lock_guard<std::mutex> lock(mutex_);
        blocking_ = false;
        changed_.notify_all();
    }
    bool WaitEvents(size_t count, int timeoutMs = 5000) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return events_.size() >= count; });
    }
    std::vector<Event> Events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    ULONG Count() const { return static_cast<ULONG>(Refs()); }
    // Set by the destructor, so a test can see when the last reference went.
    static std::atomic<int>& Destroyed() {
        static std::atomic<int> destroyed{0};
        return destroyed;
    }

    HRESULT STDMETHODCALLTYPE OnQuerySupportedCommandsComplete(IMbnDeviceService* s, SAFEARRAY* list, HRESULT status,
                                                               ULONG id) override {
        return Record(mbnsim::Callback::QuerySupportedCommandsComplete, s, list, status, id, false);
    }
    HRESULT STDMETHODCALLTYPE OnOpenCommandSessionComplete(IMbnDeviceService* s, HRESULT status, ULONG id) override {
        return Record(mbnsim::Callback::OpenCommandSessionComplete, s, nullptr, status, id);
    }
    HRESULT STDMETHODCALLTYPE OnCloseCommandSessionComplete(IMbnDeviceService* s, HRESULT status, ULONG id) override {
        return Record(mbnsim::Callback::CloseCommandSessionComplete, s, nullptr, status, id);
    }
    HRESULT STDMETHODCALLTYPE OnSetCommandComplete(IMbnDeviceService* s, ULONG, SAFEARRAY* data, HRESULT status,
                                                   ULONG id) override {
        return Record(mbnsim::Callback::SetCommandComplete, s, data, status, id);
    }
    HRESULT STDMETHODCALLTYPE OnQueryCommandComplete(IMbnDeviceService* s, ULONG, SAFEARRAY* data, HRESULT status,
                                                     ULONG id) override {
        return Record(mbnsim::Callback::QueryCommandComplete, s, data, status, id);
    }
    HRESULT STDMETHODCALLTYPE OnEventNotification(IMbnDeviceService*, ULONG, SAFEARRAY*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnOpenDataSessionComplete(IMbnDeviceService* s, HRESULT status, ULONG id) override {
        return Record(mbnsim::Callback::OpenDataSessionComplete, s, nullptr, status, id);
    }
    HRESULT STDMETHODCALLTYPE OnCloseDataSessionComplete(IMbnDeviceService* s, HRESULT status, ULONG id) override {
        return Record(mbnsim::Callback::CloseDataSessionComplete, s, nullptr, status, id);
    }
    HRESULT STDMETHODCALLTYPE OnWriteDataComplete(IMbnDeviceService* s, HRESULT status, ULONG id) override {
        return Record(mbnsim::Callback::WriteDataComplete, s, nullptr, status, id);
    }
    HRESULT STDMETHODCALLTYPE OnReadData(IMbnDeviceService* s, SAFEARRAY* data) override {
        return Record(mbnsim::Callback::ReadData, s, data, S_OK, 0);
    }
    HRESULT STDMETHODCALLTYPE OnInterfaceStateChange(BSTR, MBN_DEVICE_SERVICES_INTERFACE_STATE) override {
        return S_OK;
    }

private:
    ~TestSink() override { ++Destroyed(); }

    HRESULT Record(mbnsim::Callback kind, IMbnDeviceService* service, SAFEARRAY* data, HRESULT status, ULONG id,
                   bool bytes = true) {
        Event e;
        e.kind = kind;
        e.requestId = id;
        e.status = status;
        e.thread = std::this_thread::get_id();
        e.onServiceThread = mbnsim::OnServiceThread();
        e.refsDuringCall = Count();
        e.serviceGiven = service != nullptr;
        e.hasData = data != nullptr;
        if (data) {
            LONG lower = 0;
            LONG upper = -1;
            SafeArrayGetLBound(data, 1, &lower);
            SafeArrayGetUBound(data, 1, &upper);
            e.dataLength = upper - lower + 1;
            void* p = nullptr;
            if (bytes && e.dataLength > 0 && SUCCEEDED(SafeArrayAccessData(data, &p))) {
                e.data.assign(static_cast<const char*>(p), static_cast<size_t>(e.dataLength));
                SafeArrayUnaccessData(data);
            }
        }
        std::unique_lock<std::mutex> lock(mutex_);
        if (blocking_ && blockKind_ == kind)
            changed_.wait_for(lock, std::chrono::seconds(10), [&] { return !blocking_; });
        events_.push_back(e);
        changed_.notify_all();
        return S_OK;
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
    bool blocking_ = false;
    mbnsim::Callback blockKind_ = mbnsim::Callback::SetCommandComplete;
};

// An object that is not a sink: Advise must refuse it.
class NotASink final : public ComObject<ComLifetime::Owned, ComEntry<IUnknown, IID_IUnknown>> {
public:
    ULONG Count() const { return static_cast<ULONG>(Refs()); }
};

}  // namespace mbnsim_test

#endif  // TESTS_MBNSERVICE_SIM_TEST_SINK_H
