// The COM runtime subset for the POSIX build, declared as the Windows SDK
// declares it (unknwn.h, objbase.h, combaseapi.h, ocidl.h): IUnknown,
// IClassFactory, connection points, apartment initialisation and in-process
// activation through class factories.
// Implements: CoInitializeEx, CoUninitialize, CoCreateInstance,
//   CoRegisterClassObject, CoRevokeClassObject, IID_IUnknown,
//   IID_IClassFactory, IID_IConnectionPointContainer, IID_IConnectionPoint,
//   and PalRegisterInprocServer, PalLoadInprocServer (POSIX only: the
//   stand-ins for the registry's InprocServer32 keys and the module loader).
// Not implemented: marshalling, proxies, out-of-process servers, aggregation,
//   IEnumConnectionPoints/IEnumConnections (forward declarations only),
//   CoGetClassObject, CoInitialize (see docs/platform-coverage.md).
//
// Interfaces carry a protected non-virtual destructor: no vtable slot, no
// layout change, and -Wnon-virtual-dtor stays quiet for implementers, which
// are destroyed by their own Release.
#ifndef PLATFORM_POSIX_COM_H
#define PLATFORM_POSIX_COM_H

#include "platform/posix/base.h"

EXTERN_C const IID IID_IUnknown;
EXTERN_C const IID IID_IClassFactory;
EXTERN_C const IID IID_IConnectionPointContainer;
EXTERN_C const IID IID_IConnectionPoint;

struct IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef(void) = 0;
    virtual ULONG STDMETHODCALLTYPE Release(void) = 0;

protected:
    ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;

protected:
    ~IClassFactory() = default;
};
typedef IClassFactory* LPCLASSFACTORY;

struct IConnectionPoint;
struct IEnumConnectionPoints;
struct IEnumConnections;

struct IConnectionPointContainer : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) = 0;

protected:
    ~IConnectionPointContainer() = default;
};

struct IConnectionPoint : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) = 0;
    // Keeps the reference that QueryInterface(pUnkSink, outgoing IID) gives;
    // Unadvise releases it.
    virtual HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) = 0;

protected:
    ~IConnectionPoint() = default;
};

typedef enum tagCOINIT {
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_MULTITHREADED = 0x0,
    COINIT_DISABLE_OLE1DDE = 0x4,
    COINIT_SPEED_OVER_MEMORY = 0x8
} COINIT;

typedef enum tagCLSCTX {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_REMOTE_SERVER = 0x10
} CLSCTX;
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_SERVER (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

typedef enum tagREGCLS {
    REGCLS_SINGLEUSE = 0,
    REGCLS_MULTIPLEUSE = 1,
    REGCLS_MULTI_SEPARATE = 2,
    REGCLS_SUSPENDED = 4,
    REGCLS_SURROGATE = 8
} REGCLS;

#define CO_E_OBJNOTREG _HRESULT_TYPEDEF_(0x800401FBL)
#define CO_E_OBJISREG _HRESULT_TYPEDEF_(0x800401FCL)

extern "C" {

HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void WINAPI CoUninitialize(void);
HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);
HRESULT WINAPI CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext, DWORD flags,
                                     LPDWORD lpdwRegister);
HRESULT WINAPI CoRevokeClassObject(DWORD dwRegister);

}  // extern "C"

// POSIX only. The in-process server table, in the role that
// HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 plays on Windows: a server
// linked into the program announces its DllGetClassObject-style entry here
// (typically from a static initialiser), and CoCreateInstance finds it for
// CLSCTX_INPROC_SERVER after the classes registered with
// CoRegisterClassObject. Registering a CLSID again replaces its entry; a null
// getClassObject removes it.
// Result: S_OK, or E_OUTOFMEMORY.
typedef HRESULT (*PAL_GET_CLASS_OBJECT)(REFCLSID rclsid, REFIID riid, void** ppv);
HRESULT PalRegisterInprocServer(REFCLSID rclsid, PAL_GET_CLASS_OBJECT getClassObject);

// POSIX only. Loads an in-process server module, as COM loads the file an
// InprocServer32 key names, and hands back its exported DllGetClassObject.
// The module stays loaded for the rest of the process.
// Result: S_OK; HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) when the module cannot
// be loaded, HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND) when it has no
// DllGetClassObject, E_POINTER for null arguments.
HRESULT PalLoadInprocServer(const char* modulePath, PAL_GET_CLASS_OBJECT* getClassObject);

#endif  // PLATFORM_POSIX_COM_H
