// The libmbim module (mbnmbim.so) loaded into this program as atcmd
// loads it, driven through its COM objects against an mbim-emulator of each
// test's own: what the module's own objects take from MBIM (device caps,
// ready state, the modem's answers), a device removed with a request
// pending, indications directly and through mbim-proxy, a proxy that stops
// reading, and the one table of MBIM results. The rules both back ends keep
// are the contract suite's (tests/mbnservice/contract). This program exports
// the platform API the module calls, as atcmd does.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gio/gio.h>
#include <libmbim-glib.h>

#include "hresult.h"
#include "platform/winapi.h"
#include "text.h"
#include "deaf_mbim_proxy.h"
#include "emulator_processes.h"
#include "mbim_module.h"
#include "mbn_client.h"

#ifndef MBNMBIM_PATH
#error "MBNMBIM_PATH must name the module"
#endif
#ifndef EMULATOR_PATH
#error "EMULATOR_PATH must name mbim-emulator"
#endif

namespace {

using mbntest::MbnClient;
using mbntest::RecordingSink;
using mbntest::SinkCall;

constexpr HRESULT kDeviceGone = static_cast<HRESULT>(0x8007048F);
constexpr HRESULT kNotSupported = static_cast<HRESULT>(0x80070032);

mbntest::MbimModule& TheModule() { return mbntest::LoadedMbimModule(MBNMBIM_PATH); }

class MbimProvider : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(TheModule().Loaded()) << "cannot load " << MBNMBIM_PATH;
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    }
    void TearDown() override {
        if (!TheModule().Loaded()) {
            sink->Release();
            return;
        }
        client.Release();
        // Completion jobs give their references back just after the callback.
        mbntest::WaitUntil([&] { return TheModule().liveObjects() == 0 && sink->Refs() == 1; });
        EXPECT_EQ(0, TheModule().liveObjects()) << "provider objects left alive";
        EXPECT_EQ(1, sink->Refs()) << "provider references left on the sink";
        sink->Release();
        CoUninitialize();
    }

    // Opens the managers on the emulator's pty (the provider opens the port
    // now), advises the sink and finds the AT device service.
    HRESULT Open(const std::string& pty, const char* proxy) {
        setenv("GLOBALTOOLS_MBN_PROVIDER", ("mbim:" + pty).c_str(), 1);
        setenv("GLOBALTOOLS_MBIM_PROXY", proxy, 1);
        HRESULT hr = client.Connect(sink);
        return FAILED(hr) ? hr : client.OpenService();
    }

    void OpenCommandSession() { ASSERT_EQ(S_OK, client.OpenCommandSession(*sink)) << client.Step(); }

    ULONG Send(const std::string& bytes, HRESULT expected = S_OK) {
        ULONG id = 0;
        EXPECT_EQ(expected, client.SetCommand(bytes, &id));
        return id;
    }

    RecordingSink* sink = new RecordingSink();
    MbnClient client{mbntest::ThroughClassObject(TheModule().getClassObject)};
};

TEST_F(MbimProvider, device_caps_ready_state_and_answers_come_from_the_device) {
    mbimtest::Emulator emulator(EMULATOR_PATH, {});
    ASSERT_FALSE(emulator.Path().empty());
    ASSERT_EQ(S_OK, Open(emulator.Path(), "never")) << client.Step();

    MBN_READY_STATE ready = MBN_READY_STATE_OFF;
    EXPECT_EQ(S_OK, client.modem->GetReadyState(&ready));
    EXPECT_EQ(MBN_READY_STATE_INITIALIZED, ready);
    MBN_INTERFACE_CAPS caps;
    ASSERT_EQ(S_OK, client.modem->GetInterfaceCapability(&caps));
    EXPECT_EQ(15u, SysStringLen(caps.deviceID));  // the emulated IMEI
    for (BSTR s :
         {caps.customDataClass, caps.customBandClass, caps.deviceID, caps.manufacturer, caps.model, caps.firmwareInfo})
        SysFreeString(s);

    OpenCommandSession();
    const ULONG ati = Send("ATI\r\n");
    ASSERT_EQ(S_OK, client.Completion(*sink, SinkCall::SetCommandComplete, ati)) << client.Step();
    const std::string answer = sink->Find(SinkCall::SetCommandComplete, ati)->data;
    EXPECT_EQ(0u, answer.rfind("\r\nSimulated MBIM LTE modem - not a real device\r\n", 0)) << answer;
}

TEST_F(MbimProvider, a_removed_device_fails_its_pending_request_at_once) {
    mbimtest::Emulator emulator(EMULATOR_PATH, {"--remove-after", "1"});
    ASSERT_EQ(S_OK, Open(emulator.Path(), "never")) << client.Step();
    OpenCommandSession();
    const ULONG id = Send("ATI\r\n");
    // Well inside libmbim's own time-out, which a removal would otherwise wait out.
    ASSERT_TRUE(sink->WaitCount(SinkCall::SetCommandComplete, 1, 5000));
    ASSERT_TRUE(sink->WaitCount(SinkCall::InterfaceStateChange, 1, 5000));
    const mbntest::SinkEvent set = sink->Of(SinkCall::SetCommandComplete)[0];
    EXPECT_EQ(kDeviceGone, set.status);
    EXPECT_EQ(id, set.requestId);
    EXPECT_FALSE(set.hasData);
    EXPECT_EQ(static_cast<ULONG>(MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_REMOVAL),
              sink->Of(SinkCall::InterfaceStateChange)[0].id);
    Send("AT\r\n", kDeviceGone);
    SAFEARRAY* list = nullptr;
    ASSERT_EQ(S_OK, client.interfaces->GetInterfaces(&list));
    LONG upper = 0;
    SafeArrayGetUBound(list, 1, &upper);
    EXPECT_EQ(-1, upper);
    SafeArrayDestroy(list);
}

// A device that never answers CLOSE: the release still lets the port go
// within its bound, so the next session in this process has the port to
// itself and is answered.
TEST_F(MbimProvider, a_session_after_an_unanswered_close_has_the_port_to_itself) {
    mbimtest::Emulator emulator(EMULATOR_PATH, {"--silent-close"});
    for (int session = 1; session <= 2; ++session) {
        SCOPED_TRACE("session " + std::to_string(session));
        ASSERT_EQ(S_OK, Open(emulator.Path(), "never")) << client.Step();
        OpenCommandSession();
        const ULONG id = Send("AT\r\n");
        ASSERT_EQ(S_OK, client.Completion(*sink, SinkCall::SetCommandComplete, id)) << client.Step();
        EXPECT_EQ("\r\nOK\r\n", sink->Find(SinkCall::SetCommandComplete, id)->data);
        client.Release();
        ASSERT_TRUE(mbntest::WaitUntil([&] { return TheModule().liveObjects() == 0; }));
    }
}

// A device whose largest control message is 512 bytes, as its USB
// descriptors in sysfs say: MaxCommandSize follows, a payload that fits one
// message reaches the modem whole, and a longer one is refused rather than
// sent to be cut.
TEST_F(MbimProvider, the_devices_largest_control_message_bounds_the_payload) {
    namespace fs = std::filesystem;
    const fs::path root = fs::path(::testing::TempDir()) / ("sysfs-" + std::to_string(getpid()));
    const fs::path usbInterface = root / "devices/usb1/1-1/1-1:1.0";
    fs::create_directories(usbInterface);
    fs::create_directories(root / "class/usbmisc/cdc-wdm9");
    std::ofstream(usbInterface / "bInterfaceNumber") << "00\n";
    fs::create_directory_symlink(usbInterface, root / "class/usbmisc/cdc-wdm9/device");
    // The MBIM functional descriptor: version 1.0, wMaxControlMessage 512.
    std::ofstream(usbInterface.parent_path() / "descriptors", std::ios::binary)
        << std::string("\x0c\x24\x1b\x00\x01\x00\x02\x20\x80\xdc\x05\x20", 12);
    setenv("GLOBALTOOLS_SYSFS_ROOT", root.c_str(), 1);
    const std::string port = (root / "cdc-wdm9").string();
    mbimtest::Emulator emulator(EMULATOR_PATH, {"--max-message", "512", "--link", port});
    ASSERT_EQ(S_OK, Open(port, "never")) << client.Step();
    unsetenv("GLOBALTOOLS_SYSFS_ROOT");
    ULONG max = 0;
    ASSERT_EQ(S_OK, client.context->get_MaxCommandSize(&max));
    EXPECT_EQ(512u - 48u + 1u, max);
    OpenCommandSession();
    const std::string fits = "AT+CSIM=" + std::string(max - 1 - 10, '0') + "\r\n";
    const ULONG id = Send(fits);
    ASSERT_EQ(S_OK, client.Completion(*sink, SinkCall::SetCommandComplete, id)) << client.Step();
    EXPECT_NE(std::string::npos, sink->Find(SinkCall::SetCommandComplete, id)->data.find("ERROR"));
    Send(fits + "0", E_INVALIDARG);
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

// Indications on a service with an open command session reach
// OnEventNotification; through mbim-proxy only because the session's
// subscription list names the service.
class MbimIndications : public MbimProvider {
protected:
    void ExpectIndication(const char* mode) {
        mbimtest::Emulator emulator(EMULATOR_PATH, {"--indicate-first"});
        ASSERT_EQ(S_OK, Open(emulator.Path(), mode)) << client.Step();
        OpenCommandSession();
        Send("AT\r\n");
        ASSERT_TRUE(sink->WaitCount(SinkCall::SetCommandComplete, 1));
        ASSERT_TRUE(sink->WaitCount(SinkCall::EventNotification, 1));
        EXPECT_EQ("\r\n+SIMIND: 1\r\n", sink->Of(SinkCall::EventNotification)[0].data);
        EXPECT_EQ(1u, sink->Of(SinkCall::EventNotification)[0].id);
        EXPECT_EQ("\r\nOK\r\n", sink->Of(SinkCall::SetCommandComplete)[0].data);
    }
};

TEST_F(MbimIndications, reach_the_sink_directly) { ExpectIndication("never"); }

TEST_F(MbimIndications, reach_the_sink_through_the_proxy) {
    mbimtest::Proxy proxy;
    if (!proxy.Usable()) GTEST_SKIP() << proxy.Why();
    ExpectIndication("always");
    client.Release();  // before the proxy goes
}

// GLib ignores SIGPIPE process-wide once the module makes its first socket,
// but the program that loaded the module may set SIGPIPE back to its default
// (this one does, once the device is open). Only the module's own thread
// blocks SIGPIPE, not the one that made it. A proxy that stops reading then
// fails each request and the closing CLOSE; the SIGPIPE that each write
// raises on the GLib thread kills nobody.
TEST_F(MbimProvider, a_proxy_that_stops_reading_fails_requests_and_kills_nobody) {
    mbimtest::DeafProxy proxy;
    if (!proxy.Usable()) GTEST_SKIP() << proxy.Why();
    setenv("GLOBALTOOLS_MBN_PROVIDER", "mbim:/dev/null", 1);
    setenv("GLOBALTOOLS_MBIM_PROXY", "always", 1);
    ASSERT_EQ(S_OK, client.Connect(sink)) << client.Step();
    ASSERT_TRUE(proxy.Deafened());
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    EXPECT_FALSE(sigismember(&mask, SIGPIPE)) << "the module left SIGPIPE blocked in the thread that made it";
    struct sigaction byDefault = {};
    struct sigaction before = {};
    byDefault.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &byDefault, &before);
    EXPECT_TRUE(FAILED(client.OpenService()));
    EXPECT_EQ("GetDeviceService", client.Step());
    client.Release();
    EXPECT_TRUE(mbntest::WaitUntil([] { return TheModule().liveObjects() == 0; }));
    sigaction(SIGPIPE, &before, nullptr);
}

TEST(MbimHresults, libmbim_errors_and_mbim_statuses_map_through_one_table) {
    const struct {
        GQuark domain;
        int code;
        HRESULT expected;
    } rows[] = {
        {MBIM_CORE_ERROR, MBIM_CORE_ERROR_TIMEOUT, static_cast<HRESULT>(0x800705B4)},
        {MBIM_PROTOCOL_ERROR, MBIM_PROTOCOL_ERROR_NOT_OPENED, static_cast<HRESULT>(0x80070015)},
        {MBIM_STATUS_ERROR, MBIM_STATUS_ERROR_NO_DEVICE_SUPPORT, kNotSupported},
        {MBIM_STATUS_ERROR, MBIM_STATUS_ERROR_BUSY, static_cast<HRESULT>(0x800700AA)},
        {MBIM_STATUS_ERROR, MBIM_STATUS_ERROR_INVALID_PARAMETERS, E_INVALIDARG},
        {MBIM_STATUS_ERROR, MBIM_STATUS_ERROR_SIM_NOT_INSERTED, E_MBN_SIM_NOT_INSERTED},
        {MBIM_STATUS_ERROR, MBIM_STATUS_ERROR_PIN_REQUIRED, E_MBN_PIN_REQUIRED},
        {MBIM_STATUS_ERROR, MBIM_STATUS_ERROR_RADIO_POWER_OFF, E_MBN_RADIO_POWER_OFF},
        {MBIM_STATUS_ERROR, MBIM_STATUS_ERROR_FAILURE, E_FAIL},
        {G_IO_ERROR, G_IO_ERROR_CANCELLED, static_cast<HRESULT>(0x800703E3)},
        {G_IO_ERROR, G_IO_ERROR_BROKEN_PIPE, kDeviceGone},
        {G_IO_CHANNEL_ERROR, G_IO_CHANNEL_ERROR_PIPE, kDeviceGone},
        {G_IO_CHANNEL_ERROR, G_IO_CHANNEL_ERROR_IO, kDeviceGone},
        {G_IO_CHANNEL_ERROR, G_IO_CHANNEL_ERROR_INVAL, E_FAIL},
        {MBIM_CORE_ERROR, MBIM_CORE_ERROR_INVALID_MESSAGE, E_FAIL},
    };
    int row = 0;
    for (const auto& r : rows) {
        ++row;
        GError* error = g_error_new_literal(r.domain, r.code, "row");
        EXPECT_EQ(r.expected, mbnmbim::HresultFromGError(error)) << "row " << row;
        g_error_free(error);
    }
    EXPECT_EQ(S_OK, mbnmbim::HresultFromMbimStatus(0));
    EXPECT_EQ(E_MBN_BAD_SIM, mbnmbim::HresultFromMbimStatus(MBIM_STATUS_ERROR_BAD_SIM));
}

// Device caps strings reach a BSTR through this conversion.
TEST(MbimText, utf8_from_libmbim_becomes_utf16_and_invalid_bytes_become_replacements) {
    const struct {
        std::string utf8;
        std::u16string utf16;
    } rows[] = {
        {"", u""},
        {"EM05-G", u"EM05-G"},
        {"Caf\xc3\xa9", u"Caf\u00e9"},                // 2 bytes
        {"\xe2\x82\xac 5", u"\u20ac 5"},              // 3 bytes
        {"\xf0\x9f\x93\xb6!", u"\xd83d\xdcf6!"},      // 4 bytes: a surrogate pair
        {"a\xff-b", u"a\xfffd-b"},                    // no UTF-8 byte
        {"\xed\xa0\xbd-c", u"\xfffd\xfffd\xfffd-c"},  // a lone surrogate, as CESU-8
        {"x\xe2\x82", u"x\xfffd\xfffd"},              // cut short at the end
    };
    int row = 0;
    for (const auto& r : rows) {
        ++row;
        EXPECT_TRUE(r.utf16 == mbnmbim::Utf16FromUtf8(r.utf8)) << "row " << row;
    }
}

}  // namespace
