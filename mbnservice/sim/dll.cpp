// The simulated Mobile Broadband service as an in-process COM server for
// Windows (mbnsim.dll), so an unchanged atcmd.exe finds it through the
// registry: DllRegisterServer writes HKCR\CLSID\{clsid}\InprocServer32 for
// both manager classes (this DLL's path, ThreadingModel "Both"), and
// DllGetClassObject hands out the class factories of one default-configured
// service. Registering it on a machine that has the real service replaces
// the real service's entries for these classes; DllUnregisterServer removes
// them again (the real entries are not restored).
#include "platform/winapi.h"
#include "simulator.h"

namespace {

HMODULE gModule = nullptr;

const struct {
    const CLSID* clsid;
    const wchar_t* name;
} kClasses[] = {
    {&CLSID_MbnInterfaceManager, L"Simulated Mobile Broadband interface manager"},
    {&CLSID_MbnDeviceServicesManager, L"Simulated Mobile Broadband device services manager"},
};

// "CLSID\{xxxxxxxx-...}" under HKEY_CLASSES_ROOT.
bool ClassKeyName(const CLSID& clsid, wchar_t* name, size_t size) {
    wchar_t text[40];
    if (StringFromGUID2(clsid, text, 40) == 0) return false;
    return _snwprintf_s(name, size, _TRUNCATE, L"CLSID\\%ls", text) > 0;
}

LONG SetString(HKEY key, const wchar_t* valueName, const wchar_t* value) {
    const DWORD bytes = static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes);
}

HRESULT RegisterServerClass(const CLSID& clsid, const wchar_t* description, const wchar_t* path) {
    wchar_t keyName[64];
    if (!ClassKeyName(clsid, keyName, 64)) return E_UNEXPECTED;
    HKEY classKey = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, keyName, 0, nullptr, 0, KEY_WRITE, nullptr, &classKey, nullptr);
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    rc = SetString(classKey, nullptr, description);
    HKEY serverKey = nullptr;
    if (rc == ERROR_SUCCESS)
        rc = RegCreateKeyExW(classKey, L"InprocServer32", 0, nullptr, 0, KEY_WRITE, nullptr, &serverKey, nullptr);
    if (rc == ERROR_SUCCESS) {
        rc = SetString(serverKey, nullptr, path);
        if (rc == ERROR_SUCCESS) rc = SetString(serverKey, L"ThreadingModel", L"Both");
        RegCloseKey(serverKey);
    }
    RegCloseKey(classKey);
    return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc);
}

HRESULT UnregisterServerClass(const CLSID& clsid) {
    wchar_t keyName[64];
    if (!ClassKeyName(clsid, keyName, 64)) return E_UNEXPECTED;
    HKEY classKey = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_CLASSES_ROOT, keyName, 0, KEY_WRITE, &classKey);
    if (rc == ERROR_FILE_NOT_FOUND) return S_OK;
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    rc = RegDeleteKeyW(classKey, L"InprocServer32");
    RegCloseKey(classKey);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(rc);
    rc = RegDeleteKeyW(HKEY_CLASSES_ROOT, keyName);
    return (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) ? S_OK : HRESULT_FROM_WIN32(rc);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        gModule = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object) {
    return mbnsim::DefaultService().GetClassObject(clsid, iid, object);
}

// The DLL may go only when nothing of it is in use and its threads are gone:
// a thread still ending when the loader frees the DLL would run unmapped code.
STDAPI DllCanUnloadNow(void) {
    mbnsim::SimulatedService& service = mbnsim::DefaultService();
    if (!service.CanUnload()) return S_FALSE;
    if (!service.WaitIdle(1000) || service.ServiceThreads() != 0) return S_FALSE;
    return S_OK;
}

STDAPI DllRegisterServer(void) {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(gModule, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return E_UNEXPECTED;
    for (const auto& c : kClasses) {
        HRESULT hr = RegisterServerClass(*c.clsid, c.name, path);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

STDAPI DllUnregisterServer(void) {
    HRESULT result = S_OK;
    for (const auto& c : kClasses) {
        HRESULT hr = UnregisterServerClass(*c.clsid);
        if (FAILED(hr)) result = hr;
    }
    return result;
}
