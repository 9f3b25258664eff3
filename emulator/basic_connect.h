// The information buffers of the BASIC_CONNECT queries the emulated function
// answers, filled from the simulated modem's identity: DEVICE_CAPS,
// SUBSCRIBER_READY_STATUS and DEVICE_SERVICES (BASIC_CONNECT and the AT
// service).
#ifndef EMULATOR_BASIC_CONNECT_H
#define EMULATOR_BASIC_CONNECT_H

#include <string>

#include "modem.h"

namespace emulator {

using mbnsim::Modem;
using mbnsim::ModemConfig;

// DeviceType .. MaxSessions, then CustomDataClass, DeviceId (the IMEI),
// FirmwareInfo (the revision) and HardwareInfo (the model).
std::string DeviceCapsInfo(const ModemConfig& modem);
// ReadyState INITIALIZED (SIM_NOT_INSERTED without a SIM), SubscriberId (the
// IMSI), SimIccId, ReadyInfo 0, no telephone numbers.
std::string SubscriberReadyStatusInfo(const ModemConfig& modem);
// DeviceServicesCount 2, MaxDssSessions 0, then the elements.
std::string DeviceServicesInfo();

}  // namespace emulator

#endif  // EMULATOR_BASIC_CONNECT_H
