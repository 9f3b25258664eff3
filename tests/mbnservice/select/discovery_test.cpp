// MBIM control-port discovery over fake sysfs trees, and the provider choice
// read from GLOBALTOOLS_MBN_PROVIDER.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "discovery.h"

namespace fs = std::filesystem;

namespace {

// A sysfs tree in a temporary folder, built from entries such as
// "usbmisc cdc-wdm0 cdc_mbim" (a port and its driver) or "wwan wwan0mbim0 MBIM"
// (a port and its type; "-" for a port without a type attribute). A fourth
// word names the USB interface under devices/ that the port belongs to, and
// the port is laid out there as the kernel does: the class entry a link to
// <interface>/usbmisc/cdc-wdmN or <interface>/wwan/wwanX/wwanXmbimY, each
// node's device link pointing at its parent (a WWAN port's parent is its wwan
// device). Without it the class entry is a plain folder with no parent.
class FakeSysfs {
public:
    explicit FakeSysfs(const std::vector<std::string>& entries)
        : root_(fs::temp_directory_path() / ("sysfs-" + std::to_string(getpid()) + "-" + std::to_string(++serial_))) {
        for (const std::string& entry : entries) {
            std::istringstream words(entry);
            std::string cls, name, what, usbInterface;
            words >> cls >> name >> what >> usbInterface;
            const fs::path port = root_ / "class" / cls / name;
            if (usbInterface.empty()) {
                fs::create_directories(port / "device");
            } else {
                LayOutUnder(root_ / "devices" / usbInterface, cls, name, port);
            }
            if (cls == "usbmisc") {
                fs::create_directories(root_ / "bus/usb/drivers" / what);
                fs::create_directory_symlink(root_ / "bus/usb/drivers" / what, port / "device" / "driver");
            } else if (what != "-") {
                std::ofstream(port / "type") << what << "\n";
            }
        }
    }
    ~FakeSysfs() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    std::string Root() const { return root_.string(); }
    // The raw descriptors file of the USB device above a fourth-word interface.
    void Descriptors(const std::string& usbDevice, const std::string& bytes) const {
        std::ofstream(root_ / "devices" / usbDevice / "descriptors", std::ios::binary) << bytes;
    }

private:
    static void LayOutUnder(const fs::path& usbInterface, const std::string& cls, const std::string& name,
                            const fs::path& port) {
        fs::create_directories(usbInterface);
        std::ofstream(usbInterface / "bInterfaceNumber") << "00\n";
        fs::path parent = usbInterface;
        fs::path folder = usbInterface / cls;
        if (cls == "wwan") {
            const std::string wwanDevice = name.substr(0, name.find_first_not_of("0123456789", 4));
            if (wwanDevice != name) {  // a port, under its wwan device
                parent = folder / wwanDevice;
                folder = parent;
                LinkOnce(usbInterface, parent / "device");
            }
        }
        LinkOnce(parent, folder / name / "device");
        LinkOnce(folder / name, port);
    }
    static void LinkOnce(const fs::path& target, const fs::path& link) {
        fs::create_directories(link.parent_path());
        if (!fs::exists(fs::symlink_status(link))) fs::create_directory_symlink(target, link);
    }

    static inline int serial_ = 0;
    fs::path root_;
};

TEST(MbimDiscovery, finds_mbim_control_ports_in_order) {
    const struct {
        std::vector<std::string> tree;
        std::vector<std::string> ports;
    } rows[] = {
        /* 1 */ {{}, {}},
        /* 2 */ {{"usbmisc cdc-wdm0 cdc_mbim"}, {"/dev/cdc-wdm0"}},
        /* 3 QMI and other drivers are not MBIM */
        {{"usbmisc cdc-wdm0 qmi_wwan", "usbmisc cdc-wdm1 cdc_mbim"}, {"/dev/cdc-wdm1"}},
        /* 4 numbers compare as numbers */
        {{"usbmisc cdc-wdm10 cdc_mbim", "usbmisc cdc-wdm2 cdc_mbim"}, {"/dev/cdc-wdm2", "/dev/cdc-wdm10"}},
        /* 5 WWAN ports by type; the wwan device itself has none */
        {{"wwan wwan0 -", "wwan wwan0at0 AT", "wwan wwan0mbim0 MBIM"}, {"/dev/wwan0mbim0"}},
        /* 6 USB before WWAN */
        {{"wwan wwan0mbim0 MBIM", "usbmisc cdc-wdm3 cdc_mbim"}, {"/dev/cdc-wdm3", "/dev/wwan0mbim0"}},
        /* 7 a usbmisc entry that is no cdc-wdm port */
        {{"usbmisc hiddev0 cdc_mbim"}, {}},
        /* 8 two modems, each shown as cdc-wdm and as WWAN port (numbers need not
             agree): one port each, the cdc-wdm one */
        {{"usbmisc cdc-wdm0 cdc_mbim usb1/1-1/1-1:1.0", "wwan wwan0mbim0 MBIM usb1/1-2/1-2:1.0",
          "usbmisc cdc-wdm1 cdc_mbim usb1/1-2/1-2:1.0", "wwan wwan1mbim0 MBIM usb1/1-1/1-1:1.0"},
         {"/dev/cdc-wdm0", "/dev/cdc-wdm1"}},
    };
    int row = 0;
    for (const auto& r : rows) {
        ++row;
        FakeSysfs sysfs(r.tree);
        EXPECT_EQ(r.ports, mbnmbim::FindMbimControlPorts(sysfs.Root())) << "row " << row;
    }
    EXPECT_TRUE(mbnmbim::FindMbimControlPorts("/nonexistent-sysfs-root").empty());
}

// The device's maximum control message, read from the MBIM functional
// descriptor among the USB device's raw descriptors.
TEST(MbimDiscovery, reads_the_maximum_control_message_from_the_usb_descriptors) {
    const std::string device("\x12\x01\x00\x02\x00\x00\x00\x40\x00\x00\x00\x00\x00\x00\x00\x00\x00\x01", 18);
    const std::string cdcHeader("\x05\x24\x00\x10\x01", 5);
    const std::string mbim512("\x0c\x24\x1b\x00\x01\x00\x02\x20\x80\xdc\x05\x20", 12);
    FakeSysfs sysfs({"usbmisc cdc-wdm0 cdc_mbim usb1/1-1/1-1:1.0", "wwan wwan0mbim0 MBIM usb1/1-2/1-2:1.0",
                     "usbmisc cdc-wdm1 cdc_mbim usb1/1-3/1-3:1.0", "usbmisc cdc-wdm2 cdc_mbim"});
    const struct {
        std::string usbDevice;
        std::string descriptors;
        std::string port;
        unsigned max;
    } rows[] = {
        {"usb1/1-1", device + cdcHeader + mbim512, "/dev/cdc-wdm0", 512},
        {"usb1/1-2", device + mbim512, "/dev/wwan0mbim0", 512},
        {"usb1/1-3", device + cdcHeader, "/dev/cdc-wdm1", 0},              // no MBIM descriptor
        {"usb1/1-3", device + std::string(12, '\0'), "/dev/cdc-wdm1", 0},  // a chain that does not advance
        {"", "", "/dev/cdc-wdm2", 0},                                      // no USB interface
        {"", "", "/dev/cdc-wdm9", 0},                                      // not in sysfs
    };
    for (const auto& r : rows) {
        if (!r.usbDevice.empty()) sysfs.Descriptors(r.usbDevice, r.descriptors);
        EXPECT_EQ(r.max, mbnmbim::MaxControlMessageInSysfs(sysfs.Root(), r.port)) << r.port;
    }
    // A device named through a link, as /dev/serial/by-id names one, is
    // found under the name of the node the link leads to.
    const fs::path node = fs::path(sysfs.Root()) / "dev" / "cdc-wdm0";
    const fs::path byId = fs::path(sysfs.Root()) / "by-id" / "usb-Modem-if00";
    fs::create_directories(node.parent_path());
    fs::create_directories(byId.parent_path());
    std::ofstream(node) << "";
    fs::create_symlink(node, byId);
    EXPECT_EQ(512u, mbnmbim::MaxControlMessageInSysfs(sysfs.Root(), byId.string()));
}

TEST(MbimDiscovery, parses_the_provider_choice) {
    using mbnmbim::ProviderKind;
    const struct {
        const char* value;
        bool valid;
        ProviderKind kind;
        const char* device;
    } rows[] = {
        {nullptr, true, ProviderKind::Auto, ""},
        {"", true, ProviderKind::Auto, ""},
        {"auto", true, ProviderKind::Auto, ""},
        {"simulator", true, ProviderKind::Simulator, ""},
        {"mbim", true, ProviderKind::Mbim, ""},
        {"mbim:/dev/cdc-wdm0", true, ProviderKind::Mbim, "/dev/cdc-wdm0"},
        {"mbim:", false, ProviderKind::Simulator, ""},
        {"MBIM", false, ProviderKind::Simulator, ""},
        {"simulator ", false, ProviderKind::Simulator, ""},
    };
    for (const auto& r : rows) {
        mbnmbim::ProviderChoice choice{ProviderKind::Simulator, "untouched"};
        const std::string what = r.value ? r.value : "(null)";
        EXPECT_EQ(r.valid, mbnmbim::ParseProviderChoice(r.value, &choice)) << what;
        EXPECT_EQ(r.kind, choice.kind) << what;
        EXPECT_EQ(r.valid ? r.device : "untouched", choice.devicePath) << what;
    }
}

}  // namespace
