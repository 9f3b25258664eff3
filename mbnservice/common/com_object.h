// The one way this project writes a COM object of its own (the simulated
// service, the libmbim module and the tests' doubles): ComInterfaces answers QueryInterface for a
// list of interfaces, ComObject adds the reference count. A class names its
// interfaces with their IIDs and writes only its methods:
//
//   class Sink final : public ComObject<ComLifetime::DeleteAtZero,
//                                       ComEntry<IMbnDeviceServicesEvents,
//                                                IID_IMbnDeviceServicesEvents>> { ... };
//
// IUnknown is answered with the first interface of the list, so every
// QueryInterface for IUnknown gives the same pointer.
#ifndef MBNSERVICE_COMMON_COM_OBJECT_H
#define MBNSERVICE_COMMON_COM_OBJECT_H

#include <atomic>
#include <memory>

#include "platform/winapi.h"

// The SDK's interfaces have public non-virtual destructors; these objects are
// destroyed only through their own Release, so the warning says nothing here.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

// One interface an object implements and the IID that asks for it.
template <class Interface, const IID& Iid>
struct ComEntry {
    using Type = Interface;
    static const IID& Id() { return Iid; }
};

// QueryInterface over First and Rest; AddRef and Release are the deriving
// class's (a part that shares its owner's count, for one).
template <class First, class... Rest>
class ComInterfaces : public First::Type, public Rest::Type... {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        void* found = IsEqualIID(iid, IID_IUnknown) ? Cast<First>() : Find<First, Rest...>(iid);
        if (!found) return E_NOINTERFACE;
        // Through the first interface: with several, AddRef is ambiguous here
        // until the deriving class overrides it for all of them.
        static_cast<typename First::Type*>(this)->AddRef();
        *out = found;
        return S_OK;
    }

protected:
    ComInterfaces() = default;
    virtual ~ComInterfaces() = default;
    ComInterfaces(const ComInterfaces&) = delete;
    ComInterfaces& operator=(const ComInterfaces&) = delete;

private:
    template <class Entry>
    void* Cast() {
        return static_cast<typename Entry::Type*>(this);
    }
    template <class Entry, class... More>
    void* Find(REFIID iid) {
        if (IsEqualIID(iid, Entry::Id())) return Cast<Entry>();
        if constexpr (sizeof...(More) > 0) {
            return Find<More...>(iid);
        } else {
            return nullptr;
        }
    }
};

// Whether the last Release deletes the object (on the heap) or leaves it to
// its owner (on a test's stack, where the count stays readable afterwards).
enum class ComLifetime { DeleteAtZero, Owned };

// A COM object with an atomic reference count that starts at 1, the
// creator's reference.
template <ComLifetime Lifetime, class First, class... Rest>
class ComObject : public ComInterfaces<First, Rest...> {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++count_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = --count_;
        if (Lifetime == ComLifetime::DeleteAtZero && left == 0) delete this;
        return static_cast<ULONG>(left);
    }

    // The count now; a test's view of the references it holds.
    LONG Refs() const { return count_.load(); }

private:
    std::atomic<LONG> count_{1};
};

// A counted COM reference, given back by whoever holds it last (a
// completion job, for one).
template <class T>
std::shared_ptr<T> Hold(T* object) {
    object->AddRef();
    return std::shared_ptr<T>(object, [](T* o) { o->Release(); });
}

// Sets an out-parameter the caller may have passed as NULL.
template <class T>
void SetOut(T** out, T* value) {
    if (out) *out = value;
}

// The connection point for IMbnDeviceServicesEvents of a device-services
// manager: its own identity for QueryInterface, its manager's reference
// count. The manager keeps the sinks:
//   HRESULT BeforeAdvise();   a failure to give instead of advising
//   DWORD KeepSink(IMbnDeviceServicesEvents* sink);   takes the reference
//   HRESULT DropSink(DWORD cookie);   S_OK or CONNECT_E_NOCONNECTION
// and is itself the IConnectionPointContainer.
template <class Manager>
class EventsConnectionPoint final : public ComInterfaces<ComEntry<IConnectionPoint, IID_IConnectionPoint>> {
public:
    explicit EventsConnectionPoint(Manager* owner) : owner_(owner) {}

    ULONG STDMETHODCALLTYPE AddRef() override { return owner_->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner_->Release(); }

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
        if (!iid) return E_POINTER;
        *iid = IID_IMbnDeviceServicesEvents;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override {
        if (!out) return E_POINTER;
        owner_->AddRef();
        *out = owner_;
        return S_OK;
    }
    // The reference that QueryInterface gives is the one the connection
    // keeps until Unadvise (or until the manager goes).
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
        if (cookie) *cookie = 0;
        HRESULT hr = owner_->BeforeAdvise();
        if (FAILED(hr)) return hr;
        if (!sink || !cookie) return E_POINTER;
        IMbnDeviceServicesEvents* events = nullptr;
        if (FAILED(sink->QueryInterface(IID_IMbnDeviceServicesEvents, reinterpret_cast<void**>(&events))) || !events)
            return CONNECT_E_CANNOTCONNECT;
        *cookie = owner_->KeepSink(events);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override { return owner_->DropSink(cookie); }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override {
        SetOut(out, static_cast<IEnumConnections*>(nullptr));
        return E_NOTIMPL;
    }

private:
    Manager* const owner_;
};

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#endif  // MBNSERVICE_COMMON_COM_OBJECT_H
