// The component library's public face: the interfaces, their interface IDs
// and the factory that hands out objects by ID. A caller includes this
// header only, asks CreateToolInstance for an ID and converts the pointer it
// gets to the interface that the ID names.
//
// Interfaces are versioned as COM versions them: a second version derives
// from the first, keeps its slots and their behaviour, adds slots after them
// and has an ID of its own. A caller that knows only the first version is
// served as before.
#ifndef TOOLS_INTERFACES_H
#define TOOLS_INTERFACES_H

#include <string>
#include <vector>

#include "platform/winapi.h"

namespace IGlobalTools {

// Serial-port channel: the request/response job over a numbered COM port.
class IDeviceMsg {
public:
    virtual ~IDeviceMsg() {}
    virtual HRESULT Open(int port) = 0;
    virtual HRESULT SendData(const char* data, int len, std::string& response) = 0;
    virtual HRESULT Sendmsg(const char* data, int len) = 0;
    virtual HRESULT Recvmsg(std::string& response) = 0;
    virtual int Close() = 0;
    virtual void Release() = 0;
};

// The shared, reference-counted file logger.
class ILog {
public:
    virtual ~ILog() {}
    virtual void SetLogPath(const char* path) = 0;
    virtual void Log(int level, const char* format, ...) = 0;
    virtual void Release() = 0;
    virtual int AddRef() = 0;
};

// Unwraps a length-prefixed modem answer.
class IAtParser {
public:
    virtual ~IAtParser() {}
    virtual void Parse(const char* data, unsigned int len, std::string& out) = 0;
    virtual void Release() = 0;
};

// The MBIM device-service channel.
class IMbimChannel {
public:
    virtual ~IMbimChannel() {}
    virtual HRESULT Open() = 0;
    virtual HRESULT SendData(const char* data, unsigned int len, std::string& response, IAtParser* parser,
                             const WCHAR* serviceId, ULONG commandId) = 0;
    virtual HRESULT OpenSession(const WCHAR* serviceId) = 0;
    virtual HRESULT Sendmsg(const char* data, unsigned int len, ULONG commandId) = 0;
    virtual HRESULT Recvmsg(std::string& response) = 0;
    virtual void CloseSession() = 0;
    virtual HRESULT OpenDataSession(const WCHAR* serviceId) = 0;
    virtual HRESULT RecvDataMsg(std::string& response) = 0;
    virtual void CloseDataSession() = 0;
    virtual void Release() = 0;
};

// A private file logger, owned by whoever asked for it.
class ILogEx {
public:
    virtual ~ILogEx() {}
    virtual void SetLogPath(const char* path) = 0;
    virtual void Log(int level, const char* format, ...) = 0;
    virtual void Release() = 0;
};

// Version 2 of the serial channel (IID_IDeviceMsg2): IDeviceMsg's slots and
// behaviour, then:
class IDeviceMsg2 : public IDeviceMsg {
public:
    // As Open, by name: "COMn" or "\\.\COMn", or a name the platform opens
    // as a serial port (on Linux, a terminal device path such as
    // /dev/ttyUSB2); a name that opens but is no communications device is
    // refused with ERROR_FILE_NOT_FOUND. On failure the platform's error
    // stays the thread's last error (ERROR_ACCESS_DENIED: the port is taken,
    // or may not be opened; on Linux ERROR_SHARING_VIOLATION: another
    // program has it open).
    virtual HRESULT OpenName(const WCHAR* name) = 0;
    // Waits at most `milliseconds` for a byte, then appends every byte
    // waiting, however few, to response: S_OK with at least one byte,
    // HRESULT_FROM_WIN32(ERROR_TIMEOUT) with none, E_FAIL when the port is
    // not open or cannot be read.
    virtual HRESULT RecvWait(std::string& response, DWORD milliseconds) = 0;
};

// Version 2 of the shared logger (IID_ILog2): the same object as IID_ILog.
class ILog2 : public ILog {
public:
    // Lines of this level or below also go to standard error as they are
    // written, whatever the INI threshold says; -1 (the start): none.
    virtual void SetStandardErrorLevel(int level) = 0;
};

// One modem interface as the Mobile Broadband API lists it. Texts are UTF-8;
// manufacturer and model are empty when the interface does not say.
struct MbimInterfaceInfo {
    std::string interfaceId;
    std::string manufacturer;
    std::string model;
    LONG readyState;  // MBN_READY_STATE, or -1 when it could not be read
};

// The longest answer wait IMbimChannel2 takes: 10 minutes, for network
// scans that take minutes.
const DWORD kMaxAnswerTimeoutMs = 600000;

// Version 2 of the MBIM channel (IID_IMbimChannel2): IMbimChannel's slots
// and behaviour, then the settings a caller may change and what a caller
// may ask after an exchange.
class IMbimChannel2 : public IMbimChannel {
public:
    // How long SendData and Recvmsg wait for an answer: 1 to
    // kMaxAnswerTimeoutMs, 5000 at the start; E_INVALIDARG otherwise.
    virtual HRESULT SetAnswerTimeout(DWORD milliseconds) = 0;
    // The modem interface that sessions use, by the interface ID the API
    // reports (case ignored); null or empty: the first, as at the start.
    virtual HRESULT SelectInterface(const WCHAR* interfaceId) = 0;
    // Every modem interface, in the API's order (after Open).
    virtual HRESULT ListInterfaces(std::vector<MbimInterfaceInfo>& list) = 0;
    // How the last SendData or Recvmsg ended: S_OK with an answer,
    // HRESULT_FROM_WIN32(ERROR_TIMEOUT) with none in time, otherwise the
    // failure that ended it (no modem, no session, a refused command or a
    // failed completion).
    virtual HRESULT GetLastExchangeStatus() = 0;
    // The selected interface's MaxCommandSize: a command payload must be
    // shorter (after Open).
    virtual HRESULT GetMaxCommandSize(ULONG* bytes) = 0;
};

}  // namespace IGlobalTools

// {82F20A40-CC00-44F5-BEBB-E2494514871A}
inline constexpr GUID IID_IDeviceMsg = {0x82F20A40, 0xCC00, 0x44F5, {0xBE, 0xBB, 0xE2, 0x49, 0x45, 0x14, 0x87, 0x1A}};
// {FD0294BF-ED5A-43CE-BC53-B85DA8BB0521}
inline constexpr GUID IID_ILog = {0xFD0294BF, 0xED5A, 0x43CE, {0xBC, 0x53, 0xB8, 0x5D, 0xA8, 0xBB, 0x05, 0x21}};
// {0D7106B7-0854-45D7-B33A-6F5947D6DDC3}
inline constexpr GUID IID_IMbimChannel = {0x0D7106B7, 0x0854, 0x45D7, {0xB3, 0x3A, 0x6F, 0x59, 0x47, 0xD6, 0xDD, 0xC3}};
// {F893A925-01D7-4DC2-BC7B-E2358E45C4D2}
inline constexpr GUID IID_IAtParser = {0xF893A925, 0x01D7, 0x4DC2, {0xBC, 0x7B, 0xE2, 0x35, 0x8E, 0x45, 0xC4, 0xD2}};
// {BCA8E793-5409-4F2B-B94B-5BCCB983C4FB}
inline constexpr GUID IID_ILogEx = {0xBCA8E793, 0x5409, 0x4F2B, {0xB9, 0x4B, 0x5B, 0xCC, 0xB9, 0x83, 0xC4, 0xFB}};

// {D082C8D7-D0CE-4047-A16D-AADCB5E63589}
inline constexpr GUID IID_IMbimChannel2 = {
    0xD082C8D7, 0xD0CE, 0x4047, {0xA1, 0x6D, 0xAA, 0xDC, 0xB5, 0xE6, 0x35, 0x89}};
// {1586ACFF-B19D-428F-92C9-18717A10D22D}
inline constexpr GUID IID_ILog2 = {0x1586ACFF, 0xB19D, 0x428F, {0x92, 0xC9, 0x18, 0x71, 0x7A, 0x10, 0xD2, 0x2D}};
// {6C0B3E51-7A2D-4F8E-9B14-2E5D0A9C7F36}
inline constexpr GUID IID_IDeviceMsg2 = {0x6C0B3E51, 0x7A2D, 0x4F8E, {0x9B, 0x14, 0x2E, 0x5D, 0x0A, 0x9C, 0x7F, 0x36}};

// Returns 1 and stores a new reference in *out when iid names a component;
// returns 0 and leaves *out untouched otherwise. The 16 bytes of iid are
// compared in the order IDeviceMsg, ILog, IMbimChannel, IAtParser, ILogEx,
// IMbimChannel2, ILog2, IDeviceMsg2.
int CreateToolInstance(const GUID& iid, void** out);

// The process-wide shared logger, with one reference added for the caller.
IGlobalTools::ILog* GetSharedLog();

#endif  // TOOLS_INTERFACES_H
