// The libmbim back end as atcmd loads it, for tests: mbnmbim.so loaded once
// through the platform's PalLoadInprocServer, its DllGetClassObject, and
// MbnMbimLiveObjects, its count of live COM objects (class factories
// included). The test program must export the platform API the module
// calls (globaltools_export_platform), as atcmd does.
#ifndef TESTS_SUPPORT_MBIM_MODULE_H
#define TESTS_SUPPORT_MBIM_MODULE_H

#include <dlfcn.h>

#include "platform/winapi.h"

namespace mbntest {

struct MbimModule {
    explicit MbimModule(const char* path) {
        PalLoadInprocServer(path, &getClassObject);
        void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
        if (handle) {
            liveObjects = reinterpret_cast<long (*)()>(dlsym(handle, "MbnMbimLiveObjects"));
            dlclose(handle);  // the reference RTLD_NOLOAD took; the module stays loaded
        }
    }
    bool Loaded() const { return getClassObject != nullptr && liveObjects != nullptr; }

    PAL_GET_CLASS_OBJECT getClassObject = nullptr;
    long (*liveObjects)() = nullptr;
};

// The module at path, loaded at the first call and kept for the program's life.
inline MbimModule& LoadedMbimModule(const char* path) {
    static MbimModule module(path);
    return module;
}

}  // namespace mbntest

#endif  // TESTS_SUPPORT_MBIM_MODULE_H
