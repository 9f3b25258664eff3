// Provider choice from the environment and MBIM control-port discovery in
// sysfs; see discovery.h.
#include "discovery.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <system_error>

namespace mbnmbim {
namespace {

namespace fs = std::filesystem;

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

std::vector<std::string> SortedEntries(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end(), NaturalLess);
    return names;
}

bool IsCdcMbimPort(const fs::path& port) {
    std::error_code ec;
    fs::path driver = fs::read_symlink(port / "device" / "driver", ec);
    return !ec && driver.filename() == "cdc_mbim";
}

bool IsWwanMbimPort(const fs::path& port) {
    std::ifstream type(port / "type");
    std::string value;
    return std::getline(type, value) && value == "MBIM";
}

// The USB interface a port belongs to: the nearest folder holding
// bInterfaceNumber, from the real path of the port's device link upwards and
// no higher than sysfsRoot. A cdc-wdm node's parent is the interface itself
// (.../1-1/1-1:1.0/usbmisc/cdc-wdm0); a WWAN port's is its wwan device, which
// hangs from the same interface (.../1-1/1-1:1.0/wwan/wwan0/wwan0mbim0).
// Empty for a port with no such ancestor, such as a PCIe modem's WWAN port.
fs::path OwningUsbInterface(const fs::path& port, const fs::path& sysfsRoot) {
    std::error_code ec;
    fs::path folder = fs::canonical(port / "device", ec);
    if (ec) return {};
    for (; folder != sysfsRoot && folder != folder.parent_path(); folder = folder.parent_path()) {
        if (fs::exists(folder / "bInterfaceNumber", ec)) return folder;
    }
    return {};
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
    std::error_code ec;
    const fs::path root = fs::canonical(sysfsRoot, ec);
    std::vector<std::string> ports;
    std::set<fs::path> interfacesListed;
    auto add = [&](const fs::path& port) {
        const fs::path usbInterface = OwningUsbInterface(port, root);
        if (!usbInterface.empty() && !interfacesListed.insert(usbInterface).second) return;
        ports.push_back("/dev/" + port.filename().string());
    };
    const fs::path usbmisc = fs::path(sysfsRoot) / "class" / "usbmisc";
    for (const std::string& name : SortedEntries(usbmisc)) {
        if (name.rfind("cdc-wdm", 0) == 0 && IsCdcMbimPort(usbmisc / name)) add(usbmisc / name);
    }
    const fs::path wwan = fs::path(sysfsRoot) / "class" / "wwan";
    for (const std::string& name : SortedEntries(wwan)) {
        if (IsWwanMbimPort(wwan / name)) add(wwan / name);
    }
    return ports;
}

unsigned MaxControlMessageInSysfs(const std::string& sysfsRoot, const std::string& devicePath) {
    std::error_code ec;
    const fs::path root = fs::canonical(sysfsRoot, ec);
    if (ec) return 0;
    std::vector<std::string> names{fs::path(devicePath).filename().string()};
    const fs::path resolved = fs::canonical(devicePath, ec);
    if (!ec && resolved.filename() != names[0]) names.push_back(resolved.filename().string());
    for (const std::string& name : names) {
        for (const char* cls : {"usbmisc", "wwan"}) {
            const fs::path usbInterface = OwningUsbInterface(root / "class" / cls / name, root);
            if (usbInterface.empty()) continue;
            std::ifstream file(usbInterface.parent_path() / "descriptors", std::ios::binary);
            const std::string descriptors((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
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
