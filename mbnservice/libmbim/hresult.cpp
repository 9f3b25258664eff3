// The provider's one table from libmbim errors and MBIM statuses to
// HRESULTs (the table itself is in hresult.h).
#include "hresult.h"

#include <gio/gio.h>
#include <libmbim-glib.h>

namespace mbnmbim {

namespace {

struct StatusRow {
    MbimStatusError status;
    HRESULT hr;
};

constexpr StatusRow kStatusTable[] = {
    {MBIM_STATUS_ERROR_BUSY, kBusy},
    {MBIM_STATUS_ERROR_SIM_NOT_INSERTED, E_MBN_SIM_NOT_INSERTED},
    {MBIM_STATUS_ERROR_BAD_SIM, E_MBN_BAD_SIM},
    {MBIM_STATUS_ERROR_PIN_REQUIRED, E_MBN_PIN_REQUIRED},
    {MBIM_STATUS_ERROR_PIN_DISABLED, E_MBN_PIN_DISABLED},
    {MBIM_STATUS_ERROR_NOT_REGISTERED, E_MBN_NOT_REGISTERED},
    {MBIM_STATUS_ERROR_PROVIDERS_NOT_FOUND, E_MBN_PROVIDERS_NOT_FOUND},
    {MBIM_STATUS_ERROR_NO_DEVICE_SUPPORT, kNotSupported},
    {MBIM_STATUS_ERROR_PROVIDER_NOT_VISIBLE, E_MBN_PROVIDER_NOT_VISIBLE},
    {MBIM_STATUS_ERROR_DATA_CLASS_NOT_AVAILABLE, E_MBN_DATA_CLASS_NOT_AVAILABLE},
    {MBIM_STATUS_ERROR_PACKET_SERVICE_DETACHED, E_MBN_PACKET_SVC_DETACHED},
    {MBIM_STATUS_ERROR_MAX_ACTIVATED_CONTEXTS, E_MBN_MAX_ACTIVATED_CONTEXTS},
    {MBIM_STATUS_ERROR_NOT_INITIALIZED, kNotReady},
    {MBIM_STATUS_ERROR_VOICE_CALL_IN_PROGRESS, E_MBN_VOICE_CALL_IN_PROGRESS},
    {MBIM_STATUS_ERROR_CONTEXT_NOT_ACTIVATED, E_MBN_CONTEXT_NOT_ACTIVATED},
    {MBIM_STATUS_ERROR_SERVICE_NOT_ACTIVATED, E_MBN_SERVICE_NOT_ACTIVATED},
    {MBIM_STATUS_ERROR_INVALID_ACCESS_STRING, E_MBN_INVALID_ACCESS_STRING},
    {MBIM_STATUS_ERROR_RADIO_POWER_OFF, E_MBN_RADIO_POWER_OFF},
    {MBIM_STATUS_ERROR_INVALID_PARAMETERS, E_INVALIDARG},
};

}  // namespace

HRESULT HresultFromMbimStatus(uint32_t status) {
    if (status == MBIM_STATUS_ERROR_NONE) return S_OK;
    for (const StatusRow& row : kStatusTable)
        if (static_cast<uint32_t>(row.status) == status) return row.hr;
    return E_FAIL;
}

HRESULT HresultFromGError(const GError* error) {
    if (error == nullptr) return S_OK;
    if (error->domain == MBIM_STATUS_ERROR) return HresultFromMbimStatus(static_cast<uint32_t>(error->code));
    if (error->domain == MBIM_CORE_ERROR) {
        switch (error->code) {
        case MBIM_CORE_ERROR_TIMEOUT: return kTimedOut;
        case MBIM_CORE_ERROR_WRONG_STATE: return kNotReady;
        case MBIM_CORE_ERROR_ABORTED: return kAborted;
        case MBIM_CORE_ERROR_UNSUPPORTED: return kNotSupported;
        case MBIM_CORE_ERROR_INVALID_ARGS: return E_INVALIDARG;
        default: return E_FAIL;
        }
    }
    if (error->domain == MBIM_PROTOCOL_ERROR) {
        switch (error->code) {
        case MBIM_PROTOCOL_ERROR_TIMEOUT_FRAGMENT: return kTimedOut;
        case MBIM_PROTOCOL_ERROR_NOT_OPENED: return kNotReady;
        default: return E_FAIL;
        }
    }
    // libmbim writes with a GIOChannel: a write to a port that went away
    // (EIO, ENXIO) or to a proxy that closed (EPIPE) fails in its domain.
    if (error->domain == G_IO_CHANNEL_ERROR) {
        switch (error->code) {
        case G_IO_CHANNEL_ERROR_IO:
        case G_IO_CHANNEL_ERROR_NXIO:
        case G_IO_CHANNEL_ERROR_PIPE: return kDeviceGone;
        default: return E_FAIL;
        }
    }
    if (error->domain == G_IO_ERROR) {
        switch (error->code) {
        case G_IO_ERROR_CANCELLED: return kAborted;
        case G_IO_ERROR_TIMED_OUT: return kTimedOut;
        case G_IO_ERROR_CLOSED:
        case G_IO_ERROR_BROKEN_PIPE:  // also G_IO_ERROR_CONNECTION_CLOSED
        case G_IO_ERROR_NOT_CONNECTED: return kDeviceGone;
        default: return E_FAIL;
        }
    }
    return E_FAIL;
}

}  // namespace mbnmbim
