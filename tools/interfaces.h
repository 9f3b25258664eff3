// The component library's public face: the five interfaces, their interface
// IDs and the factory that hands out objects by ID. A caller includes this
// header only, asks CreateToolInstance for an ID and converts the pointer it
// gets to the interface that the ID names.
#ifndef TOOLS_INTERFACES_H
#define TOOLS_INTERFACES_H

#include <string>

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

// Returns 1 and stores a new reference in *out when iid names a component;
// returns 0 and leaves *out untouched otherwise. The 16 bytes of iid are
// compared in the order IDeviceMsg, ILog, IMbimChannel, IAtParser, ILogEx.
int CreateToolInstance(const GUID& iid, void** out);

// The process-wide shared logger, with one reference added for the caller.
IGlobalTools::ILog* GetSharedLog();

#endif  // TOOLS_INTERFACES_H
