// The entry points of mbnmbim.so, the Mobile Broadband provider for real
// MBIM modems: DllGetClassObject for the two manager classes, as an
// in-process server exports it, and a count of the provider's live COM
// objects for tests. The module calls the platform layer of the program that
// loads it (BSTRs, SAFEARRAYs, GUIDs), which the program exports.
#include "provider.h"

#define MBNMBIM_EXPORT extern "C" __attribute__((visibility("default")))

MBNMBIM_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    return mbnmbim::CreateClassObject(clsid, iid, object);
}

// COM objects of the provider alive now, class factories included.
MBNMBIM_EXPORT long MbnMbimLiveObjects(void) { return mbnmbim::Provider::Get().liveObjects.load(); }
