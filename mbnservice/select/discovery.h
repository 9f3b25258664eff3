// Which Mobile Broadband provider a POSIX program uses, and where its MBIM
// control ports are. Plain file-system reads only: the program decides on its
// provider without loading the libmbim module (and GLib with it).
//
// GLOBALTOOLS_MBN_PROVIDER:
//   auto (or unset)     every MBIM control port found (none: the service fails)
//   simulator           the simulated service
//   mbim                every MBIM control port found (none: the service fails)
//   mbim:<device path>  that one device
// GLOBALTOOLS_SYSFS_ROOT moves the sysfs tree that discovery reads (tests).
#ifndef MBNSERVICE_SELECT_DISCOVERY_H
#define MBNSERVICE_SELECT_DISCOVERY_H

#include <string>
#include <vector>

namespace mbnmbim {

enum class ProviderKind { Auto, Simulator, Mbim };

struct ProviderChoice {
    ProviderKind kind = ProviderKind::Auto;
    std::string devicePath;  // only for "mbim:<device path>"
};

// Parses a GLOBALTOOLS_MBN_PROVIDER value (NULL or empty: auto). False for
// anything else than the forms above, "mbim:" with an empty path included.
bool ParseProviderChoice(const char* value, ProviderChoice* choice);

// The choice the environment makes; *valid tells whether it could be parsed
// (an unparsable value gives Mbim with no ports, so that nothing is guessed).
ProviderChoice ProviderChoiceFromEnvironment(bool* valid);

// GLOBALTOOLS_SYSFS_ROOT when set, else "/sys".
std::string SysfsRoot();

// Device nodes of the MBIM control ports under sysfsRoot, in discovery
// order: USB ports (class/usbmisc/cdc-wdmN whose device/driver is cdc_mbim)
// by number, then WWAN ports (class/wwan/* whose type reads MBIM) by name.
// One port per device: a WWAN port of a USB interface that already has a
// cdc-wdm port is the same MBIM function and is left out. A port whose USB
// interface cannot be resolved in sysfs is always listed.
std::vector<std::string> FindMbimControlPorts(const std::string& sysfsRoot);

// The device's largest control message (wMaxControlMessage of its MBIM
// functional descriptor) as sysfs shows it for a control port: in the raw
// descriptors of the USB device that owns the port's interface. The port is
// looked up under class/usbmisc and class/wwan by the name of devicePath and
// by the name it resolves to. 0 when sysfs does not tell.
unsigned MaxControlMessageInSysfs(const std::string& sysfsRoot, const std::string& devicePath);

// The ports a choice stands for: its own device for "mbim:<path>", every
// port found for mbim and auto, none for the simulator.
std::vector<std::string> ControlPortsFor(const ProviderChoice& choice);

}  // namespace mbnmbim

#endif
