// POSIX only: what the serial layer really does to the terminal device. The
// line is read back through a second descriptor on the pty, opened before
// the port so the exclusive open does not keep it out. A pty keeps 8 data
// bits without parity whatever it is told, so the framing rows check the
// DCB <-> termios mapping itself.
#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "comm_conformance.h"
#include "comm_dcb.h"
#include "pty_modem.h"

namespace {

using commtest::OpenPort;

const int kPort = 37;

class TermiosTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(modem_.Start());
        ASSERT_TRUE(testsupport::MapComPort(kPort, modem_.SlavePath()));
        probe_ = open(modem_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(probe_, 0);
    }

    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE) {
            CloseHandle(port_);
        }
        if (probe_ >= 0) {
            close(probe_);
        }
        modem_.Stop();
        testsupport::UnmapComPort(kPort);
    }

    // Opens the port and reads its state.
    void OpenWithState(DCB& dcb) {
        port_ = OpenPort(kPort);
        ASSERT_NE(INVALID_HANDLE_VALUE, port_);
        ASSERT_TRUE(GetCommState(port_, &dcb));
    }

    struct termios Line() {
        struct termios tio;
        std::memset(&tio, 0, sizeof tio);
        EXPECT_EQ(0, tcgetattr(probe_, &tio));
        return tio;
    }

    testsupport::PtyModem modem_;
    int probe_ = -1;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(TermiosTest, opening_makes_a_cooked_line_raw_and_keeps_speed_and_framing) {
    struct termios cooked = Line();
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    cooked.c_iflag |= ICRNL;
    cooked.c_oflag |= OPOST;
    ASSERT_EQ(0, tcsetattr(probe_, TCSANOW, &cooked));

    port_ = OpenPort(kPort);
    ASSERT_NE(INVALID_HANDLE_VALUE, port_);
    const struct termios tio = Line();
    EXPECT_EQ(0u, tio.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_EQ(0u, tio.c_iflag & ICRNL);
    EXPECT_EQ(0u, tio.c_oflag & OPOST);
    EXPECT_NE(0u, tio.c_cflag & (CLOCAL | CREAD));
    EXPECT_EQ(static_cast<speed_t>(B9600), cfgetospeed(&tio));

    DCB dcb;
    ASSERT_TRUE(GetCommState(port_, &dcb));
    EXPECT_EQ(9600u, dcb.BaudRate);
    EXPECT_EQ(8, dcb.ByteSize);
    EXPECT_EQ(NOPARITY, dcb.Parity);
}

TEST_F(TermiosTest, set_comm_state_writes_speed_and_stop_bits_into_termios) {
    port_ = OpenPort(kPort);
    ASSERT_NE(INVALID_HANDLE_VALUE, port_);
    struct Row {
        DWORD baud;
        speed_t speed;
        BYTE stopBits;
        bool cstopb;
    };
    const Row rows[] = {
        {115200, B115200, ONESTOPBIT, false},
        {9600, B9600, TWOSTOPBITS, true},
        {57600, B57600, ONESTOPBIT, false},
        {921600, B921600, TWOSTOPBITS, true},
    };
    int row = 0;
    for (const Row& r : rows) {
        DCB dcb;
        ASSERT_TRUE(GetCommState(port_, &dcb));
        dcb.BaudRate = r.baud;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = r.stopBits;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        ASSERT_TRUE(SetCommState(port_, &dcb)) << "row " << row;
        const struct termios tio = Line();
        EXPECT_EQ(r.speed, cfgetospeed(&tio)) << "row " << row;
        EXPECT_EQ(r.speed, cfgetispeed(&tio)) << "row " << row;
        EXPECT_EQ(static_cast<tcflag_t>(CS8), tio.c_cflag & CSIZE) << "row " << row;
        EXPECT_EQ(0u, tio.c_cflag & PARENB) << "row " << row;
        EXPECT_EQ(r.cstopb, (tio.c_cflag & CSTOPB) != 0) << "row " << row;
        EXPECT_EQ(0u, tio.c_lflag & (ICANON | ECHO)) << "row " << row;
        ++row;
    }
}

TEST_F(TermiosTest, frame_the_device_cannot_take_is_refused_and_the_old_settings_stay) {
    DCB dcb;
    ASSERT_NO_FATAL_FAILURE(OpenWithState(dcb));
    dcb.BaudRate = 19200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetCommState(port_, &dcb));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    const struct termios tio = Line();
    EXPECT_EQ(static_cast<speed_t>(B9600), cfgetospeed(&tio)) << "the speed must not change either";
}

TEST(DcbTermiosMapping, frames_map_onto_character_size_parity_and_stop_bits) {
    struct Row {
        BYTE byteSize;
        tcflag_t csize;
        BYTE parity;
        tcflag_t parityFlags;
        BYTE stopBits;
        bool cstopb;
    };
    const Row rows[] = {
        {8, CS8, NOPARITY, 0, ONESTOPBIT, false},
        {7, CS7, EVENPARITY, PARENB, TWOSTOPBITS, true},
        {6, CS6, ODDPARITY, PARENB | PARODD, ONESTOPBIT, false},
        {5, CS5, MARKPARITY, PARENB | PARODD | CMSPAR, ONE5STOPBITS, true},
        {8, CS8, SPACEPARITY, PARENB | CMSPAR, ONESTOPBIT, false},
    };
    int row = 0;
    for (const Row& r : rows) {
        DCB dcb = {};
        dcb.BaudRate = 9600;
        dcb.ByteSize = r.byteSize;
        dcb.Parity = r.parity;
        dcb.StopBits = r.stopBits;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        struct termios tio;
        std::memset(&tio, 0xFF, sizeof tio);
        pal::comm::TermiosFromDcb(dcb, B9600, &tio);
        EXPECT_EQ(r.csize, tio.c_cflag & CSIZE) << "row " << row;
        EXPECT_EQ(r.parityFlags, tio.c_cflag & (PARENB | PARODD | CMSPAR)) << "row " << row;
        EXPECT_EQ(r.cstopb, (tio.c_cflag & CSTOPB) != 0) << "row " << row;
        EXPECT_EQ(0u, tio.c_cflag & CRTSCTS) << "row " << row;
        EXPECT_EQ(0u, tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP)) << "row " << row;
        EXPECT_EQ(0u, tio.c_oflag & OPOST) << "row " << row;
        EXPECT_EQ(0u, tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) << "row " << row;

        DCB back;
        std::memset(&back, 0, sizeof back);
        pal::comm::DcbFromTermios(tio, &back);
        EXPECT_EQ(9600u, back.BaudRate) << "row " << row;
        EXPECT_EQ(r.byteSize, back.ByteSize) << "row " << row;
        EXPECT_EQ(r.parity, back.Parity) << "row " << row;
        EXPECT_EQ(r.stopBits, back.StopBits) << "row " << row;
        ++row;
    }
}

TEST_F(TermiosTest, flow_control_and_xon_xoff_characters_reach_termios) {
    DCB dcb;
    ASSERT_NO_FATAL_FAILURE(OpenWithState(dcb));
    dcb.fOutxCtsFlow = 1;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.XonChar = 0x01;
    dcb.XoffChar = 0x02;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    struct termios tio = Line();
    EXPECT_NE(0u, tio.c_cflag & CRTSCTS);
    EXPECT_EQ(static_cast<tcflag_t>(IXON | IXOFF), tio.c_iflag & (IXON | IXOFF));
    EXPECT_EQ(0x01, tio.c_cc[VSTART]);
    EXPECT_EQ(0x02, tio.c_cc[VSTOP]);

    dcb.fOutxCtsFlow = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    tio = Line();
    EXPECT_EQ(0u, tio.c_cflag & CRTSCTS);
    EXPECT_EQ(0u, tio.c_iflag & (IXON | IXOFF));
}

TEST_F(TermiosTest, get_comm_state_reads_what_termios_holds) {
    port_ = OpenPort(kPort);
    ASSERT_NE(INVALID_HANDLE_VALUE, port_);
    struct termios tio = Line();
    cfsetispeed(&tio, B57600);
    cfsetospeed(&tio, B57600);
    tio.c_cflag |= CSTOPB;
    tio.c_iflag |= IXON;
    ASSERT_EQ(0, tcsetattr(probe_, TCSANOW, &tio));
    DCB dcb;
    std::memset(&dcb, 0xFF, sizeof dcb);
    ASSERT_TRUE(GetCommState(port_, &dcb));
    EXPECT_EQ(sizeof(DCB), dcb.DCBlength);
    EXPECT_EQ(57600u, dcb.BaudRate);
    EXPECT_EQ(8, dcb.ByteSize);
    EXPECT_EQ(NOPARITY, dcb.Parity);
    EXPECT_EQ(TWOSTOPBITS, dcb.StopBits);
    EXPECT_EQ(1u, dcb.fOutX);
    EXPECT_EQ(0u, dcb.fInX);
}

TEST_F(TermiosTest, an_open_port_holds_the_device_lock_against_other_processes) {
    port_ = OpenPort(kPort);
    ASSERT_NE(INVALID_HANDLE_VALUE, port_);
    // Another process opening the device gets its own open file and sees the
    // lock as this one does.
    EXPECT_NE(0, flock(probe_, LOCK_EX | LOCK_NB));
    EXPECT_EQ(EWOULDBLOCK, errno);
    ASSERT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(0, flock(probe_, LOCK_EX | LOCK_NB)) << "the lock goes with the handle";
    flock(probe_, LOCK_UN);
}

TEST_F(TermiosTest, com_names_take_either_form_and_any_case) {
    const char* names[] = {"\\\\.\\COM37", "COM37", "\\\\.\\com37"};
    for (const char* name : names) {
        HANDLE h = CreateFileW(commtest::Wide(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, NULL);
        EXPECT_NE(INVALID_HANDLE_VALUE, h) << name;
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
    }
    const char* refused[] = {"\\\\.\\COM037", "\\\\.\\COM37x", "\\\\.\\LPT1", "C:\\file.txt"};
    for (const char* name : refused) {
        SetLastError(0xdeadbeef);
        HANDLE h = CreateFileW(commtest::Wide(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, NULL);
        EXPECT_EQ(INVALID_HANDLE_VALUE, h) << name;
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError()) << name;
    }
}

}  // namespace
