// The POSIX in-process server table (PalRegisterInprocServer), which stands
// in for the registry's InprocServer32 keys: CoCreateInstance finds servers
// announced there, even from static initialisers, after the class objects of
// CoRegisterClassObject. Built only for POSIX.
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

// gtest and the standard headers first: the Windows SDK's strsafe.h, which
// the platform header brings, deprecates C functions that <string> names.
#include "conformance.h"
#include "com_test_objects.h"

namespace {

using comtest::CreatedObject;
using comtest::TestClassFactory;

// {A4C1E2F3-0B5D-4A6E-9C7F-1D2E3F405162}: served by the static registration.
const CLSID kStaticClsid = {0xA4C1E2F3, 0x0B5D, 0x4A6E, {0x9C, 0x7F, 0x1D, 0x2E, 0x3F, 0x40, 0x51, 0x62}};
// {B5D2F304-1C6E-4B7F-8D80-2E3F40516273}: registered and removed by tests.
const CLSID kDynamicClsid = {0xB5D2F304, 0x1C6E, 0x4B7F, {0x8D, 0x80, 0x2E, 0x3F, 0x40, 0x51, 0x62, 0x73}};

TestClassFactory& ServerFactory() {
    static TestClassFactory factory;
    return factory;
}

std::atomic<int> gGetClassObjectCalls{0};
std::mutex gLastRequestLock;
CLSID gLastRequestedClsid;
IID gLastRequestedIid;

HRESULT ServerGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    ++gGetClassObjectCalls;
    {
        std::lock_guard<std::mutex> guard(gLastRequestLock);
        gLastRequestedClsid = rclsid;
        gLastRequestedIid = riid;
    }
    return ServerFactory().QueryInterface(riid, ppv);
}

HRESULT UnavailableGetClassObject(REFCLSID, REFIID, void** ppv) {
    *ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

// Registered before main, as a server linked into a program does.
const HRESULT gStaticRegistration = PalRegisterInprocServer(kStaticClsid, ServerGetClassObject);

class InprocServerTable : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK); }
    void TearDown() override {
        PalRegisterInprocServer(kDynamicClsid, nullptr);
        CoUninitialize();
    }
};

TEST_F(InprocServerTable, serves_a_class_registered_from_a_static_initialiser) {
    EXPECT_EQ(gStaticRegistration, S_OK);
    int callsBefore = gGetClassObjectCalls;
    IUnknown* object = nullptr;
    ASSERT_EQ(CoCreateInstance(kStaticClsid, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&object)),
              S_OK);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(gGetClassObjectCalls, callsBefore + 1);
    std::lock_guard<std::mutex> guard(gLastRequestLock);
    EXPECT_TRUE(IsEqualCLSID(gLastRequestedClsid, kStaticClsid));
    EXPECT_TRUE(IsEqualIID(gLastRequestedIid, IID_IClassFactory));
    EXPECT_EQ(object->Release(), 0u);
    EXPECT_EQ(ServerFactory().Refs(), 1) << "CoCreateInstance must release the class factory";
}

TEST_F(InprocServerTable, is_reached_only_for_the_in_process_server_context) {
    void* ppv = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(kStaticClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &ppv), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(ppv, nullptr);
}

TEST_F(InprocServerTable, yields_to_a_class_object_registered_for_the_same_class) {
    TestClassFactory registered;
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(kStaticClsid, &registered, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie),
              S_OK);
    int callsBefore = gGetClassObjectCalls;
    IUnknown* object = nullptr;
    ASSERT_EQ(CoCreateInstance(kStaticClsid, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&object)),
              S_OK);
    object->Release();
    EXPECT_EQ(registered.Creations(), 1);
    EXPECT_EQ(gGetClassObjectCalls, callsBefore) << "the in-process server was asked";

    // Once revoked, the server answers again.
    ASSERT_EQ(CoRevokeClassObject(cookie), S_OK);
    ASSERT_EQ(CoCreateInstance(kStaticClsid, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&object)),
              S_OK);
    object->Release();
    EXPECT_EQ(gGetClassObjectCalls, callsBefore + 1);
    EXPECT_EQ(registered.Refs(), 1);
}

TEST_F(InprocServerTable, passes_on_the_failure_of_the_class_object_entry) {
    ASSERT_EQ(PalRegisterInprocServer(kDynamicClsid, UnavailableGetClassObject), S_OK);
    void* ppv = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(kDynamicClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &ppv),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(ppv, nullptr);
}

TEST_F(InprocServerTable, replaces_and_removes_entries) {
    ASSERT_EQ(PalRegisterInprocServer(kDynamicClsid, UnavailableGetClassObject), S_OK);
    ASSERT_EQ(PalRegisterInprocServer(kDynamicClsid, ServerGetClassObject), S_OK);
    IUnknown* object = nullptr;
    ASSERT_EQ(
        CoCreateInstance(kDynamicClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&object)),
        S_OK);
    object->Release();

    ASSERT_EQ(PalRegisterInprocServer(kDynamicClsid, nullptr), S_OK);
    void* ppv = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(kDynamicClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &ppv), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(ppv, nullptr);
}

TEST_F(InprocServerTable, serves_threads_that_create_while_others_register) {
    const int kThreads = 4;
    const int kRounds = 200;
    int liveBefore = CreatedObject::Live();
    std::atomic<bool> failed{false};
    std::vector<std::future<void>> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.push_back(std::async(std::launch::async, [&, t] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (int i = 0; i < kRounds; ++i) {
                if (t == 0) {
                    PalRegisterInprocServer(kDynamicClsid, (i % 2) ? ServerGetClassObject : nullptr);
                }
                IUnknown* object = nullptr;
                HRESULT hr = CoCreateInstance(kStaticClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                              reinterpret_cast<void**>(&object));
                if (hr != S_OK || object == nullptr) {
                    failed = true;
                } else {
                    object->Release();
                }
            }
            CoUninitialize();
        }));
    }
    for (auto& worker : workers) {
        ASSERT_EQ(worker.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    }
    EXPECT_FALSE(failed);
    EXPECT_EQ(CreatedObject::Live(), liveBefore);
    EXPECT_EQ(ServerFactory().Refs(), 1);
}

}  // namespace
