// Makes the simulated service the Mobile Broadband provider of a POSIX
// program that links this object: at static initialisation it announces the
// default service's class objects for both manager CLSIDs, the way the
// registry's InprocServer32 keys name the real service's server on Windows.
// The program's own code stays unchanged: its CoCreateInstance finds them.
#include "simulator/simulator.h"

namespace {

HRESULT GetDefaultClassObject(REFCLSID clsid, REFIID iid, void** object) {
    return mbnsim::DefaultService().GetClassObject(clsid, iid, object);
}

const bool gRegistered = [] {
    const bool ok = SUCCEEDED(PalRegisterInprocServer(CLSID_MbnInterfaceManager, GetDefaultClassObject)) &&
                    SUCCEEDED(PalRegisterInprocServer(CLSID_MbnDeviceServicesManager, GetDefaultClassObject));
    return ok;
}();

}  // namespace
