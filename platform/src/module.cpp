// Loading of in-process server modules for the POSIX COM runtime: the part
// of LoadLibrary and GetProcAddress that activation through an
// InprocServer32 path needs.
// Implements: PalLoadInprocServer.
// Not implemented: unloading (CoFreeUnusedLibraries, DllCanUnloadNow); a
//   module stays for the life of the process, as the libraries it pulls in
//   (GLib among them) cannot be unloaded anyway.
#include <dlfcn.h>

#include "platform/winapi.h"

/******************************************************************************
 *  PalLoadInprocServer   (POSIX only)
 *
 *  PARAMS
 *   modulePath     [I] the module's file.
 *   getClassObject [O] its DllGetClassObject; NULL on failure.
 *
 *  RETURNS
 *   S_OK; HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) or
 *   HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND) as CoCreateInstance answers for
 *   a server whose file is missing or exports no DllGetClassObject;
 *   E_POINTER for null arguments.
 *
 *  NOTES
 *   The module's own symbols stay private (RTLD_LOCAL); it shares this
 *   program's platform layer through the names the program exports.
 */
HRESULT PalLoadInprocServer(const char* modulePath, PAL_GET_CLASS_OBJECT* getClassObject) {
    if (getClassObject == nullptr) return E_POINTER;
    *getClassObject = nullptr;
    if (modulePath == nullptr) return E_POINTER;
    void* module = dlopen(modulePath, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    void* entry = dlsym(module, "DllGetClassObject");
    if (entry == nullptr) {
        dlclose(module);
        return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    }
    *getClassObject = reinterpret_cast<PAL_GET_CLASS_OBJECT>(entry);
    return S_OK;
}
