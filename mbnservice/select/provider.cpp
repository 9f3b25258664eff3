// The Mobile Broadband provider of a POSIX program that links this object:
// the simulated service, or the libmbim module for a real modem. At static
// initialisation it announces one class-object entry for both manager CLSIDs,
// the way the registry's InprocServer32 keys name the service's server on
// Windows; the choice (GLOBALTOOLS_MBN_PROVIDER, see discovery.h) is made at
// the first activation, so a program that never activates a manager reads
// nothing, and the module (with GLib) is loaded only when an MBIM modem is
// chosen. The program's own code stays unchanged: its CoCreateInstance finds
// the entry.
//
// What was chosen, and why a choice failed, goes to standard error in one
// line; standard output stays the program's own.
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "discovery.h"
#include "simulator.h"

namespace {

struct Resolution {
    PAL_GET_CLASS_OBJECT entry = nullptr;
    HRESULT result = S_OK;
};

void Say(const char* format, ...) {
    std::fprintf(stderr, "%s: ", program_invocation_short_name);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

HRESULT GetSimulatorClassObject(REFCLSID clsid, REFIID iid, void** object) {
    return mbnsim::DefaultService().GetClassObject(clsid, iid, object);
}

// GLOBALTOOLS_MBIM_MODULE, else the module beside the program (build tree),
// else where the installation puts it relative to the program's folder.
std::string MbimModulePath() {
    const char* configured = std::getenv("GLOBALTOOLS_MBIM_MODULE");
    if (configured != nullptr && *configured != '\0') return configured;
    char program[4096];
    const ssize_t length = readlink("/proc/self/exe", program, sizeof program);
    std::string folder(program, length > 0 && static_cast<size_t>(length) < sizeof program ? length : 0);
    folder.erase(folder.find_last_of('/') + 1);
    const std::string beside = folder + "mbnmbim.so";
    FILE* probe = std::fopen(beside.c_str(), "rb");
    if (probe != nullptr) {
        std::fclose(probe);
        return beside;
    }
    return folder + "../" GLOBALTOOLS_MBIM_MODULE_INSTALL_PATH;
}

Resolution Resolve() {
    bool valid = false;
    const mbnmbim::ProviderChoice choice = mbnmbim::ProviderChoiceFromEnvironment(&valid);
    if (!valid) {
        Say("GLOBALTOOLS_MBN_PROVIDER must be auto, simulator, mbim or mbim:<device path>");
        return {nullptr, E_INVALIDARG};
    }
    if (choice.kind == mbnmbim::ProviderKind::Simulator) return {GetSimulatorClassObject, S_OK};
    // The simulated modem answers only when it is chosen: an answer from it
    // must never pass for a real modem's.
    if (mbnmbim::ControlPortsFor(choice).empty()) {
        Say(choice.kind == mbnmbim::ProviderKind::Auto
                ? "no MBIM modem found (no cdc_mbim or WWAN MBIM control port); GLOBALTOOLS_MBN_PROVIDER=simulator "
                  "chooses the simulated modem"
                : "no MBIM control port found (cdc_mbim or WWAN MBIM)");
        return {nullptr, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)};
    }
    const std::string module = MbimModulePath();
    Resolution resolution;
    resolution.result = PalLoadInprocServer(module.c_str(), &resolution.entry);
    if (FAILED(resolution.result)) Say("cannot load the MBIM provider %s", module.c_str());
    return resolution;
}

HRESULT GetChosenClassObject(REFCLSID clsid, REFIID iid, void** object) {
    static std::once_flag once;
    static Resolution resolution;
    std::call_once(once, [] { resolution = Resolve(); });
    if (resolution.entry == nullptr) {
        if (object != nullptr) *object = nullptr;
        return resolution.result;
    }
    return resolution.entry(clsid, iid, object);
}

const bool gRegistered = [] {
    const bool ok = SUCCEEDED(PalRegisterInprocServer(CLSID_MbnInterfaceManager, GetChosenClassObject)) &&
                    SUCCEEDED(PalRegisterInprocServer(CLSID_MbnDeviceServicesManager, GetChosenClassObject));
    return ok;
}();

}  // namespace
