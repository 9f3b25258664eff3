// Mobile Broadband API declarations for the subset this system calls: the
// interface manager, the device-services manager, its context and device
// service, and the device-services event sink that clients implement. The
// toolchains ship no mbnapi.h, so these declarations serve both builds. Slot
// order and signatures follow the SDK header (not the alphabetical order of
// the reference pages), every method is STDMETHODCALLTYPE (__stdcall on i686
// Windows), and the guard names are the SDK's, so a toolchain that one day
// ships mbnapi.h takes precedence without a clash.
// Implements: declarations only; IIDs and CLSIDs are defined in
//   platform/src/mbnapi_guids.cpp.
// Not implemented: the other Mobile Broadband interfaces (connections,
//   registration, PIN, SMS, signal...); IMbnSubscriberInformation and
//   IMbnConnection are declared only as opaque types.
//
// Each interface has a protected, non-virtual destructor. It adds no vtable
// slot and changes no layout; it only keeps -Wnon-virtual-dtor quiet for
// classes that implement these interfaces (objects are destroyed by their own
// Release, never by delete through an interface pointer).
#ifndef __mbnapi_h__
#define __mbnapi_h__

#include <cstddef>

#include "platform/winapi.h"

#ifndef __IMbnSubscriberInformation_FWD_DEFINED__
#define __IMbnSubscriberInformation_FWD_DEFINED__
typedef interface IMbnSubscriberInformation IMbnSubscriberInformation;
#endif

#ifndef __IMbnConnection_FWD_DEFINED__
#define __IMbnConnection_FWD_DEFINED__
typedef interface IMbnConnection IMbnConnection;
#endif

#ifndef __IMbnInterface_FWD_DEFINED__
#define __IMbnInterface_FWD_DEFINED__
typedef interface IMbnInterface IMbnInterface;
#endif

#ifndef __IMbnInterfaceManager_FWD_DEFINED__
#define __IMbnInterfaceManager_FWD_DEFINED__
typedef interface IMbnInterfaceManager IMbnInterfaceManager;
#endif

#ifndef __IMbnDeviceServicesManager_FWD_DEFINED__
#define __IMbnDeviceServicesManager_FWD_DEFINED__
typedef interface IMbnDeviceServicesManager IMbnDeviceServicesManager;
#endif

#ifndef __IMbnDeviceServicesContext_FWD_DEFINED__
#define __IMbnDeviceServicesContext_FWD_DEFINED__
typedef interface IMbnDeviceServicesContext IMbnDeviceServicesContext;
#endif

#ifndef __IMbnDeviceServicesEvents_FWD_DEFINED__
#define __IMbnDeviceServicesEvents_FWD_DEFINED__
typedef interface IMbnDeviceServicesEvents IMbnDeviceServicesEvents;
#endif

#ifndef __IMbnDeviceService_FWD_DEFINED__
#define __IMbnDeviceService_FWD_DEFINED__
typedef interface IMbnDeviceService IMbnDeviceService;
#endif

// All MBN enums are 32-bit ([v1_enum] in the IDL).
typedef enum MBN_CELLULAR_CLASS {
    MBN_CELLULAR_CLASS_NONE = 0,
    MBN_CELLULAR_CLASS_GSM = 0x1,
    MBN_CELLULAR_CLASS_CDMA = 0x2
} MBN_CELLULAR_CLASS;

typedef enum MBN_VOICE_CLASS {
    MBN_VOICE_CLASS_NONE = 0,
    MBN_VOICE_CLASS_NO_VOICE = 1,
    MBN_VOICE_CLASS_SEPARATE_VOICE_DATA = 2,
    MBN_VOICE_CLASS_SIMULTANEOUS_VOICE_DATA = 3
} MBN_VOICE_CLASS;

// Bits of MBN_INTERFACE_CAPS::dataClass and MBN_PROVIDER::dataClass. The 5G
// bits exist only in newer SDKs; readers must treat unknown bits as "other".
typedef enum MBN_DATA_CLASS {
    MBN_DATA_CLASS_NONE = 0,
    MBN_DATA_CLASS_GPRS = 0x1,
    MBN_DATA_CLASS_EDGE = 0x2,
    MBN_DATA_CLASS_UMTS = 0x4,
    MBN_DATA_CLASS_HSDPA = 0x8,
    MBN_DATA_CLASS_HSUPA = 0x10,
    MBN_DATA_CLASS_LTE = 0x20,
    MBN_DATA_CLASS_5G_NSA = 0x40,
    MBN_DATA_CLASS_5G_SA = 0x80,
    MBN_DATA_CLASS_1XRTT = 0x10000,
    MBN_DATA_CLASS_1XEVDO = 0x20000,
    MBN_DATA_CLASS_1XEVDO_REVA = 0x40000,
    MBN_DATA_CLASS_1XEVDV = 0x80000,
    MBN_DATA_CLASS_3XRTT = 0x100000,
    MBN_DATA_CLASS_1XEVDO_REVB = 0x200000,
    MBN_DATA_CLASS_UMB = 0x400000,
    MBN_DATA_CLASS_CUSTOM = (int)0x80000000
} MBN_DATA_CLASS;

// NO_ESIM_PROFILE exists only in newer SDKs; older services stop at
// DEVICE_BLOCKED, newer ones may report values beyond it.
typedef enum MBN_READY_STATE {
    MBN_READY_STATE_OFF = 0,
    MBN_READY_STATE_INITIALIZED = 1,
    MBN_READY_STATE_SIM_NOT_INSERTED = 2,
    MBN_READY_STATE_BAD_SIM = 3,
    MBN_READY_STATE_FAILURE = 4,
    MBN_READY_STATE_NOT_ACTIVATED = 5,
    MBN_READY_STATE_DEVICE_LOCKED = 6,
    MBN_READY_STATE_DEVICE_BLOCKED = 7,
    MBN_READY_STATE_NO_ESIM_PROFILE = 8
} MBN_READY_STATE;

typedef enum MBN_DEVICE_SERVICES_INTERFACE_STATE {
    MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_ARRIVAL = 0,
    MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_REMOVAL = 1
} MBN_DEVICE_SERVICES_INTERFACE_STATE;

// The caller frees every BSTR in these structures.
typedef struct MBN_INTERFACE_CAPS {
    MBN_CELLULAR_CLASS cellularClass;
    MBN_VOICE_CLASS voiceClass;
    ULONG dataClass;
    BSTR customDataClass;
    ULONG gsmBandClass;
    ULONG cdmaBandClass;
    BSTR customBandClass;
    ULONG smsCaps;
    ULONG controlCaps;
    BSTR deviceID;
    BSTR manufacturer;
    BSTR model;
    BSTR firmwareInfo;
} MBN_INTERFACE_CAPS;

typedef struct MBN_PROVIDER {
    BSTR providerID;
    ULONG providerState;
    BSTR providerName;
    ULONG dataClass;
} MBN_PROVIDER;

// Element of the array that IMbnDeviceServicesContext::EnumerateDeviceServices
// returns. The flags are VARIANT_BOOL (2 bytes, TRUE = -1), unlike the BOOL of
// IMbnDeviceService::get_IsCommandSessionOpen.
typedef struct MBN_DEVICE_SERVICE {
    BSTR deviceServiceID;
    VARIANT_BOOL dataWriteSupported;
    VARIANT_BOOL dataReadSupported;
} MBN_DEVICE_SERVICE;

static_assert(sizeof(MBN_READY_STATE) == 4, "MBN enums are 32-bit");
static_assert(sizeof(MBN_DEVICE_SERVICES_INTERFACE_STATE) == 4, "MBN enums are 32-bit");
static_assert(sizeof(MBN_INTERFACE_CAPS) == (sizeof(BSTR) == 8 ? 80 : 52), "MBN_INTERFACE_CAPS layout");
static_assert(sizeof(MBN_PROVIDER) == (sizeof(BSTR) == 8 ? 32 : 16), "MBN_PROVIDER layout");
static_assert(offsetof(MBN_DEVICE_SERVICE, dataReadSupported) == sizeof(BSTR) + 2, "MBN_DEVICE_SERVICE layout");

EXTERN_C const CLSID CLSID_MbnInterfaceManager;
EXTERN_C const CLSID CLSID_MbnDeviceServicesManager;
EXTERN_C const IID IID_IMbnInterfaceManager;
EXTERN_C const IID IID_IMbnInterface;
EXTERN_C const IID IID_IMbnDeviceServicesManager;
EXTERN_C const IID IID_IMbnDeviceServicesContext;
EXTERN_C const IID IID_IMbnDeviceService;
EXTERN_C const IID IID_IMbnDeviceServicesEvents;

// The Windows IUnknown has a public non-virtual destructor; deriving from it
// is what COM interfaces do, so the warning is silenced for these
// declarations only.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

// The formatter does not know MIDL_INTERFACE: the declarations keep the
// layout of the SDK headers.
// clang-format off
#ifndef __IMbnInterface_INTERFACE_DEFINED__
#define __IMbnInterface_INTERFACE_DEFINED__
MIDL_INTERFACE("DCBBBAB6-2001-4BBB-AAEE-338E368AF6FA")
IMbnInterface : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR* InterfaceID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetInterfaceCapability(MBN_INTERFACE_CAPS* interfaceCaps) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    GetSubscriberInformation(IMbnSubscriberInformation** subscriberInformation) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetReadyState(MBN_READY_STATE* readyState) = 0;
    virtual HRESULT STDMETHODCALLTYPE InEmergencyMode(VARIANT_BOOL* emergencyMode) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetHomeProvider(MBN_PROVIDER* homeProvider) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPreferredProviders(SAFEARRAY** preferredProviders) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetPreferredProviders(SAFEARRAY* preferredProviders,
                                                            ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetVisibleProviders(ULONG* age, SAFEARRAY** visibleProviders) = 0;
    virtual HRESULT STDMETHODCALLTYPE ScanNetwork(ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetConnection(IMbnConnection** mbnConnection) = 0;

protected:
    ~IMbnInterface() = default;
};
#endif

#ifndef __IMbnInterfaceManager_INTERFACE_DEFINED__
#define __IMbnInterfaceManager_INTERFACE_DEFINED__
MIDL_INTERFACE("DCBBBAB6-201B-4BBB-AAEE-338E368AF6FA")
IMbnInterfaceManager : public IUnknown {
public:
    // interfaceID is a plain wide string here; the device-services calls
    // below take a BSTR.
    virtual HRESULT STDMETHODCALLTYPE GetInterface(LPCWSTR interfaceID, IMbnInterface** mbnInterface) = 0;
    // On S_OK the caller owns the array (SafeArrayDestroy); NULL otherwise.
    virtual HRESULT STDMETHODCALLTYPE GetInterfaces(SAFEARRAY** mbnInterfaces) = 0;

protected:
    ~IMbnInterfaceManager() = default;
};
#endif

#ifndef __IMbnDeviceServicesManager_INTERFACE_DEFINED__
#define __IMbnDeviceServicesManager_INTERFACE_DEFINED__
MIDL_INTERFACE("20A26258-6811-4478-AC1D-13324E45E41C")
IMbnDeviceServicesManager : public IUnknown {
public:
    // networkInterfaceID is the value of IMbnInterface::get_InterfaceID.
    // HRESULT_FROM_WIN32(ERROR_NOT_FOUND) when no device matches.
    virtual HRESULT STDMETHODCALLTYPE
    GetDeviceServicesContext(BSTR networkInterfaceID, IMbnDeviceServicesContext** mbnDevicesContext) = 0;

protected:
    ~IMbnDeviceServicesManager() = default;
};
#endif

#ifndef __IMbnDeviceServicesContext_INTERFACE_DEFINED__
#define __IMbnDeviceServicesContext_INTERFACE_DEFINED__
MIDL_INTERFACE("FC5AC347-1592-4068-80BB-6A57580150D8")
IMbnDeviceServicesContext : public IUnknown {
public:
    // Array of MBN_DEVICE_SERVICE: the caller frees each deviceServiceID,
    // then destroys the array.
    virtual HRESULT STDMETHODCALLTYPE EnumerateDeviceServices(SAFEARRAY** deviceServices) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeviceService(BSTR deviceServiceID,
                                                       IMbnDeviceService** mbnDeviceService) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MaxCommandSize(ULONG* maxCommandSize) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MaxDataSize(ULONG* maxDataSize) = 0;

protected:
    ~IMbnDeviceServicesContext() = default;
};
#endif

#ifndef __IMbnDeviceServicesEvents_INTERFACE_DEFINED__
#define __IMbnDeviceServicesEvents_INTERFACE_DEFINED__
// Implemented by the client. Note the (status, requestID) order, the reverse
// of the older IMbnInterfaceEvents family.
MIDL_INTERFACE("0A900C19-6824-4E97-B76E-CF239D0CA642")
IMbnDeviceServicesEvents : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE OnQuerySupportedCommandsComplete(IMbnDeviceService* deviceService,
                                                                       SAFEARRAY* commandIDList,
                                                                       HRESULT status, ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnOpenCommandSessionComplete(IMbnDeviceService* deviceService,
                                                                   HRESULT status, ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnCloseCommandSessionComplete(IMbnDeviceService* deviceService,
                                                                    HRESULT status, ULONG requestID) = 0;
    // deviceServiceData holds one fragment, is valid only when status is
    // S_OK, and is freed by the service when the call returns.
    virtual HRESULT STDMETHODCALLTYPE OnSetCommandComplete(IMbnDeviceService* deviceService,
                                                           ULONG responseID, SAFEARRAY* deviceServiceData,
                                                           HRESULT status, ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnQueryCommandComplete(IMbnDeviceService* deviceService,
                                                             ULONG responseID, SAFEARRAY* deviceServiceData,
                                                             HRESULT status, ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnEventNotification(IMbnDeviceService* deviceService, ULONG eventID,
                                                          SAFEARRAY* deviceServiceData) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnOpenDataSessionComplete(IMbnDeviceService* deviceService,
                                                                HRESULT status, ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnCloseDataSessionComplete(IMbnDeviceService* deviceService,
                                                                 HRESULT status, ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnWriteDataComplete(IMbnDeviceService* deviceService, HRESULT status,
                                                          ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnReadData(IMbnDeviceService* deviceService,
                                                 SAFEARRAY* deviceServiceData) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnInterfaceStateChange(BSTR interfaceID,
                                                             MBN_DEVICE_SERVICES_INTERFACE_STATE stateChange) = 0;

protected:
    ~IMbnDeviceServicesEvents() = default;
};
#endif

#ifndef __IMbnDeviceService_INTERFACE_DEFINED__
#define __IMbnDeviceService_INTERFACE_DEFINED__
// Requests return at once with a request ID; each outcome arrives later on
// IMbnDeviceServicesEvents. The getters come after the requests.
MIDL_INTERFACE("B3BB9A71-DC70-4BE9-A4DA-7886AE8B191B")
IMbnDeviceService : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE QuerySupportedCommands(ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenCommandSession(ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE CloseCommandSession(ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetCommand(ULONG commandID, SAFEARRAY* deviceServiceData,
                                                 ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryCommand(ULONG commandID, SAFEARRAY* deviceServiceData,
                                                   ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenDataSession(ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE CloseDataSession(ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteData(SAFEARRAY* deviceServiceData, ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR* InterfaceID) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DeviceServiceID(BSTR* DeviceServiceID) = 0;
    // BOOL (4 bytes), not VARIANT_BOOL.
    virtual HRESULT STDMETHODCALLTYPE get_IsCommandSessionOpen(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsDataSessionOpen(BOOL* value) = 0;

protected:
    ~IMbnDeviceService() = default;
};
#endif

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// mingw resolves __uuidof(T) through these specialisations; POSIX has no
// __uuidof, hence the test on the macro itself.
#ifdef __CRT_UUID_DECL
__CRT_UUID_DECL(IMbnInterface, 0xDCBBBAB6, 0x2001, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36, 0x8A, 0xF6, 0xFA)
__CRT_UUID_DECL(IMbnInterfaceManager, 0xDCBBBAB6, 0x201B, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36, 0x8A, 0xF6,
                0xFA)
__CRT_UUID_DECL(IMbnDeviceServicesManager, 0x20A26258, 0x6811, 0x4478, 0xAC, 0x1D, 0x13, 0x32, 0x4E, 0x45,
                0xE4, 0x1C)
__CRT_UUID_DECL(IMbnDeviceServicesContext, 0xFC5AC347, 0x1592, 0x4068, 0x80, 0xBB, 0x6A, 0x57, 0x58, 0x01,
                0x50, 0xD8)
__CRT_UUID_DECL(IMbnDeviceServicesEvents, 0x0A900C19, 0x6824, 0x4E97, 0xB7, 0x6E, 0xCF, 0x23, 0x9D, 0x0C,
                0xA6, 0x42)
__CRT_UUID_DECL(IMbnDeviceService, 0xB3BB9A71, 0xDC70, 0x4BE9, 0xA4, 0xDA, 0x78, 0x86, 0xAE, 0x8B, 0x19, 0x1B)
#endif

// clang-format on

#endif  // __mbnapi_h__
