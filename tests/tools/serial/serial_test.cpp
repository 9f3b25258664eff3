// CSerial against the test modem: opening and closing, the configuration it
// leaves on the port, the exchanges (short, late, long, one-byte, with zero
// bytes), bad lengths and port numbers, calls on a closed object, and a
// device that hangs up in the middle of an exchange. Windows names only, so
// the program also runs under Wine against a modem outside it.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <memory>
#include <string>

#include "modem_script.h"
#include "queued_bytes.h"
#include "test_modem.h"
#include "conformance.h"
#include "tools/interfaces.h"
#include "tools/serial/CSerial.h"

namespace {

const char kUntouched[] = "untouched";

// The channel from the factory, released (after Close) when the test ends.
struct Channel {
    Channel() {
        void* object = NULL;
        EXPECT_EQ(1, CreateToolInstance(IID_IDeviceMsg, &object));
        msg = static_cast<IGlobalTools::IDeviceMsg*>(object);
        serial = static_cast<CSerial*>(msg);
    }
    ~Channel() {
        if (msg) {
            msg->Close();
            msg->Release();
        }
    }
    IGlobalTools::IDeviceMsg* msg = NULL;
    CSerial* serial = NULL;
};

// Waits (bounded) until the port holds at least n unread bytes.
DWORD WaitForQueued(CSerial* serial, DWORD n, DWORD timeoutMs = 3000) {
    return testsupport::WaitForQueuedBytes(serial->hComm, n, timeoutMs);
}

class SerialTest : public ::testing::Test {
protected:
    void SetUp() override {
        modem_ = testsupport::StartTestModem();
        if (!modem_) {
            GTEST_SKIP() << "no test modem";
        }
        com_ = modem_->ComPort();
    }

    std::unique_ptr<testsupport::TestModem> modem_;
    int com_ = 0;
};

// ---- Lifecycle ----

TEST(SerialLifecycle, factory_hands_out_a_closed_channel_with_every_field_zero) {
    Channel c;
    ASSERT_NE(static_cast<CSerial*>(NULL), c.serial);
    EXPECT_EQ(0, c.serial->opened);
    EXPECT_EQ(static_cast<HANDLE>(NULL), c.serial->hComm);
    const OVERLAPPED zero = {};
    EXPECT_EQ(0, std::memcmp(&zero, &c.serial->readOverlapped, sizeof zero));
    EXPECT_EQ(0, std::memcmp(&zero, &c.serial->writeOverlapped, sizeof zero));
}

TEST_F(SerialTest, exchanges_at_for_ok) {
    Channel c;
    ASSERT_EQ(S_OK, c.msg->Open(com_));
    std::string response;
    ASSERT_EQ(S_OK, c.msg->SendData("AT\r\n", 4, response));
    EXPECT_EQ("\r\nOK\r\n", response);
    EXPECT_EQ(1, c.msg->Close());
}

TEST_F(SerialTest, close_and_reopen_gives_back_the_handles_and_starts_with_fresh_events) {
    Channel c;
    ASSERT_EQ(S_OK, c.msg->Open(com_));
    std::string response;
    ASSERT_EQ(S_OK, c.msg->SendData("AT\r", 3, response));
    // The exchange leaves both events signalled.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(c.serial->writeOverlapped.hEvent, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(c.serial->readOverlapped.hEvent, 0));

    EXPECT_EQ(1, c.msg->Close());
    EXPECT_EQ(0, c.serial->opened);
    EXPECT_EQ(static_cast<HANDLE>(NULL), c.serial->hComm);
    EXPECT_EQ(1, c.msg->Close()) << "a second Close does nothing more";

    ASSERT_EQ(S_OK, c.msg->Open(com_)) << "the port was given back, so it opens again";
    ASSERT_NE(static_cast<HANDLE>(NULL), c.serial->readOverlapped.hEvent);
    ASSERT_NE(static_cast<HANDLE>(NULL), c.serial->writeOverlapped.hEvent);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(c.serial->readOverlapped.hEvent, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(c.serial->writeOverlapped.hEvent, 0));
    response.clear();
    ASSERT_EQ(S_OK, c.msg->SendData("AT\r", 3, response));
    EXPECT_EQ("\r\nOK\r\n", response);
}

TEST_F(SerialTest, second_open_keeps_the_first_port) {
    auto other = testsupport::StartTestModem(1);
    if (!other) {
        GTEST_SKIP() << "no second test modem";
    }
    Channel a;
    ASSERT_EQ(S_OK, a.msg->Open(com_));
    const HANDLE first = a.serial->hComm;
    EXPECT_EQ(S_OK, a.msg->Open(other->ComPort()));
    EXPECT_EQ(first, a.serial->hComm);

    // a still holds com_ and never took the other port.
    Channel b;
    {
        conformance::TodoWine todo(HERE, testsupport::Differences().sharedComPorts);
        EXPECT_EQ(E_FAIL, b.msg->Open(com_));
    }
    EXPECT_EQ(S_OK, b.msg->Open(other->ComPort()));
    std::string response;
    EXPECT_EQ(S_OK, a.msg->SendData("AT\r", 3, response));
    EXPECT_EQ("\r\nOK\r\n", response);
}

TEST_F(SerialTest, second_object_cannot_open_a_held_port_until_it_is_closed) {
    if (testsupport::Differences().sharedComPorts) {
        GTEST_SKIP() << "known difference: this platform shares COM ports";
    }
    Channel a;
    Channel b;
    ASSERT_EQ(S_OK, a.msg->Open(com_));
    testing::internal::CaptureStdout();
    EXPECT_EQ(E_FAIL, b.msg->Open(com_));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(0, b.serial->opened);

    EXPECT_EQ(1, a.msg->Close());
    EXPECT_EQ(S_OK, b.msg->Open(com_));
}

TEST_F(SerialTest, ports_that_cannot_be_named_or_found_fail_silently_and_leave_the_object_usable) {
    Channel c;
    const int ports[] = {testsupport::MissingComPort(), 0, -1, -5, INT_MIN, INT_MAX, 99999999, 9999999};
    for (int port : ports) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(E_FAIL, c.msg->Open(port)) << "port " << port;
        EXPECT_EQ("", testing::internal::GetCapturedStdout()) << "port " << port;
        EXPECT_EQ(0, c.serial->opened) << "port " << port;
        EXPECT_EQ(1, c.msg->Close()) << "port " << port;
    }
    EXPECT_EQ(S_OK, c.msg->Open(com_));
}

// ---- Configuration ----

TEST_F(SerialTest, open_leaves_the_port_at_115200_eight_n_one_with_its_timeouts_and_mask) {
    Channel c;
    testing::internal::CaptureStdout();
    ASSERT_EQ(S_OK, c.msg->Open(com_));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());

    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    ASSERT_TRUE(GetCommState(c.serial->hComm, &dcb));
    EXPECT_EQ(115200u, dcb.BaudRate);
    EXPECT_EQ(8, dcb.ByteSize);
    EXPECT_EQ(NOPARITY, dcb.Parity);
    EXPECT_EQ(ONESTOPBIT, dcb.StopBits);
    EXPECT_EQ(0u, dcb.fOutxCtsFlow);
    EXPECT_EQ(0u, dcb.fOutX);
    EXPECT_EQ(0u, dcb.fInX);
    EXPECT_EQ(static_cast<DWORD>(DTR_CONTROL_ENABLE), dcb.fDtrControl);
    {
        conformance::TodoWine todo(HERE, testsupport::Differences().laxSetCommState);
        EXPECT_EQ(static_cast<DWORD>(RTS_CONTROL_DISABLE), dcb.fRtsControl);
    }
    EXPECT_EQ(0x11, dcb.XonChar);
    EXPECT_EQ(0x13, dcb.XoffChar);

    COMMTIMEOUTS t;
    std::memset(&t, 0, sizeof t);
    ASSERT_TRUE(GetCommTimeouts(c.serial->hComm, &t));
    EXPECT_EQ(1000u, t.ReadIntervalTimeout);
    EXPECT_EQ(1000u, t.ReadTotalTimeoutMultiplier);
    EXPECT_EQ(1000u, t.ReadTotalTimeoutConstant);
    EXPECT_EQ(1000u, t.WriteTotalTimeoutMultiplier);
    EXPECT_EQ(1000u, t.WriteTotalTimeoutConstant);
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(c.serial->hComm, &mask));
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR | EV_CTS), mask);
}

TEST_F(SerialTest, refused_definition_string_prints_build_comm_dcb_and_skips_set_comm_state) {
    Channel c;
    testing::internal::CaptureStdout();
    ASSERT_EQ(1, c.serial->OpenPort(com_, -5));
    EXPECT_EQ("BuildCommDCB()", testing::internal::GetCapturedStdout());
    EXPECT_EQ(1, c.serial->opened) << "a port whose configuration failed still counts as open";

    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(c.serial->hComm, &mask));
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR | EV_CTS), mask) << "the steps before it ran";
    if (modem_->OwnsModem()) {
        DCB dcb;
        ASSERT_TRUE(GetCommState(c.serial->hComm, &dcb));
        EXPECT_EQ(9600u, dcb.BaudRate) << "SetCommState must not have run: the new line is at 9600";
    }
    std::string response;
    EXPECT_EQ(S_OK, c.msg->SendData("AT\r", 3, response));
    EXPECT_EQ("\r\nOK\r\n", response);
}

TEST_F(SerialTest, refused_dcb_prints_set_comm_state_and_the_port_stays_open) {
    if (testsupport::Differences().laxSetCommState) {
        GTEST_SKIP() << "known difference: this platform's SetCommState takes 0 baud";
    }
    Channel c;
    testing::internal::CaptureStdout();
    ASSERT_EQ(1, c.serial->OpenPort(com_, 0));  // "baud=0" parses, but no port runs at 0 baud
    EXPECT_EQ("SetCommState()", testing::internal::GetCapturedStdout());
    EXPECT_EQ(S_OK, c.msg->Open(com_ + 1)) << "already open: nothing is reconfigured";
    std::string response;
    EXPECT_EQ(S_OK, c.msg->SendData("AT\r", 3, response));
    EXPECT_EQ("\r\nOK\r\n", response);
}

// ---- Exchanges ----

TEST_F(SerialTest, one_byte_command_is_written_but_send_data_fails_without_reading) {
    Channel c;
    ASSERT_EQ(S_OK, c.msg->Open(com_));
    std::string response = kUntouched;
    EXPECT_EQ(E_FAIL, c.msg->SendData("A", 1, response));
    EXPECT_EQ(kUntouched, response);
    // The modem has the "A": completing the line gives an AT command.
    ASSERT_EQ(S_OK, c.msg->Sendmsg("T\r", 2));
    ASSERT_GE(WaitForQueued(c.serial, 6), 6u);
    EXPECT_EQ(S_OK, c.msg->Recvmsg(response));
    EXPECT_EQ("\r\nOK\r\n", response);
}

TEST_F(SerialTest, late_reply_stays_queued_for_recvmsg) {
    Channel c;
    ASSERT_EQ(S_OK, c.msg->Open(com_));
    std::string response;
    ASSERT_EQ(S_OK, c.msg->SendData("AT+SIMDELAY=600\r", 16, response));

    response = kUntouched;
    EXPECT_EQ(E_FAIL, c.msg->SendData("AT\r", 3, response)) << "nothing has come 200 ms after the command";
    EXPECT_EQ(kUntouched, response);
    ASSERT_GE(WaitForQueued(c.serial, 6), 6u);
    EXPECT_EQ(S_OK, c.msg->Recvmsg(response));
    EXPECT_EQ("\r\nOK\r\n", response);
}

TEST_F(SerialTest, reply_longer_than_1024_is_split_between_send_data_and_recvmsg_without_loss) {
    Channel c;
    ASSERT_EQ(S_OK, c.msg->Open(com_));
    const std::string expected = testsupport::DataReply(1500);
    std::string first;
    ASSERT_EQ(S_OK, c.msg->SendData("AT+SIMDATA=1500\r", 16, first));
    EXPECT_EQ(1024u, first.size());

    std::string whole = first;
    while (whole.size() < expected.size()) {
        const DWORD missing = static_cast<DWORD>(expected.size() - whole.size());
        ASSERT_GE(WaitForQueued(c.serial, missing), missing) << "the rest of the reply never arrived";
        std::string rest = kUntouched;
        ASSERT_EQ(S_OK, c.msg->Recvmsg(rest));
        whole += rest;
    }
    EXPECT_EQ(expected, whole);
}

TEST_F(SerialTest, recvmsg_takes_at_most_2048_and_leaves_the_rest) {
    Channel c;
    ASSERT_EQ(S_OK, c.msg->Open(com_));
    ASSERT_EQ(S_OK, c.msg->Sendmsg("AT+SIMDATA=3000\r", 16));
    ASSERT_GE(WaitForQueued(c.serial, 3000), 3000u);
    std::string first, second;
    ASSERT_EQ(S_OK, c.msg->Recvmsg(first));
    EXPECT_EQ(2048u, first.size());
    ASSERT_EQ(S_OK, c.msg->Recvmsg(second));
    EXPECT_EQ(testsupport::DataReply(3000), first + second);
}

TEST_F(SerialTest, exactly_one_byte_waiting_is_consumed_and_recvmsg_fails) {
    Channel c;
    ASSERT_EQ(S_OK, c.msg->Open(com_));
    ASSERT_EQ(S_OK, c.msg->Sendmsg("AT+SIMDATA=1\r", 13));
    ASSERT_EQ(1u, WaitForQueued(c.serial, 1));
    std::string response = kUntouched;
    EXPECT_EQ(E_FAIL, c.msg->Recvmsg(response));
    EXPECT_EQ(kUntouched, response);
    ASSERT_EQ(S_OK, c.msg->SendData("AT\r", 3, response));
    EXPECT_EQ("\r\nOK\r\n", response) << "the single byte is gone from the queue";
}

TEST_F(SerialTest, reply_with_zero_bytes_arrives_whole) {
    Channel c;
    ASSERT_EQ(S_OK, c.msg->Open(com_));
    std::string response = kUntouched;
    ASSERT_EQ(S_OK, c.msg->SendData("AT+SIMNULLS\r", 12, response));
    EXPECT_EQ(testsupport::NullsReply(), response);
    EXPECT_EQ(10u, response.size());
}

TEST_F(SerialTest, sendmsg_with_zero_length_succeeds_and_with_negative_length_fails_without_writing) {
    Channel c;
    ASSERT_EQ(S_OK, c.msg->Open(com_));
    EXPECT_EQ(S_OK, c.msg->Sendmsg("X", 0));
    EXPECT_EQ(E_FAIL, c.msg->Sendmsg("XYZ\r", -1));
    EXPECT_EQ(E_FAIL, c.msg->Sendmsg("XYZ\r", INT_MIN));
    std::string response = kUntouched;
    EXPECT_EQ(E_FAIL, c.msg->SendData("XYZ\r", 0, response));
    EXPECT_EQ(E_FAIL, c.msg->SendData("XYZ\r", -4, response));
    EXPECT_EQ(kUntouched, response);
    // Had any of those bytes gone out, the modem would have answered ERROR.
    ASSERT_EQ(S_OK, c.msg->SendData("AT\r", 3, response));
    EXPECT_EQ("\r\nOK\r\n", response);
}

TEST_F(SerialTest, calls_on_a_closed_object_fail_without_touching_the_response) {
    Channel c;
    std::string response = kUntouched;
    EXPECT_EQ(E_FAIL, c.msg->SendData("AT\r", 3, response));
    EXPECT_EQ(E_FAIL, c.msg->Sendmsg("AT\r", 3));
    EXPECT_EQ(E_FAIL, c.msg->Recvmsg(response));
    EXPECT_EQ(1, c.msg->Close());

    ASSERT_EQ(S_OK, c.msg->Open(com_));
    EXPECT_EQ(1, c.msg->Close());
    EXPECT_EQ(E_FAIL, c.msg->SendData("AT\r", 3, response));
    EXPECT_EQ(E_FAIL, c.msg->Sendmsg("AT\r", 3));
    EXPECT_EQ(E_FAIL, c.msg->Recvmsg(response));
    EXPECT_EQ(kUntouched, response);
    EXPECT_EQ(1, c.msg->Close());
}

// ---- Faults ----

TEST_F(SerialTest, stalled_line_cancels_the_waiting_byte_and_carries_on) {
    Channel c;
    ASSERT_EQ(S_OK, c.msg->Open(com_));
    std::string response;
    ASSERT_EQ(S_OK, c.msg->SendData("AT+SIMDEAF=3000\r", 16, response));
    ASSERT_EQ("\r\nOK\r\n", response);
    // More than the line holds while the modem does not read: some byte's
    // write is still pending when its 1000 ms wait ends and is cancelled.
    std::string command = "AT";
    command.append(48 * 1024, 'x');
    command += "\r";
    EXPECT_EQ(S_OK, c.msg->Sendmsg(command.data(), static_cast<int>(command.size())))
        << "every byte counts as submitted";
    ASSERT_GE(WaitForQueued(c.serial, 6, 5000), 6u) << "the channel must carry on after the stall";
    EXPECT_EQ(S_OK, c.msg->Recvmsg(response));
    EXPECT_EQ("\r\nOK\r\n", response);
}

TEST_F(SerialTest, device_hanging_up_mid_exchange_gives_failures_not_hangs) {
    Channel c;
    ASSERT_EQ(S_OK, c.msg->Open(com_));
    std::string response = kUntouched;
    EXPECT_EQ(E_FAIL, c.msg->SendData("AT+SIMHANGUP\r", 13, response));
    EXPECT_EQ(kUntouched, response);
    EXPECT_EQ(E_FAIL, c.msg->Recvmsg(response));
    EXPECT_EQ(E_FAIL, c.msg->SendData("AT\r", 3, response)) << "nothing answers on a dead line";
    EXPECT_EQ(kUntouched, response);
    EXPECT_EQ(S_OK, c.msg->Sendmsg("AT\r", 3)) << "writes are judged by the count submitted";
    EXPECT_EQ(1, c.msg->Close());
    if (modem_->OwnsModem()) {
        EXPECT_EQ(E_FAIL, c.msg->Open(com_)) << "the device is gone";
    }
}

TEST_F(SerialTest, device_hanging_up_during_a_delayed_reply_gives_failures) {
    Channel c;
    ASSERT_EQ(S_OK, c.msg->Open(com_));
    std::string response;
    ASSERT_EQ(S_OK, c.msg->SendData("AT+SIMDELAY=100\r", 16, response));
    ASSERT_EQ(S_OK, c.msg->Sendmsg("AT+SIMDATA=4000\r", 16));
    ASSERT_EQ(S_OK, c.msg->Sendmsg("AT+SIMHANGUP\r", 13));
    // Whatever arrived before the line died is delivered whole; then nothing.
    // Collected for a second at most, or until the whole answer is in.
    const std::string whole = testsupport::DataReply(4000);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    std::string got;
    while (got.size() < whole.size() && std::chrono::steady_clock::now() < deadline) {
        std::string part;
        if (c.msg->Recvmsg(part) == S_OK) {
            got += part;
        } else {
            Sleep(10);  // a poll interval; the deadline bounds the wait
        }
    }
    EXPECT_EQ(testsupport::DataReply(4000).substr(0, got.size()), got);
    EXPECT_EQ(E_FAIL, c.msg->SendData("AT\r", 3, response));
}

}  // namespace
