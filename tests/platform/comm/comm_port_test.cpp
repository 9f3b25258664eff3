// Serial port conformance against the test modem: exclusive opens,
// SetCommState's refusals, ClearCommError's input count, and overlapped
// reads that complete at once, stay pending, time out, are cancelled, or end
// with the handle or the device.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "comm_conformance.h"
#include "modem_script.h"
#include "queued_bytes.h"
#include "test_modem.h"

namespace {

using commtest::OpenPort;
using commtest::PortName;
using commtest::WriteAndAwaitInput;

const ULONG_PTR kStatusPending = 0x103;

class CommPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        modem_ = testsupport::StartTestModem();
        if (!modem_) {
            GTEST_SKIP() << "no test modem";
        }
        port_ = OpenPort(modem_->ComPort());
        ASSERT_NE(INVALID_HANDLE_VALUE, port_) << "CreateFileW: error " << GetLastError();
        event_ = CreateEventW(NULL, TRUE, FALSE, NULL);
        ASSERT_NE(static_cast<HANDLE>(NULL), event_);
        std::memset(&ov_, 0, sizeof ov_);
        ov_.hEvent = event_;
    }

    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE && port_ != NULL) {
            CloseHandle(port_);
        }
        if (event_) {
            CloseHandle(event_);
        }
    }

    void SetReadTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
        COMMTIMEOUTS t = {interval, multiplier, constant, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(port_, &t));
    }

    // A DCB SetCommState takes: 115200 8N1, no flow control.
    DCB GoodDcb() {
        DCB dcb;
        std::memset(&dcb, 0, sizeof dcb);
        EXPECT_TRUE(GetCommState(port_, &dcb));
        dcb.DCBlength = sizeof dcb;
        dcb.BaudRate = CBR_115200;
        dcb.fBinary = 1;
        dcb.fOutxCtsFlow = 0;
        dcb.fOutX = 0;
        dcb.fInX = 0;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        return dcb;
    }

    std::unique_ptr<testsupport::TestModem> modem_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = NULL;
    OVERLAPPED ov_;
};

TEST_F(CommPortTest, second_open_of_a_held_port_is_denied_until_the_first_closes) {
    if (testsupport::Differences().sharedComPorts) {
        GTEST_SKIP() << "known difference: this platform shares COM ports";
    }
    SetLastError(0xdeadbeef);
    HANDLE second = OpenPort(modem_->ComPort());
    EXPECT_EQ(INVALID_HANDLE_VALUE, second);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());

    ASSERT_TRUE(CloseHandle(port_));
    port_ = OpenPort(modem_->ComPort());
    EXPECT_NE(INVALID_HANDLE_VALUE, port_) << "reopen after close: error " << GetLastError();
}

TEST(CommPortNames, ports_that_do_not_exist_are_not_found) {
    const int missing = testsupport::MissingComPort();
    const commtest::WideString names[] = {PortName(missing), commtest::Wide("\\\\.\\COM0"),
                                          commtest::Wide("\\\\.\\COM-1")};
    int row = 0;
    for (const commtest::WideString& name : names) {
        SetLastError(0xdeadbeef);
        HANDLE h =
            CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
        EXPECT_EQ(INVALID_HANDLE_VALUE, h) << "CreateFileW, row " << row;
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError()) << "CreateFileW, row " << row;
        ++row;
    }
}

TEST_F(CommPortTest, set_comm_state_refuses_impossible_frames_and_keeps_the_old_state) {
    if (testsupport::Differences().laxSetCommState) {
        GTEST_SKIP() << "known difference: this platform's SetCommState checks less";
    }
    DCB good = GoodDcb();
    ASSERT_TRUE(SetCommState(port_, &good));

    struct Row {
        const char* what;
        void (*change)(DCB&);
    };
    const Row rows[] = {
        {"XonChar equal to XoffChar", [](DCB& d) { d.XoffChar = d.XonChar; }},
        {"zero-filled DCB", [](DCB& d) { std::memset(&d, 0, sizeof d); }},
        {"4 data bits", [](DCB& d) { d.ByteSize = 4; }},
        {"9 data bits", [](DCB& d) { d.ByteSize = 9; }},
        {"5 data bits, 2 stop bits", [](DCB& d) { d.ByteSize = 5, d.StopBits = TWOSTOPBITS; }},
        {"6 data bits, 1.5 stop bits", [](DCB& d) { d.ByteSize = 6, d.StopBits = ONE5STOPBITS; }},
        {"8 data bits, 1.5 stop bits", [](DCB& d) { d.StopBits = ONE5STOPBITS; }},
        {"parity 5", [](DCB& d) { d.Parity = 5; }},
        {"stop bits 3", [](DCB& d) { d.StopBits = 3; }},
    };
    int row = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        DCB dcb = good;
        r.change(dcb);
        SetLastError(0xdeadbeef);
        CHECK_CALL("SetCommState", row, SetCommState(port_, &dcb), FALSE, ERROR_INVALID_PARAMETER);
        DCB now;
        std::memset(&now, 0xFF, sizeof now);
        ASSERT_TRUE(GetCommState(port_, &now));
        EXPECT_EQ(115200u, now.BaudRate) << "row " << row;
        EXPECT_EQ(8, now.ByteSize) << "row " << row;
        EXPECT_EQ(NOPARITY, now.Parity) << "row " << row;
        EXPECT_EQ(ONESTOPBIT, now.StopBits) << "row " << row;
        ++row;
    }
}

TEST_F(CommPortTest, set_comm_state_takes_valid_frames_and_get_comm_state_reports_them) {
    struct Row {
        DWORD baud;
        BYTE byteSize, parity, stopBits;
    };
    // 8 data bits without parity: the one frame a pseudo-terminal modem has.
    const Row rows[] = {
        {9600, 8, NOPARITY, ONESTOPBIT},
        {19200, 8, NOPARITY, TWOSTOPBITS},
        {2400, 8, NOPARITY, ONESTOPBIT},
        {115200, 8, NOPARITY, TWOSTOPBITS},
    };
    int row = 0;
    for (const Row& r : rows) {
        DCB dcb = GoodDcb();
        dcb.BaudRate = r.baud;
        dcb.ByteSize = r.byteSize;
        dcb.Parity = r.parity;
        dcb.StopBits = r.stopBits;
        SetLastError(0xdeadbeef);
        CHECK_CALL("SetCommState", row, SetCommState(port_, &dcb), TRUE, 0xdeadbeef);
        DCB now;
        std::memset(&now, 0, sizeof now);
        ASSERT_TRUE(GetCommState(port_, &now));
        EXPECT_EQ(r.baud, now.BaudRate) << "row " << row;
        EXPECT_EQ(r.byteSize, now.ByteSize) << "row " << row;
        EXPECT_EQ(r.parity, now.Parity) << "row " << row;
        EXPECT_EQ(r.stopBits, now.StopBits) << "row " << row;
        EXPECT_EQ(0x11, now.XonChar) << "row " << row;
        EXPECT_EQ(0x13, now.XoffChar) << "row " << row;
        ++row;
    }
}

TEST_F(CommPortTest, clear_comm_error_counts_the_bytes_waiting) {
    COMSTAT stat;
    DWORD errors = 0xFFFFFFFF;
    std::memset(&stat, 0xFF, sizeof stat);
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(0u, stat.cbInQue);
    EXPECT_EQ(0u, errors);

    ASSERT_EQ(5u, WriteAndAwaitInput(port_, "AT+SIMDATA=5\r", 5));
    char buffer[16] = {};
    DWORD count = 0;
    // Queued bytes may be read at once or through a pending read: Windows
    // allows both, and either way the event ends up signalled.
    if (!ReadFile(port_, buffer, 5, &count, &ov_)) {
        ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event_, 3000));
    ASSERT_TRUE(GetOverlappedResult(port_, &ov_, &count, FALSE));
    EXPECT_EQ(5u, count);
    EXPECT_EQ(testsupport::DataReply(5), std::string(buffer, count));

    std::memset(&stat, 0xFF, sizeof stat);
    ASSERT_TRUE(ClearCommError(port_, NULL, &stat));
    EXPECT_EQ(0u, stat.cbInQue);
}

TEST_F(CommPortTest, pending_read_signals_its_event_and_reports_the_bytes) {
    SetReadTimeouts(0, 0, 0);  // no time-out: the read waits for all its bytes
    ASSERT_EQ(6u, WriteAndAwaitInput(port_, "AT+SIMDELAY=300\r", 6));
    char ok[6];
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(port_, ok, 6, &count, &ov_) || GetLastError() == ERROR_IO_PENDING);
    ASSERT_TRUE(GetOverlappedResult(port_, &ov_, &count, TRUE));

    ASSERT_TRUE(WriteFile(port_, "AT\r", 3, NULL, &ov_) || GetLastError() == ERROR_IO_PENDING);
    ASSERT_TRUE(GetOverlappedResult(port_, &ov_, &count, TRUE));

    char buffer[16] = {};
    SetLastError(0xdeadbeef);
    CHECK_CALL("ReadFile", 0, ReadFile(port_, buffer, 6, NULL, &ov_), FALSE, ERROR_IO_PENDING);
    SetLastError(0xdeadbeef);
    CHECK_CALL("GetOverlappedResult", 1, GetOverlappedResult(port_, &ov_, &count, FALSE), FALSE, ERROR_IO_INCOMPLETE);

    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event_, 3000));
    count = 0;
    ASSERT_TRUE(GetOverlappedResult(port_, &ov_, &count, FALSE));
    EXPECT_EQ(6u, count);
    EXPECT_EQ(std::string(testsupport::OkReply()), std::string(buffer, count));
}

TEST_F(CommPortTest, read_time_out_completes_with_the_bytes_that_came) {
    SetReadTimeouts(0, 0, 300);
    ASSERT_TRUE(WriteFile(port_, "AT\r", 3, NULL, &ov_) || GetLastError() == ERROR_IO_PENDING);
    DWORD count = 0;
    ASSERT_TRUE(GetOverlappedResult(port_, &ov_, &count, TRUE));

    char buffer[32] = {};
    if (!ReadFile(port_, buffer, sizeof buffer, NULL, &ov_)) {
        ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event_, 3000));
    }
    count = 0;
    ASSERT_TRUE(GetOverlappedResult(port_, &ov_, &count, FALSE)) << "a serial time-out is not an error";
    EXPECT_EQ(std::string(testsupport::OkReply()), std::string(buffer, count));
}

TEST_F(CommPortTest, read_with_max_interval_returns_at_once_with_what_is_there) {
    if (testsupport::Differences().immediateReadPends) {
        GTEST_SKIP() << "known difference: this platform's read waits for data";
    }
    SetReadTimeouts(MAXDWORD, 0, 0);
    char buffer[8];
    DWORD count = 0xFFFF;
    if (!ReadFile(port_, buffer, sizeof buffer, &count, &ov_)) {
        ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
    }
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event_, 3000)) << "must not wait for data";
    ASSERT_TRUE(GetOverlappedResult(port_, &ov_, &count, FALSE));
    EXPECT_EQ(0u, count);
}

TEST_F(CommPortTest, cancelled_read_completes_aborted_and_only_once) {
    SetReadTimeouts(0, 0, 0);
    char buffer[16];
    SetLastError(0xdeadbeef);
    CHECK_CALL("ReadFile", 0, ReadFile(port_, buffer, sizeof buffer, NULL, &ov_), FALSE, ERROR_IO_PENDING);

    SetLastError(0xdeadbeef);
    CHECK_CALL("CancelIoEx", 1, CancelIoEx(port_, &ov_), TRUE, 0xdeadbeef);
    DWORD count = 0xFFFF;
    SetLastError(0xdeadbeef);
    CHECK_CALL("GetOverlappedResult", 2, GetOverlappedResult(port_, &ov_, &count, TRUE), FALSE,
               ERROR_OPERATION_ABORTED);
    EXPECT_EQ(0u, count);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event_, 0));

    SetLastError(0xdeadbeef);
    CHECK_CALL("CancelIoEx", 3, CancelIoEx(port_, &ov_), FALSE, ERROR_NOT_FOUND);
    {
        conformance::TodoWine todo(HERE, testsupport::Differences().cancelAllSucceeds);
        SetLastError(0xdeadbeef);
        CHECK_CALL("CancelIoEx", 4, CancelIoEx(port_, NULL), FALSE, ERROR_NOT_FOUND);
    }
}

// Completion and cancel race for each read; whichever wins, the count
// reported is what was delivered, so the bytes read across all the reads are
// the modem's answers exactly: none lost, none twice.
TEST_F(CommPortTest, cancel_racing_completion_neither_loses_nor_doubles_bytes) {
    SetReadTimeouts(0, 0, 0);
    const int rounds = 40;
    std::string expected;
    std::string received;
    char buffer[6];
    for (int i = 0; i < rounds; ++i) {
        ASSERT_TRUE(WriteFile(port_, "AT\r", 3, NULL, &ov_) || GetLastError() == ERROR_IO_PENDING);
        DWORD count = 0;
        ASSERT_TRUE(GetOverlappedResult(port_, &ov_, &count, TRUE));
        expected += testsupport::OkReply();
        if (i % 2) {
            // Every other read starts with its answer already queued.
            const DWORD answer = static_cast<DWORD>(std::strlen(testsupport::OkReply()));
            testsupport::WaitForQueuedBytes(port_, answer, 1000);
        }
        if (!ReadFile(port_, buffer, sizeof buffer, NULL, &ov_)) {
            ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
            CancelIoEx(port_, &ov_);
        }
        count = 0;
        if (!GetOverlappedResult(port_, &ov_, &count, TRUE)) {
            ASSERT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), GetLastError()) << "round " << i;
        }
        ASSERT_LE(count, sizeof buffer);
        received.append(buffer, count);
    }
    // Collect what the cancelled reads left queued.
    COMMTIMEOUTS t = {0, 0, 500, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port_, &t));
    while (received.size() < expected.size()) {
        char rest[256];
        DWORD count = 0;
        if (!ReadFile(port_, rest, sizeof rest, NULL, &ov_)) {
            ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
        }
        ASSERT_TRUE(GetOverlappedResult(port_, &ov_, &count, TRUE));
        if (count == 0) {
            break;  // 500 ms without a byte: nothing more is coming
        }
        received.append(rest, count);
    }
    EXPECT_EQ(expected, received);
}

TEST_F(CommPortTest, closing_the_handle_ends_a_pending_read) {
    SetReadTimeouts(0, 0, 0);
    char buffer[16];
    ASSERT_FALSE(ReadFile(port_, buffer, sizeof buffer, NULL, &ov_));
    ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
    ASSERT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event_, 3000));
    EXPECT_NE(kStatusPending, ov_.Internal);
}

TEST_F(CommPortTest, device_hanging_up_ends_a_pending_read_with_an_error) {
    SetReadTimeouts(0, 0, 0);
    ASSERT_TRUE(WriteFile(port_, "AT+SIMHANGUP\r", 13, NULL, &ov_) || GetLastError() == ERROR_IO_PENDING);
    DWORD count = 0;
    GetOverlappedResult(port_, &ov_, &count, TRUE);

    char buffer[16];
    if (!ReadFile(port_, buffer, sizeof buffer, NULL, &ov_) && GetLastError() == ERROR_IO_PENDING) {
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event_, 3000)) << "a hung-up line must end the read";
        EXPECT_FALSE(GetOverlappedResult(port_, &ov_, &count, FALSE));
    }
    COMSTAT stat = {};
    EXPECT_FALSE(ClearCommError(port_, NULL, &stat) && stat.cbInQue > 0);
}

}  // namespace
