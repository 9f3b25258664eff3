// COM objects for the platform tests: an IUnknown that only counts its
// references (so a test can prove every AddRef has its Release), and a class
// factory whose products count how many of them are alive.
#ifndef TESTS_PLATFORM_COM_COM_TEST_OBJECTS_H
#define TESTS_PLATFORM_COM_COM_TEST_OBJECTS_H

#include <atomic>

#include "platform/winapi.h"

namespace comtest {

// The SDK's IUnknown has a public non-virtual destructor on Windows; these
// objects are never deleted through it.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

// Lives on the test's stack: Release never deletes, so the count stays
// readable after the code under test is done with the object.
class CountingUnknown final : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }

    LONG Refs() const { return refs_.load(); }

private:
    std::atomic<LONG> refs_{1};
};

// What TestClassFactory creates: a heap object that deletes itself at its
// last Release and keeps a count of live instances.
class CreatedObject final : public IUnknown {
public:
    static std::atomic<int>& Live() {
        static std::atomic<int> live{0};
        return live;
    }

    CreatedObject() { ++Live(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --refs_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

private:
    ~CreatedObject() { --Live(); }

    std::atomic<ULONG> refs_{1};
};

// A class object on the test's stack, counting its references and how often
// it was asked to create.
class TestClassFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override {
        ++creations_;
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (pUnkOuter != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        CreatedObject* object = new CreatedObject;
        HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

    LONG Refs() const { return refs_.load(); }
    int Creations() const { return creations_.load(); }

private:
    std::atomic<LONG> refs_{1};
    std::atomic<int> creations_{0};
};

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

}  // namespace comtest

#endif  // TESTS_PLATFORM_COM_COM_TEST_OBJECTS_H
