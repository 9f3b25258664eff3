// Conformance tables for the COM runtime: apartment initialisation counted
// per thread, activation through CoCreateInstance, and the class-object
// table of CoRegisterClassObject. Each scenario runs on a thread of its own,
// so no table depends on what an earlier test left on the test thread.
// Written against Windows names only: the same tables run on Windows/Wine.
// HRESULT-returning calls do not use the last error, so it is not checked.
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <thread>

// gtest and the standard headers first: the Windows SDK's strsafe.h, which
// the platform header brings, deprecates C functions that <string> names.
#include "conformance.h"
#include "com_test_objects.h"

namespace {

using comtest::CountingUnknown;
using comtest::CreatedObject;
using comtest::TestClassFactory;

const std::chrono::seconds kThreadTimeout(10);

// {6F1C3A52-97D4-4B8E-A1F0-3C5D7E9B2A14}: a class nobody serves.
const CLSID kUnknownClsid = {0x6F1C3A52, 0x97D4, 0x4B8E, {0xA1, 0xF0, 0x3C, 0x5D, 0x7E, 0x9B, 0x2A, 0x14}};
// {0D2E8B71-5C3A-4F69-8E14-7A9B6C2D1E03}: the class the tests register.
const CLSID kTestClsid = {0x0D2E8B71, 0x5C3A, 0x4F69, {0x8E, 0x14, 0x7A, 0x9B, 0x6C, 0x2D, 0x1E, 0x03}};

// Runs body on a new thread (fresh COM state) and waits at most
// kThreadTimeout for it.
void OnFreshThread(const std::function<void()>& body) {
    auto task = std::make_shared<std::packaged_task<void()>>(body);
    std::future<void> finished = task->get_future();
    std::thread worker([task] { (*task)(); });
    if (finished.wait_for(kThreadTimeout) != std::future_status::ready) {
        worker.detach();
        FAIL() << "test thread did not finish within " << kThreadTimeout.count() << " s";
    }
    worker.join();
    finished.get();
}

void* Filled(unsigned char fill) {
    void* p;
    std::memset(&p, fill, sizeof(p));
    return p;
}

// ---------------------------------------------------------------------------
// CoInitializeEx / CoUninitialize

enum class Op { Init, Uninit };
struct InitRow {
    int row;
    Op op;
    DWORD coInit;
    HRESULT expected;
};

TEST(CoInitializeEx, counts_calls_per_thread_and_refuses_a_model_change) {
    const InitRow rows[] = {
        {1, Op::Init, COINIT_MULTITHREADED, S_OK},
        {2, Op::Init, COINIT_MULTITHREADED, S_FALSE},
        // Refused, and not counted: two CoUninitialize calls close COM.
        {3, Op::Init, COINIT_APARTMENTTHREADED, RPC_E_CHANGED_MODE},
        {4, Op::Uninit, 0, S_OK},
        {5, Op::Uninit, 0, S_OK},
        // Closed, so the thread may choose the other model.
        {6, Op::Init, COINIT_APARTMENTTHREADED, S_OK},
        // Hint flags do not change the model.
        {7, Op::Init, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE, S_FALSE},
        {8, Op::Init, COINIT_MULTITHREADED, RPC_E_CHANGED_MODE},
        {9, Op::Uninit, 0, S_OK},
        {10, Op::Uninit, 0, S_OK},
        // An unmatched CoUninitialize is ignored: the count does not go below
        // zero, so the next call is a first call again.
        {11, Op::Uninit, 0, S_OK},
        {12, Op::Init, COINIT_MULTITHREADED, S_OK},
        {13, Op::Uninit, 0, S_OK},
    };
    OnFreshThread([&] {
        for (const InitRow& r : rows) {
            if (r.op == Op::Init) {
                CHECK_HR("CoInitializeEx", r.row, CoInitializeEx(nullptr, r.coInit), r.expected);
            } else {
                CoUninitialize();
            }
        }
    });
}

TEST(CoInitializeEx, last_uninitialize_of_several_closes_com) {
    OnFreshThread([] {
        CHECK_HR("CoInitializeEx", 1, CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CHECK_HR("CoInitializeEx", 2, CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
        CHECK_HR("CoInitializeEx", 3, CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
        CoUninitialize();
        CoUninitialize();
        // One call is still outstanding: the model is still fixed.
        CHECK_HR("CoInitializeEx", 4, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
        CHECK_HR("CoInitializeEx", 5, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        CoUninitialize();
    });
}

TEST(CoInitializeEx, each_thread_has_its_own_count_and_model) {
    OnFreshThread([] {
        CHECK_HR("CoInitializeEx", 1, CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        // Another thread joining the multithreaded apartment makes its own
        // first call, and a third may be single-threaded.
        OnFreshThread([] {
            CHECK_HR("CoInitializeEx", 2, CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
            CoUninitialize();
        });
        OnFreshThread([] {
            CHECK_HR("CoInitializeEx", 3, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
            CoUninitialize();
        });
        CHECK_HR("CoInitializeEx", 4, CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
        CoUninitialize();
        CoUninitialize();
    });
}

// ---------------------------------------------------------------------------
// CoCreateInstance

TEST(CoCreateInstance, fails_before_com_is_initialised) {
    OnFreshThread([] {
        for (unsigned char fill : {0x00, 0xFF}) {
            void* ppv = Filled(fill);
            CHECK_HR("CoCreateInstance", 1, CoCreateInstance(kUnknownClsid, nullptr, CLSCTX_ALL, IID_IUnknown, &ppv),
                     CO_E_NOTINITIALIZED);
            CHECK_VALUE("CoCreateInstance", 1, "*ppv", ppv, static_cast<void*>(nullptr));
        }
    });
}

TEST(CoCreateInstance, rejects_a_null_output_pointer) {
    OnFreshThread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CHECK_HR("CoCreateInstance", 1, CoCreateInstance(kUnknownClsid, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr),
                 E_POINTER);
        CoUninitialize();
    });
}

TEST(CoCreateInstance, uninitialised_thread_uses_the_multithreaded_apartment_while_it_exists) {
    std::promise<void> inApartment;
    std::promise<void> mayLeave;
    std::future<void> mayLeaveSignal = mayLeave.get_future();
    std::thread holder([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        inApartment.set_value();
        mayLeaveSignal.wait_for(kThreadTimeout);
        CoUninitialize();
    });
    ASSERT_EQ(inApartment.get_future().wait_for(kThreadTimeout), std::future_status::ready);
    OnFreshThread([] {
        void* ppv = Filled(0xFF);
        // Resolved (and not found) instead of CO_E_NOTINITIALIZED.
        CHECK_HR("CoCreateInstance", 1, CoCreateInstance(kUnknownClsid, nullptr, CLSCTX_ALL, IID_IUnknown, &ppv),
                 REGDB_E_CLASSNOTREG);
        CHECK_VALUE("CoCreateInstance", 1, "*ppv", ppv, static_cast<void*>(nullptr));
    });
    mayLeave.set_value();
    holder.join();
    OnFreshThread([] {
        void* ppv = nullptr;
        CHECK_HR("CoCreateInstance", 2, CoCreateInstance(kUnknownClsid, nullptr, CLSCTX_ALL, IID_IUnknown, &ppv),
                 CO_E_NOTINITIALIZED);
    });
}

TEST(CoCreateInstance, multithreaded_apartment_ends_with_a_thread_that_never_uninitialised) {
    OnFreshThread([] { EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK); });
    OnFreshThread([] {
        void* ppv = nullptr;
        CHECK_HR("CoCreateInstance", 1, CoCreateInstance(kUnknownClsid, nullptr, CLSCTX_ALL, IID_IUnknown, &ppv),
                 CO_E_NOTINITIALIZED);
    });
}

struct CreateRow {
    int row;
    const CLSID* clsid;
    bool outer;
    DWORD context;
    const IID* iid;
    HRESULT expected;
};

TEST(CoCreateInstance, resolves_registered_class_objects) {
    const CreateRow rows[] = {
        {1, &kTestClsid, false, CLSCTX_INPROC_SERVER, &IID_IUnknown, S_OK},
        {2, &kTestClsid, false, CLSCTX_ALL, &IID_IUnknown, S_OK},
        // The factory's own answer for an interface its objects lack.
        {3, &kTestClsid, false, CLSCTX_ALL, &IID_IClassFactory, E_NOINTERFACE},
        {4, &kTestClsid, true, CLSCTX_ALL, &IID_IUnknown, CLASS_E_NOAGGREGATION},
        {5, &kUnknownClsid, false, CLSCTX_ALL, &IID_IUnknown, REGDB_E_CLASSNOTREG},
        {6, &kUnknownClsid, false, CLSCTX_INPROC_SERVER, &IID_IUnknown, REGDB_E_CLASSNOTREG},
    };
    OnFreshThread([&] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        TestClassFactory factory;
        CountingUnknown outer;
        DWORD cookie = 0;
        ASSERT_EQ(CoRegisterClassObject(kTestClsid, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
        int liveBefore = CreatedObject::Live();
        for (const CreateRow& r : rows) {
            for (unsigned char fill : {0x00, 0xFF}) {
                void* ppv = Filled(fill);
                HRESULT hr = CoCreateInstance(*r.clsid, r.outer ? &outer : nullptr, r.context, *r.iid, &ppv);
                CHECK_HR("CoCreateInstance", r.row, hr, r.expected);
                if (SUCCEEDED(r.expected)) {
                    CHECK_VALUE("CoCreateInstance", r.row, "*ppv is set", ppv != nullptr, true);
                    if (SUCCEEDED(hr) && ppv != nullptr) {
                        CHECK_VALUE("CoCreateInstance", r.row, "live objects", CreatedObject::Live(), liveBefore + 1);
                        // The caller holds the only reference.
                        CHECK_VALUE("CoCreateInstance", r.row, "Release()", static_cast<IUnknown*>(ppv)->Release(), 0u);
                    }
                } else {
                    CHECK_VALUE("CoCreateInstance", r.row, "*ppv", ppv, static_cast<void*>(nullptr));
                }
                CHECK_VALUE("CoCreateInstance", r.row, "live objects", CreatedObject::Live(), liveBefore);
            }
        }
        EXPECT_EQ(outer.Refs(), 1) << "the outer unknown was kept";
        EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
        EXPECT_EQ(factory.Refs(), 1) << "activation left references on the class object";
        CoUninitialize();
    });
}

// ---------------------------------------------------------------------------
// CoRegisterClassObject / CoRevokeClassObject

TEST(CoRegisterClassObject, and_revoke_need_com_on_the_thread) {
    OnFreshThread([] {
        TestClassFactory factory;
        DWORD cookie = 0xdeadbeef;
        CHECK_HR("CoRegisterClassObject", 1,
                 CoRegisterClassObject(kTestClsid, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie),
                 CO_E_NOTINITIALIZED);
        EXPECT_EQ(factory.Refs(), 1);
        CHECK_HR("CoRevokeClassObject", 2, CoRevokeClassObject(cookie), CO_E_NOTINITIALIZED);
    });
}

TEST(CoRegisterClassObject, holds_one_reference_until_revoked_and_then_the_class_is_gone) {
    OnFreshThread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        TestClassFactory factory;
        DWORD cookie = 0;
        CHECK_HR("CoRegisterClassObject", 1,
                 CoRegisterClassObject(kTestClsid, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
        EXPECT_NE(cookie, 0u);
        EXPECT_GT(factory.Refs(), 1) << "the table keeps the class object";

        IUnknown* created = nullptr;
        CHECK_HR("CoCreateInstance", 2,
                 CoCreateInstance(kTestClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                  reinterpret_cast<void**>(&created)),
                 S_OK);
        EXPECT_EQ(factory.Creations(), 1);
        if (created != nullptr) {
            created->Release();
        }

        CHECK_HR("CoRevokeClassObject", 3, CoRevokeClassObject(cookie), S_OK);
        EXPECT_EQ(factory.Refs(), 1) << "CoRevokeClassObject gives the reference back";
        void* ppv = Filled(0xFF);
        CHECK_HR("CoCreateInstance", 4, CoCreateInstance(kTestClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &ppv),
                 REGDB_E_CLASSNOTREG);
        EXPECT_EQ(ppv, nullptr);
        EXPECT_EQ(factory.Creations(), 1);

        // A stale cookie fails and releases nothing.
        CHECK_HR("CoRevokeClassObject", 5, CoRevokeClassObject(cookie), E_INVALIDARG);
        EXPECT_EQ(factory.Refs(), 1);
        CoUninitialize();
    });
}

TEST(CoRegisterClassObject, each_registration_gets_its_own_cookie) {
    // {3A7E2C19-4B6D-4E58-9F01-2B3C4D5E6F70}
    const CLSID otherClsid = {0x3A7E2C19, 0x4B6D, 0x4E58, {0x9F, 0x01, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x70}};
    OnFreshThread([&] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        TestClassFactory first;
        TestClassFactory second;
        DWORD cookie1 = 0;
        DWORD cookie2 = 0;
        ASSERT_EQ(CoRegisterClassObject(kTestClsid, &first, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie1), S_OK);
        ASSERT_EQ(CoRegisterClassObject(otherClsid, &second, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie2), S_OK);
        EXPECT_NE(cookie1, cookie2);

        // Revoking one leaves the other served.
        EXPECT_EQ(CoRevokeClassObject(cookie1), S_OK);
        IUnknown* created = nullptr;
        EXPECT_EQ(CoCreateInstance(otherClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                   reinterpret_cast<void**>(&created)),
                  S_OK);
        if (created != nullptr) {
            created->Release();
        }
        EXPECT_EQ(second.Creations(), 1);
        EXPECT_EQ(first.Creations(), 0);
        EXPECT_EQ(CoRevokeClassObject(cookie2), S_OK);
        EXPECT_EQ(first.Refs(), 1);
        EXPECT_EQ(second.Refs(), 1);
        CoUninitialize();
    });
}

}  // namespace
