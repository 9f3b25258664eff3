// BASIC_CONNECT answers of the emulated function. Values describe a plain
// embedded 3GPP LTE modem without voice; the strings come from the modem's
// configuration so that the AT answers (ATI, +CGSN) and MBIM agree.
#include "basic_connect.h"

#include "wire.h"

namespace emulator {

namespace {

constexpr uint32_t kDeviceTypeEmbedded = 1;
constexpr uint32_t kCellularClassGsm = 1;
constexpr uint32_t kVoiceClassNoVoice = 1;
constexpr uint32_t kSimClassRemovable = 2;
constexpr uint32_t kDataClassGprsToLte = 0x3F;  // GPRS, EDGE, UMTS, HSDPA, HSUPA, LTE
constexpr uint32_t kSmsCapsPdu = 0x3;           // PDU receive and send
constexpr uint32_t kCtrlCapsRegManual = 1;
constexpr uint32_t kReadyStateInitialized = 1;
constexpr uint32_t kReadyStateSimNotInserted = 2;

// One MBIM_DEVICE_SERVICE_ELEMENT: DeviceServiceId, DssPayload,
// MaxDssInstances, CidCount, CidList.
std::string ServiceElement(const Uuid& service, std::initializer_list<uint32_t> cids) {
    std::string element;
    PutUuid(element, service);
    PutU32(element, 0);
    PutU32(element, 0);
    PutU32(element, static_cast<uint32_t>(cids.size()));
    for (uint32_t cid : cids) PutU32(element, cid);
    return element;
}

// The ICCID the emulated SIM reports.
const char kSimIccId[] = "89000000000000000018";

}  // namespace

std::string DeviceCapsInfo(const ModemConfig& modem) {
    InfoBuffer info;
    info.U32(kDeviceTypeEmbedded);
    info.U32(kCellularClassGsm);
    info.U32(kVoiceClassNoVoice);
    info.U32(kSimClassRemovable);
    info.U32(kDataClassGprsToLte);
    info.U32(kSmsCapsPdu);
    info.U32(kCtrlCapsRegManual);
    info.U32(1);   // MaxSessions
    info.Ref("");  // CustomDataClass
    info.Ref(Utf16(modem.imei));
    info.Ref(Utf16(modem.revision));
    info.Ref(Utf16(modem.model));
    return info.Finish();
}

std::string SubscriberReadyStatusInfo(const ModemConfig& modem) {
    InfoBuffer info;
    info.U32(modem.simInserted ? kReadyStateInitialized : kReadyStateSimNotInserted);
    info.Ref(modem.simInserted ? Utf16(modem.imsi) : "");
    info.Ref(modem.simInserted ? Utf16(kSimIccId) : "");
    info.U32(0);  // ReadyInfo
    info.U32(0);  // TelephoneNumbersCount, so no references follow
    return info.Finish();
}

std::string DeviceServicesInfo() {
    InfoBuffer info;
    info.U32(2);  // DeviceServicesCount
    info.U32(0);  // MaxDssSessions: no device service streams
    info.Ref(ServiceElement(kBasicConnect, {kCidDeviceCaps, kCidSubscriberReadyStatus, kCidDeviceServices,
                                            kCidDeviceServiceSubscribeList}));
    info.Ref(ServiceElement(kAtService, {kCidAtCommand}));
    return info.Finish();
}

}  // namespace emulator
