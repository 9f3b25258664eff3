// The COM runtime for the POSIX build: per-thread apartment initialisation,
// the class-object table of CoRegisterClassObject, the in-process server
// table that stands in for HKEY_CLASSES_ROOT\CLSID\{...}\InprocServer32, and
// activation through IClassFactory. Everything runs in-process and
// unmarshalled: a pointer handed out is the object itself, whatever the
// apartment of the caller.
// Implements: CoInitializeEx, CoUninitialize, CoCreateInstance,
//   CoRegisterClassObject, CoRevokeClassObject, PalRegisterInprocServer,
//   IID_IUnknown, IID_IClassFactory, IID_IConnectionPointContainer,
//   IID_IConnectionPoint.
// Not implemented: marshalling and proxies (apartments only count
//   initialisations), out-of-process servers, aggregation, REGCLS_SINGLEUSE
//   semantics (every registration acts as REGCLS_MULTIPLEUSE), revoking a
//   thread's registrations when its COM closes.
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/winapi.h"

EXTERN_C const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
EXTERN_C const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
EXTERN_C const IID IID_IConnectionPointContainer = {
    0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
EXTERN_C const IID IID_IConnectionPoint = {
    0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};

namespace {

// What CoInitializeEx left on this thread: how many successful calls are
// still to be matched by CoUninitialize, and the model of the first.
struct ThreadApartment {
    ULONG initCount = 0;
    bool multithreaded = false;
    ~ThreadApartment();
};
thread_local ThreadApartment tlsApartment;

struct ClassRegistration {
    DWORD cookie;
    CLSID clsid;
    DWORD context;
    IUnknown* classObject;  // one reference, given back by CoRevokeClassObject
};

struct GuidHash {
    size_t operator()(const GUID& g) const {
        size_t h = g.Data1;
        h = h * 31 + g.Data2;
        h = h * 31 + g.Data3;
        for (BYTE b : g.Data4) {
            h = h * 31 + b;
        }
        return h;
    }
};

// Process-wide state. Built on first use and never destroyed, so that
// servers may register from static initialisers and objects may be released
// from static destructors in any order.
struct ComRuntime {
    std::mutex lock;
    std::vector<ClassRegistration> classes;
    DWORD nextCookie = 1;
    std::unordered_map<CLSID, PAL_GET_CLASS_OBJECT, GuidHash> inprocServers;
    // Threads now in the multithreaded apartment. While it exists, every
    // thread of the process may use COM (the implicit MTA of Windows).
    ULONG mtaThreads = 0;
};

ComRuntime& Runtime() {
    static ComRuntime* runtime = new ComRuntime;
    return *runtime;
}

// A thread that ends inside the multithreaded apartment, without its last
// CoUninitialize, leaves it, as ole32 does when a thread detaches; otherwise
// the apartment (and the implicit use of COM by every thread) would outlive
// all of its threads.
ThreadApartment::~ThreadApartment() {
    if (initCount != 0 && multithreaded) {
        ComRuntime& rt = Runtime();
        std::lock_guard<std::mutex> guard(rt.lock);
        --rt.mtaThreads;
    }
}

bool ComUsableOnThisThread() {
    if (tlsApartment.initCount != 0) {
        return true;
    }
    ComRuntime& rt = Runtime();
    std::lock_guard<std::mutex> guard(rt.lock);
    return rt.mtaThreads != 0;
}

// Looks up the class object for rclsid, AddRef'd, first among registered
// class objects and then among in-process servers. REGDB_E_CLASSNOTREG when
// neither knows it for dwClsContext.
HRESULT FindClassFactory(REFCLSID rclsid, DWORD dwClsContext, IClassFactory** factory) {
    *factory = nullptr;
    PAL_GET_CLASS_OBJECT getClassObject = nullptr;
    IUnknown* classObject = nullptr;
    {
        ComRuntime& rt = Runtime();
        std::lock_guard<std::mutex> guard(rt.lock);
        for (const ClassRegistration& reg : rt.classes) {
            if (IsEqualCLSID(reg.clsid, rclsid) && (reg.context & dwClsContext) != 0) {
                classObject = reg.classObject;
                classObject->AddRef();
                break;
            }
        }
        if (classObject == nullptr && (dwClsContext & CLSCTX_INPROC_SERVER) != 0) {
            auto it = rt.inprocServers.find(rclsid);
            if (it != rt.inprocServers.end()) {
                getClassObject = it->second;
            }
        }
    }
    // Foreign code runs outside the lock: a factory may well create further
    // objects through CoCreateInstance.
    if (classObject != nullptr) {
        HRESULT hr = classObject->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(factory));
        classObject->Release();
        return hr;
    }
    if (getClassObject != nullptr) {
        return getClassObject(rclsid, IID_IClassFactory, reinterpret_cast<void**>(factory));
    }
    return REGDB_E_CLASSNOTREG;
}

}  // namespace

/******************************************************************************
 *  CoInitializeEx
 *
 *  PARAMS
 *   pvReserved [I] must be NULL.
 *   dwCoInit   [I] COINIT_APARTMENTTHREADED or COINIT_MULTITHREADED (0),
 *                  plus hint flags that are ignored.
 *
 *  RETURNS
 *   S_OK for the first call on a thread; S_FALSE when the thread is already
 *   initialised with the same model; RPC_E_CHANGED_MODE for the other model
 *   (that call does not count and needs no CoUninitialize); E_INVALIDARG for
 *   a non-NULL pvReserved (Wine ignores it).
 *
 *  NOTES
 *   Both models behave alike here except for the bookkeeping: there is no
 *   message loop and no marshalling.
 */
HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    if (pvReserved != nullptr) {
        return E_INVALIDARG;
    }
    if (PAL_FAULT_POINT("CoInitializeEx")) {
        return E_OUTOFMEMORY;
    }
    bool multithreaded = (dwCoInit & COINIT_APARTMENTTHREADED) == 0;
    ThreadApartment& apt = tlsApartment;
    if (apt.initCount != 0) {
        if (apt.multithreaded != multithreaded) {
            return RPC_E_CHANGED_MODE;
        }
        ++apt.initCount;
        return S_FALSE;
    }
    if (multithreaded) {
        ComRuntime& rt = Runtime();
        std::lock_guard<std::mutex> guard(rt.lock);
        ++rt.mtaThreads;
    }
    apt.multithreaded = multithreaded;
    apt.initCount = 1;
    return S_OK;
}

/******************************************************************************
 *  CoUninitialize
 *
 *  NOTES
 *   Undoes one successful CoInitializeEx (S_FALSE included) on this thread;
 *   the last one closes COM for the thread. Without a matching call it does
 *   nothing, as on Windows.
 */
void WINAPI CoUninitialize(void) {
    ThreadApartment& apt = tlsApartment;
    if (apt.initCount == 0) {
        return;
    }
    if (--apt.initCount != 0) {
        return;
    }
    if (apt.multithreaded) {
        ComRuntime& rt = Runtime();
        std::lock_guard<std::mutex> guard(rt.lock);
        --rt.mtaThreads;
    }
}

/******************************************************************************
 *  CoCreateInstance
 *
 *  PARAMS
 *   rclsid       [I] class to create.
 *   pUnkOuter    [I] controlling unknown; must be NULL.
 *   dwClsContext [I] CLSCTX_* mask; CLSCTX_INPROC_SERVER reaches in-process
 *                    servers, every context reaches registered class objects
 *                    registered for it.
 *   riid         [I] interface wanted.
 *   ppv          [O] the interface; NULL on failure.
 *
 *  RETURNS
 *   S_OK; E_POINTER for NULL ppv; CO_E_NOTINITIALIZED when neither this
 *   thread nor the multithreaded apartment is initialised;
 *   REGDB_E_CLASSNOTREG for an unknown class; CLASS_E_NOAGGREGATION for a
 *   non-NULL pUnkOuter; otherwise what the class object's CreateInstance
 *   (or the server's class-object entry) returns, e.g. E_NOINTERFACE.
 *
 *  NOTES
 *   Classes registered with CoRegisterClassObject win over in-process
 *   servers of the same CLSID. No server here supports aggregation, so
 *   pUnkOuter is refused before the factory is asked.
 */
HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (!ComUsableOnThisThread()) {
        return CO_E_NOTINITIALIZED;
    }
    if (PAL_FAULT_POINT("CoCreateInstance")) {
        return E_OUTOFMEMORY;
    }
    IClassFactory* factory = nullptr;
    HRESULT hr = FindClassFactory(rclsid, dwClsContext, &factory);
    if (FAILED(hr)) {
        return hr;
    }
    if (factory == nullptr) {
        return E_UNEXPECTED;
    }
    if (pUnkOuter != nullptr) {
        hr = CLASS_E_NOAGGREGATION;
    } else {
        hr = factory->CreateInstance(nullptr, riid, ppv);
    }
    factory->Release();
    if (FAILED(hr)) {
        *ppv = nullptr;
    }
    return hr;
}

/******************************************************************************
 *  CoRegisterClassObject
 *
 *  PARAMS
 *   rclsid        [I] class served.
 *   pUnk          [I] the class object (normally an IClassFactory); the
 *                     table keeps one reference until CoRevokeClassObject.
 *   dwClsContext  [I] contexts it serves (CLSCTX_INPROC_SERVER...).
 *   flags         [I] REGCLS_*; all act as REGCLS_MULTIPLEUSE.
 *   lpdwRegister  [O] cookie for CoRevokeClassObject, never 0.
 *
 *  RETURNS
 *   S_OK; E_INVALIDARG for NULL pUnk or lpdwRegister; CO_E_NOTINITIALIZED
 *   when COM is not usable on this thread; CO_E_OBJISREG when the class
 *   already has a registered class object.
 *
 *  NOTES
 *   The table is process-wide, not per apartment, and a registration
 *   outlives the thread's COM until it is revoked.
 */
HRESULT WINAPI CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext, DWORD flags,
                                     LPDWORD lpdwRegister) {
    (void)flags;
    if (lpdwRegister == nullptr || pUnk == nullptr) {
        return E_INVALIDARG;
    }
    *lpdwRegister = 0;
    if (!ComUsableOnThisThread()) {
        return CO_E_NOTINITIALIZED;
    }
    ComRuntime& rt = Runtime();
    std::lock_guard<std::mutex> guard(rt.lock);
    for (const ClassRegistration& reg : rt.classes) {
        if (IsEqualCLSID(reg.clsid, rclsid)) {
            return CO_E_OBJISREG;
        }
    }
    DWORD cookie = rt.nextCookie++;
    if (rt.nextCookie == 0) {
        rt.nextCookie = 1;
    }
    rt.classes.push_back(ClassRegistration{cookie, rclsid, dwClsContext, pUnk});
    pUnk->AddRef();
    *lpdwRegister = cookie;
    return S_OK;
}

/******************************************************************************
 *  CoRevokeClassObject
 *
 *  PARAMS
 *   dwRegister [I] cookie from CoRegisterClassObject.
 *
 *  RETURNS
 *   S_OK, after releasing the table's reference to the class object;
 *   E_INVALIDARG for a cookie that is not registered; CO_E_NOTINITIALIZED
 *   when COM is not usable on this thread (both as Wine answers; Windows
 *   documents only the standard codes).
 */
HRESULT WINAPI CoRevokeClassObject(DWORD dwRegister) {
    if (!ComUsableOnThisThread()) {
        return CO_E_NOTINITIALIZED;
    }
    IUnknown* classObject = nullptr;
    {
        ComRuntime& rt = Runtime();
        std::lock_guard<std::mutex> guard(rt.lock);
        for (auto it = rt.classes.begin(); it != rt.classes.end(); ++it) {
            if (it->cookie == dwRegister) {
                classObject = it->classObject;
                rt.classes.erase(it);
                break;
            }
        }
    }
    if (classObject == nullptr) {
        return E_INVALIDARG;
    }
    classObject->Release();
    return S_OK;
}

/******************************************************************************
 *  PalRegisterInprocServer   (POSIX only)
 *
 *  PARAMS
 *   rclsid         [I] class the server provides.
 *   getClassObject [I] the server's DllGetClassObject-style entry, or NULL
 *                      to remove the class.
 *
 *  RETURNS
 *   S_OK; E_OUTOFMEMORY when the table cannot grow.
 *
 *  NOTES
 *   Plays the part of installing an in-process server in the registry, so it
 *   works before any CoInitializeEx, including from static initialisers.
 *   Registering a class again replaces the entry.
 */
HRESULT PalRegisterInprocServer(REFCLSID rclsid, PAL_GET_CLASS_OBJECT getClassObject) {
    ComRuntime& rt = Runtime();
    std::lock_guard<std::mutex> guard(rt.lock);
    if (getClassObject == nullptr) {
        rt.inprocServers.erase(rclsid);
        return S_OK;
    }
    try {
        rt.inprocServers[rclsid] = getClassObject;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}
