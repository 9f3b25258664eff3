// How the libmbim back end reports libmbim and MBIM outcomes as HRESULTs: one
// table, used for every synchronous result and every completion status.
//
//   outcome (libmbim GError domain / MBIM status)     HRESULT
//   ------------------------------------------------  ----------------------------------------
//   MBIM_CORE_ERROR_TIMEOUT, PROTOCOL TIMEOUT_FRAGMENT HRESULT_FROM_WIN32(ERROR_TIMEOUT)
//   MBIM_CORE_ERROR_WRONG_STATE, PROTOCOL NOT_OPENED   HRESULT_FROM_WIN32(ERROR_NOT_READY)
//   MBIM_CORE_ERROR_ABORTED, G_IO_ERROR_CANCELLED      HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED)
//   MBIM_CORE_ERROR_UNSUPPORTED, STATUS NO_DEVICE_SUPPORT HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)
//   MBIM_CORE_ERROR_INVALID_ARGS, STATUS INVALID_PARAMETERS E_INVALIDARG
//   STATUS BUSY                                        HRESULT_FROM_WIN32(ERROR_BUSY)
//   STATUS SIM_NOT_INSERTED                            E_MBN_SIM_NOT_INSERTED
//   STATUS BAD_SIM                                     E_MBN_BAD_SIM
//   STATUS PIN_REQUIRED                                E_MBN_PIN_REQUIRED
//   STATUS PIN_DISABLED                                E_MBN_PIN_DISABLED
//   STATUS NOT_REGISTERED                              E_MBN_NOT_REGISTERED
//   STATUS PROVIDERS_NOT_FOUND                         E_MBN_PROVIDERS_NOT_FOUND
//   STATUS PROVIDER_NOT_VISIBLE                        E_MBN_PROVIDER_NOT_VISIBLE
//   STATUS DATA_CLASS_NOT_AVAILABLE                    E_MBN_DATA_CLASS_NOT_AVAILABLE
//   STATUS PACKET_SERVICE_DETACHED                     E_MBN_PACKET_SVC_DETACHED
//   STATUS MAX_ACTIVATED_CONTEXTS                      E_MBN_MAX_ACTIVATED_CONTEXTS
//   STATUS NOT_INITIALIZED                             HRESULT_FROM_WIN32(ERROR_NOT_READY)
//   STATUS VOICE_CALL_IN_PROGRESS                      E_MBN_VOICE_CALL_IN_PROGRESS
//   STATUS CONTEXT_NOT_ACTIVATED                       E_MBN_CONTEXT_NOT_ACTIVATED
//   STATUS SERVICE_NOT_ACTIVATED                       E_MBN_SERVICE_NOT_ACTIVATED
//   STATUS INVALID_ACCESS_STRING                       E_MBN_INVALID_ACCESS_STRING
//   STATUS RADIO_POWER_OFF                             E_MBN_RADIO_POWER_OFF
//   the device went away (removal, hang-up, a write     HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED)
//     failing with EIO, ENXIO or EPIPE)
//   FUNCTION_ERROR NOT_OPENED for no request of ours   HRESULT_FROM_WIN32(ERROR_NOT_READY), for every
//     (the function reset)                              request still waiting
//   COMMAND_DONE for another service or CID            HRESULT_FROM_WIN32(ERROR_INVALID_DATA)
//   anything else (STATUS FAILURE included)            E_FAIL
//
// Creating a manager opens the control ports; its failures (with a one-line
// reason on standard error):
//   no such file                                       HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
//   not a character device                             HRESULT_FROM_WIN32(ERROR_BAD_DEVICE)
//   direct open refused: EACCES, EPERM                 E_ACCESSDENIED
//                        EBUSY (another program)       HRESULT_FROM_WIN32(ERROR_BUSY)
//                        ENODEV, ENXIO                 HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED)
//   another process of ours holds the port's lock      HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)
//     past the bound (device_file.h)
//   no answer to OPEN                                  HRESULT_FROM_WIN32(ERROR_TIMEOUT)
//   not root while mbim-proxy runs (auto)              HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)
//   other libmbim errors                               as in the table above
//
// The E_MBN_* values are those of the Windows SDK's winerror.h (facility
// 0x54, codes 0x8201-0x8212).
#ifndef MBNSERVICE_LIBMBIM_HRESULT_H
#define MBNSERVICE_LIBMBIM_HRESULT_H

#include <cstdint>

#include "platform/winapi.h"

typedef struct _GError GError;

#ifndef E_MBN_CONTEXT_NOT_ACTIVATED
#define E_MBN_CONTEXT_NOT_ACTIVATED _HRESULT_TYPEDEF_(0x80548201L)
#define E_MBN_BAD_SIM _HRESULT_TYPEDEF_(0x80548202L)
#define E_MBN_DATA_CLASS_NOT_AVAILABLE _HRESULT_TYPEDEF_(0x80548203L)
#define E_MBN_INVALID_ACCESS_STRING _HRESULT_TYPEDEF_(0x80548204L)
#define E_MBN_MAX_ACTIVATED_CONTEXTS _HRESULT_TYPEDEF_(0x80548205L)
#define E_MBN_PACKET_SVC_DETACHED _HRESULT_TYPEDEF_(0x80548206L)
#define E_MBN_PROVIDER_NOT_VISIBLE _HRESULT_TYPEDEF_(0x80548207L)
#define E_MBN_RADIO_POWER_OFF _HRESULT_TYPEDEF_(0x80548208L)
#define E_MBN_SERVICE_NOT_ACTIVATED _HRESULT_TYPEDEF_(0x80548209L)
#define E_MBN_SIM_NOT_INSERTED _HRESULT_TYPEDEF_(0x8054820AL)
#define E_MBN_VOICE_CALL_IN_PROGRESS _HRESULT_TYPEDEF_(0x8054820BL)
#define E_MBN_NOT_REGISTERED _HRESULT_TYPEDEF_(0x8054820DL)
#define E_MBN_PROVIDERS_NOT_FOUND _HRESULT_TYPEDEF_(0x8054820EL)
#define E_MBN_PIN_REQUIRED _HRESULT_TYPEDEF_(0x80548210L)
#define E_MBN_PIN_DISABLED _HRESULT_TYPEDEF_(0x80548211L)
#endif

namespace mbnmbim {

constexpr HRESULT kDeviceGone = static_cast<HRESULT>(0x8007048F);    // HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED)
constexpr HRESULT kNotSupported = static_cast<HRESULT>(0x80070032);  // HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)
constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070490);      // HRESULT_FROM_WIN32(ERROR_NOT_FOUND)
constexpr HRESULT kInvalidState = static_cast<HRESULT>(0x8007139F);  // HRESULT_FROM_WIN32(ERROR_INVALID_STATE)
constexpr HRESULT kTimedOut = static_cast<HRESULT>(0x800705B4);      // HRESULT_FROM_WIN32(ERROR_TIMEOUT)
constexpr HRESULT kNotReady = static_cast<HRESULT>(0x80070015);      // HRESULT_FROM_WIN32(ERROR_NOT_READY)
constexpr HRESULT kAborted = static_cast<HRESULT>(0x800703E3);       // HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED)
constexpr HRESULT kBadDevice = static_cast<HRESULT>(0x800704B0);     // HRESULT_FROM_WIN32(ERROR_BAD_DEVICE)
constexpr HRESULT kSharingViolation = static_cast<HRESULT>(0x80070020);  // HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)
constexpr HRESULT kBusy = static_cast<HRESULT>(0x800700AA);              // HRESULT_FROM_WIN32(ERROR_BUSY)
constexpr HRESULT kWrongReply = static_cast<HRESULT>(0x8007000D);        // HRESULT_FROM_WIN32(ERROR_INVALID_DATA)

// The MBIM status of a COMMAND_DONE (MbimStatusError value); 0 gives S_OK.
HRESULT HresultFromMbimStatus(uint32_t status);
// A libmbim or GIO error; null gives S_OK.
HRESULT HresultFromGError(const GError* error);

}  // namespace mbnmbim

#endif
