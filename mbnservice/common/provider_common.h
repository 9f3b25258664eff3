// What every provider of the Mobile Broadband classes in this project (the
// simulated service and the libmbim module) writes the same way: byte arrays in
// and out of SAFEARRAYs, and the IMbnInterface methods neither provides.
#ifndef MBNSERVICE_COMMON_PROVIDER_COMMON_H
#define MBNSERVICE_COMMON_PROVIDER_COMMON_H

#include <cstring>
#include <string>

#include "platform/winapi.h"

namespace mbnservice {

// A new one-dimensional VT_UI1 array holding the bytes, the receiver's to
// destroy; NULL when it cannot be made.
inline SAFEARRAY* ByteArray(const std::string& bytes) {
    SAFEARRAYBOUND bound;
    bound.cElements = static_cast<ULONG>(bytes.size());
    bound.lLbound = 0;
    SAFEARRAY* array = SafeArrayCreate(VT_UI1, 1, &bound);
    if (!array || bytes.empty()) return array;
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data)) || !data) {
        SafeArrayDestroy(array);
        return nullptr;
    }
    std::memcpy(data, bytes.data(), bytes.size());
    SafeArrayUnaccessData(array);
    return array;
}

// Copies a one-dimensional array of bytes. E_INVALIDARG for anything else.
inline HRESULT ReadBytes(SAFEARRAY* array, std::string& bytes) {
    if (!array) return E_INVALIDARG;
    VARTYPE vt = VT_EMPTY;
    if (SafeArrayGetDim(array) != 1 || SafeArrayGetElemsize(array) != 1) return E_INVALIDARG;
    if (SUCCEEDED(SafeArrayGetVartype(array, &vt)) && vt != VT_UI1 && vt != VT_I1) return E_INVALIDARG;
    LONG lower = 0;
    LONG upper = -1;
    if (FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper)))
        return E_INVALIDARG;
    bytes.clear();
    if (upper < lower) return S_OK;
    void* data = nullptr;
    HRESULT hr = SafeArrayAccessData(array, &data);
    if (FAILED(hr)) return hr;
    bytes.assign(static_cast<const char*>(data), static_cast<size_t>(upper - lower) + 1);
    SafeArrayUnaccessData(array);
    return S_OK;
}

// The IMbnInterface methods beyond the device and its readiness (providers,
// connections, subscriber information): E_NOTIMPL, with every out pointer
// given set to NULL. Base implements IMbnInterface's IUnknown.
template <class Base>
class MbnInterfaceUnsupported : public Base {
public:
    using Base::Base;

    HRESULT STDMETHODCALLTYPE GetSubscriberInformation(IMbnSubscriberInformation** out) override {
        return NotImplemented(out);
    }
    HRESULT STDMETHODCALLTYPE InEmergencyMode(VARIANT_BOOL* emergency) override {
        if (!emergency) return E_POINTER;
        *emergency = VARIANT_FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetHomeProvider(MBN_PROVIDER*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPreferredProviders(SAFEARRAY** out) override { return NotImplemented(out); }
    HRESULT STDMETHODCALLTYPE SetPreferredProviders(SAFEARRAY*, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetVisibleProviders(ULONG*, SAFEARRAY** out) override { return NotImplemented(out); }
    HRESULT STDMETHODCALLTYPE ScanNetwork(ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetConnection(IMbnConnection** out) override { return NotImplemented(out); }

private:
    template <class T>
    static HRESULT NotImplemented(T** out) {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
};

}  // namespace mbnservice

#endif  // MBNSERVICE_COMMON_PROVIDER_COMMON_H
