// Provider choice from the environment and MBIM control-port discovery in
// sysfs; see discovery.h. Paths are plain strings and files are read with
// descriptor calls: std::filesystem and the C++ streams would bring the
// locale machinery and its tables into every program that links this, and
// into its start, though a program that is told to use the simulator never
// looks at sysfs.
#include "discovery.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>

namespace mbnmbim {
namespace {

constexpr char kMbimPrefix[] = "mbim:";

// "cdc-wdm10" after "cdc-wdm2": names compare by their prefix, then by the
// number that ends them.
bool NaturalLess(const std::string& a, const std::string& b) {
    auto split = [](const std::string& s) {
        size_t digits = s.find_last_not_of("0123456789") + 1;
        return std::make_pair(s.substr(0, digits), s.substr(digits));
    };
    auto [pa, na] = split(a);
    auto [pb, nb] = split(b);
    if (pa != pb) return pa < pb;
    if (na.size() != nb.size()) return na.size() < nb.size();
    return na < nb;
}

// folder/name, without doubling a slash that folder ends with.
std::string Join(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// What follows the last slash ("" for a path that ends with one).
std::string LastName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// The folder a canonical path is in: "/a" for "/a/b", "/" for "/a" and "/".
std::string Parent(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return std::string();
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The absolute path with every link resolved; false when it does not exist.
bool Canonical(const std::string& path, std::string& canonical) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return false;
    canonical = resolved;
    std::free(resolved);
    return true;
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The whole file; false when it cannot be opened or read.
bool ReadFile(const std::string& path, std::string& contents) {
    int fd;
    do {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    bool ok = true;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            contents.append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            ok = got == 0;
            break;
        }
    }
    close(fd);
    return ok;
}

std::vector<std::string> SortedEntries(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end(), NaturalLess);
    return names;
}

bool IsCdcMbimPort(const std::string& port) {
    char target[4096];
    const ssize_t length = readlink(Join(port, "device/driver").c_str(), target, sizeof target);
    return length > 0 && static_cast<size_t>(length) < sizeof target &&
           LastName(std::string(target, static_cast<size_t>(length))) == "cdc_mbim";
}

// The first line of the port's type attribute reads MBIM.
bool IsWwanMbimPort(const std::string& port) {
    std::string type;
    if (!ReadFile(Join(port, "type"), type) || type.empty()) return false;
    return type.substr(0, type.find('\n')) == "MBIM";
}

// The USB interface a port belongs to: the nearest folder holding
// bInterfaceNumber, from the real path of the port's device link upwards and
// no higher than sysfsRoot (canonical). A cdc-wdm node's parent is the
// interface itself (.../1-1/1-1:1.0/usbmisc/cdc-wdm0); a WWAN port's is its
// wwan device, which hangs from the same interface
// (.../1-1/1-1:1.0/wwan/wwan0/wwan0mbim0). Empty for a port with no such
// ancestor, such as a PCIe modem's WWAN port.
std::string OwningUsbInterface(const std::string& port, const std::string& sysfsRoot) {
    std::string folder;
    if (!Canonical(Join(port, "device"), folder)) return std::string();
    for (; folder != sysfsRoot && folder != Parent(folder); folder = Parent(folder)) {
        if (Exists(Join(folder, "bInterfaceNumber"))) return folder;
    }
    return std::string();
}

// wMaxControlMessage of the first MBIM functional descriptor (length 12,
// CS_INTERFACE, subtype 0x1b) in a chain of USB descriptors; 0 when none.
unsigned MaxControlMessageIn(const std::string& descriptors) {
    for (size_t at = 0; at + 12 <= descriptors.size();) {
        const auto byte = [&](size_t i) { return static_cast<unsigned char>(descriptors[at + i]); };
        if (byte(0) == 12 && byte(1) == 0x24 && byte(2) == 0x1b) return byte(5) | byte(6) << 8;
        if (byte(0) == 0) break;  // a chain that would never advance
        at += byte(0);
    }
    return 0;
}

}  // namespace

bool ParseProviderChoice(const char* value, ProviderChoice* choice) {
    ProviderChoice parsed;
    if (value == nullptr || *value == '\0' || std::strcmp(value, "auto") == 0) {
        parsed.kind = ProviderKind::Auto;
    } else if (std::strcmp(value, "simulator") == 0) {
        parsed.kind = ProviderKind::Simulator;
    } else if (std::strcmp(value, "mbim") == 0) {
        parsed.kind = ProviderKind::Mbim;
    } else if (std::strncmp(value, kMbimPrefix, sizeof kMbimPrefix - 1) == 0 && value[sizeof kMbimPrefix - 1] != '\0') {
        parsed.kind = ProviderKind::Mbim;
        parsed.devicePath = value + sizeof kMbimPrefix - 1;
    } else {
        return false;
    }
    *choice = parsed;
    return true;
}

ProviderChoice ProviderChoiceFromEnvironment(bool* valid) {
    ProviderChoice choice;
    *valid = ParseProviderChoice(std::getenv("GLOBALTOOLS_MBN_PROVIDER"), &choice);
    if (!*valid) choice = ProviderChoice{ProviderKind::Mbim, {}};
    return choice;
}

std::string SysfsRoot() {
    const char* root = std::getenv("GLOBALTOOLS_SYSFS_ROOT");
    return root != nullptr && *root != '\0' ? root : "/sys";
}

// The kernel shows a USB MBIM function with WWAN support twice, as cdc-wdmN
// and as wwanXmbimY, and lets only one of the two be open at a time: the
// second of them always fails as busy. So each USB interface keeps its first
// port only, and as cdc-wdm ports come first, that is the cdc-wdm node: the
// one libmbim's tools and ModemManager are most often pointed at, and the one
// whose maximum message size libmbim can ask (IOCTL_WDM_MAX_COMMAND). A port
// whose interface cannot be found stands for a device of its own.
std::vector<std::string> FindMbimControlPorts(const std::string& sysfsRoot) {
    std::string root;
    Canonical(sysfsRoot, root);
    std::vector<std::string> ports;
    std::set<std::string> interfacesListed;
    auto add = [&](const std::string& port) {
        const std::string usbInterface = OwningUsbInterface(port, root);
        if (!usbInterface.empty() && !interfacesListed.insert(usbInterface).second) return;
        ports.push_back("/dev/" + LastName(port));
    };
    const std::string usbmisc = Join(sysfsRoot, "class/usbmisc");
    for (const std::string& name : SortedEntries(usbmisc)) {
        if (name.rfind("cdc-wdm", 0) == 0 && IsCdcMbimPort(Join(usbmisc, name))) add(Join(usbmisc, name));
    }
    const std::string wwan = Join(sysfsRoot, "class/wwan");
    for (const std::string& name : SortedEntries(wwan)) {
        if (IsWwanMbimPort(Join(wwan, name))) add(Join(wwan, name));
    }
    return ports;
}

unsigned MaxControlMessageInSysfs(const std::string& sysfsRoot, const std::string& devicePath) {
    std::string root;
    if (!Canonical(sysfsRoot, root)) return 0;
    std::vector<std::string> names{LastName(devicePath)};
    std::string resolved;
    if (Canonical(devicePath, resolved) && LastName(resolved) != names[0]) names.push_back(LastName(resolved));
    for (const std::string& name : names) {
        for (const char* cls : {"usbmisc", "wwan"}) {
            const std::string usbInterface = OwningUsbInterface(Join(Join(Join(root, "class"), cls), name), root);
            if (usbInterface.empty()) continue;
            std::string descriptors;
            ReadFile(Join(Parent(usbInterface), "descriptors"), descriptors);
            if (const unsigned max = MaxControlMessageIn(descriptors)) return max;
        }
    }
    return 0;
}

std::vector<std::string> ControlPortsFor(const ProviderChoice& choice) {
    switch (choice.kind) {
    case ProviderKind::Simulator: return {};
    case ProviderKind::Mbim:
        if (!choice.devicePath.empty()) return {choice.devicePath};
        break;
    case ProviderKind::Auto: break;
    }
    return FindMbimControlPorts(SysfsRoot());
}

}  // namespace mbnmbim
