// COM objects for the platform tests: an IUnknown that only counts its
// references (so a test can prove every AddRef has its Release), and a class
// factory whose products count how many of them are alive.
#ifndef TESTS_SUPPORT_COM_TEST_OBJECTS_H
#define TESTS_SUPPORT_COM_TEST_OBJECTS_H

#include <atomic>

#include "platform/winapi.h"
#include "com_object.h"

namespace comtest {

// Lives on the test's stack: Release never deletes, so the count stays
// readable after the code under test is done with the object.
class CountingUnknown final : public ComObject<ComLifetime::Owned, ComEntry<IUnknown, IID_IUnknown>> {};

// What TestClassFactory creates: a heap object that deletes itself at its
// last Release and keeps a count of live instances.
class CreatedObject final : public ComObject<ComLifetime::DeleteAtZero, ComEntry<IUnknown, IID_IUnknown>> {
public:
    static std::atomic<int>& Live() {
        static std::atomic<int> live{0};
        return live;
    }

    CreatedObject() { ++Live(); }

private:
    ~CreatedObject() override { --Live(); }
};

// A class object on the test's stack, counting its references and how often
// it was asked to create.
class TestClassFactory final : public ComObject<ComLifetime::Owned, ComEntry<IClassFactory, IID_IClassFactory>> {
public:
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

    int Creations() const { return creations_.load(); }

private:
    std::atomic<int> creations_{0};
};

}  // namespace comtest

#endif  // TESTS_SUPPORT_COM_TEST_OBJECTS_H
