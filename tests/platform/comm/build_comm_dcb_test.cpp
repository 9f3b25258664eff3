// BuildCommDCBW conformance: which definition strings are accepted, and that
// exactly the members a string names change (and StopBits, which always gets
// a value). Each row runs on a DCB filled
// with 0x00 and again with 0xFF, so an untouched member shows its filler.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "comm_conformance.h"
#include "test_modem.h"

namespace {

using commtest::Wide;

typedef void (*Apply)(DCB&);

struct Row {
    const char* definition;
    BOOL result;
    Apply apply;  // the members a successful call sets
};

void OldFlowNone(DCB& d) {
    d.fOutxCtsFlow = 0;
    d.fOutxDsrFlow = 0;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fOutX = 0;
    d.fInX = 0;
    d.fRtsControl = RTS_CONTROL_ENABLE;
}

void OldFlowXon(DCB& d) {
    OldFlowNone(d);
    d.fOutX = 1;
    d.fInX = 1;
}

void OldFlowHardware(DCB& d) {
    OldFlowNone(d);
    d.fOutxCtsFlow = 1;
    d.fOutxDsrFlow = 1;
    d.fDtrControl = DTR_CONTROL_HANDSHAKE;
    d.fRtsControl = RTS_CONTROL_HANDSHAKE;
}

void Nothing(DCB&) {}

// clang-format off
const Row kRows[] = {
    /* 0 */ {"baud=9600 parity=e data=5 stop=1 xon=on odsr=off octs=off dtr=on rts=on idsr=on", TRUE,
             [](DCB& d) {
                 d.BaudRate = 9600;
                 d.Parity = EVENPARITY;
                 d.ByteSize = 5;
                 d.StopBits = ONESTOPBIT;
                 d.fOutX = 1;
                 d.fInX = 1;
                 d.fOutxDsrFlow = 0;
                 d.fOutxCtsFlow = 0;
                 d.fDtrControl = DTR_CONTROL_ENABLE;
                 d.fRtsControl = RTS_CONTROL_ENABLE;
                 d.fDsrSensitivity = 1;
             }},
    /* 1 */ {"baud=0 parity=M data=6 stop=1.5 xon=off odsr=on octs=ON dtr=off rts=off idsr=OFF", TRUE,
             [](DCB& d) {
                 d.BaudRate = 0;
                 d.Parity = MARKPARITY;
                 d.ByteSize = 6;
                 d.StopBits = ONE5STOPBITS;
                 d.fOutX = 0;
                 d.fInX = 0;
                 d.fOutxDsrFlow = 1;
                 d.fOutxCtsFlow = 1;
                 d.fDtrControl = DTR_CONTROL_DISABLE;
                 d.fRtsControl = RTS_CONTROL_DISABLE;
                 d.fDsrSensitivity = 0;
             }},
    /* 2 */ {"BAUD=4000000000 parity=n data=7 stop=2 to=off", TRUE,
             [](DCB& d) {
                 d.BaudRate = 4000000000u;
                 d.Parity = NOPARITY;
                 d.ByteSize = 7;
                 d.StopBits = TWOSTOPBITS;
             }},
    /* 3 */ {"Baud=115200 Parity=O Data=8 To=On", TRUE,
             [](DCB& d) {
                 d.BaudRate = 115200;
                 d.Parity = ODDPARITY;
                 d.ByteSize = 8;
                 d.StopBits = ONESTOPBIT;  // set by every accepted string
             }},
    /* 4 */ {"PaRiTy=s           Data=7          DTR=on", TRUE,
             [](DCB& d) {
                 d.Parity = SPACEPARITY;
                 d.ByteSize = 7;
                 d.fDtrControl = DTR_CONTROL_ENABLE;
                 d.StopBits = ONESTOPBIT;
             }},
    /* 5 */ {"baud=115200 parity=N data=8 stop=1", TRUE,
             [](DCB& d) {
                 d.BaudRate = 115200;
                 d.Parity = NOPARITY;
                 d.ByteSize = 8;
                 d.StopBits = ONESTOPBIT;
             }},
    /* 6 */ {"rts=hs dtr=hs", TRUE,
             [](DCB& d) {
                 d.fRtsControl = RTS_CONTROL_HANDSHAKE;
                 d.fDtrControl = DTR_CONTROL_HANDSHAKE;
                 d.StopBits = ONESTOPBIT;
             }},
    /* 7 */ {"rts=tg", TRUE,
             [](DCB& d) {
                 d.fRtsControl = RTS_CONTROL_TOGGLE;
                 d.StopBits = ONESTOPBIT;
             }},
    // Rows 6 and 7 are the mode command's handshake values; see narrowModeSyntax.
    /* 8 */ {"data=4", FALSE, Nothing},
    /* 9 */ {"data=9", FALSE, Nothing},
    /* 10 */ {"parity=no", FALSE, Nothing},
    /* 11 */ {"stop=0", FALSE, Nothing},
    /* 12 */ {"stop=1.501", FALSE, Nothing},
    /* 13 */ {"stop=3", FALSE, Nothing},
    /* 14 */ {"to=foobar", FALSE, Nothing},
    /* 15 */ {" baud=9600", FALSE, Nothing},
    /* 16 */ {"baud= 9600", FALSE, Nothing},
    /* 17 */ {"baud=9600,data=8", FALSE, Nothing},
    /* 18 */ {"baud=-5 parity=N data=8 stop=1", FALSE, Nothing},
    /* 19 */ {"11,n,8,1", TRUE,
              [](DCB& d) {
                  d.BaudRate = 110;
                  d.Parity = NOPARITY;
                  d.ByteSize = 8;
                  d.StopBits = ONESTOPBIT;  // an explicit stop value beats 110's default
                  OldFlowNone(d);
              }},
    /* 20 */ {"30 ,E, 5,1.5", TRUE,
              [](DCB& d) {
                  d.BaudRate = 300;
                  d.Parity = EVENPARITY;
                  d.ByteSize = 5;
                  d.StopBits = ONE5STOPBITS;
                  OldFlowNone(d);
              }},
    /* 21 */ {"60, m, 6, 2 ", TRUE,
              [](DCB& d) {
                  d.BaudRate = 600;
                  d.Parity = MARKPARITY;
                  d.ByteSize = 6;
                  d.StopBits = TWOSTOPBITS;
                  OldFlowNone(d);
              }},
    /* 22 */ {"12 , o , 7 , 1", TRUE,
              [](DCB& d) {
                  d.BaudRate = 1200;
                  d.Parity = ODDPARITY;
                  d.ByteSize = 7;
                  d.StopBits = ONESTOPBIT;
                  OldFlowNone(d);
              }},
    /* 23 */ {"24,s,8,1.5", TRUE,
              [](DCB& d) {
                  d.BaudRate = 2400;
                  d.Parity = SPACEPARITY;
                  d.ByteSize = 8;
                  d.StopBits = ONE5STOPBITS;
                  OldFlowNone(d);
              }},
    /* 24 */ {"48,n,8,1,p", TRUE,
              [](DCB& d) {
                  d.BaudRate = 4800;
                  d.Parity = NOPARITY;
                  d.ByteSize = 8;
                  d.StopBits = ONESTOPBIT;
                  OldFlowHardware(d);
              }},
    /* 25 */ {"96,N,8,1 , x ", TRUE,
              [](DCB& d) {
                  d.BaudRate = 9600;
                  d.Parity = NOPARITY;
                  d.ByteSize = 8;
                  d.StopBits = ONESTOPBIT;
                  OldFlowXon(d);
              }},
    /* 26 */ {"19, e, 7, 1, x", TRUE,
              [](DCB& d) {
                  d.BaudRate = 19200;
                  d.Parity = EVENPARITY;
                  d.ByteSize = 7;
                  d.StopBits = ONESTOPBIT;
                  OldFlowXon(d);
              }},
    /* 27 */ {"0,M,7,1,P", TRUE,
              [](DCB& d) {
                  d.BaudRate = 0;
                  d.Parity = MARKPARITY;
                  d.ByteSize = 7;
                  d.StopBits = ONESTOPBIT;
                  OldFlowHardware(d);
              }},
    /* 28 */ {"4000000000,O,7,1.5,X", TRUE,
              [](DCB& d) {
                  d.BaudRate = 4000000000u;
                  d.Parity = ODDPARITY;
                  d.ByteSize = 7;
                  d.StopBits = ONE5STOPBITS;
                  OldFlowXon(d);
              }},
    /* 29 */ {"96,N,8,1 to=on", FALSE, Nothing},
    /* 30 */ {"96,NO,8,1", FALSE, Nothing},
    /* 31 */ {"96,N,4,1", FALSE, Nothing},
    /* 32 */ {"96,N,9,1", FALSE, Nothing},
    /* 33 */ {"96,N,8,0", FALSE, Nothing},
    /* 34 */ {"96,N,8,3", FALSE, Nothing},
    /* 35 */ {"96,N,8,1,K", FALSE, Nothing},
    /* 36 */ {"COM0:baud=115200", FALSE, Nothing},
    /* 37 */ {"COM0:9600,N,8,1", FALSE, Nothing},
};
// clang-format on

void RunRow(int row, const std::string& definition, BOOL result, Apply apply) {
    for (int fill : {0x00, 0xFF}) {
        SCOPED_TRACE("BuildCommDCBW(\"" + definition + "\") on a DCB filled with " + std::to_string(fill));
        DCB dcb;
        std::memset(&dcb, fill, sizeof dcb);
        DCB expected;
        std::memset(&expected, fill, sizeof expected);
        if (result) {
            apply(expected);
        }
        SetLastError(0xdeadbeef);
        BOOL got = BuildCommDCBW(Wide(definition).c_str(), &dcb);
        if (dcb.DCBlength == sizeof(DCB)) {
            expected.DCBlength = sizeof(DCB);  // some Windows versions set it, others leave it
        }
        CHECK_CALL("BuildCommDCBW", row, got, result, result ? 0xdeadbeef : ERROR_INVALID_PARAMETER);
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&dcb);
        const unsigned char* want = reinterpret_cast<const unsigned char*>(&expected);
        for (size_t offset = 0; offset < sizeof dcb; ++offset) {
            EXPECT_EQ(int(want[offset]), int(bytes[offset]))
                << "BuildCommDCBW, row " << row << ": DCB byte " << offset << " (offset 8-11: flag bits)";
        }
    }
}

TEST(BuildCommDCBW, definition_strings_change_only_the_members_they_name) {
    for (size_t row = 0; row < sizeof kRows / sizeof kRows[0]; ++row) {
        if ((row == 6 || row == 7) && testsupport::Differences().narrowModeSyntax) {
            continue;
        }
        RunRow(static_cast<int>(row), kRows[row].definition, kRows[row].result, kRows[row].apply);
    }
}

TEST(BuildCommDCBW, port_prefix_must_name_an_existing_port) {
    auto modem = testsupport::StartTestModem();
    if (!modem) {
        GTEST_SKIP() << "no test modem";
    }
    const std::string com = "COM" + std::to_string(modem->ComPort());
    RunRow(100, com + ":baud=38400 data=8", TRUE, [](DCB& d) {
        d.BaudRate = 38400;
        d.ByteSize = 8;
        d.StopBits = ONESTOPBIT;
    });
    RunRow(101, com + "  :to=on stop=1.5", TRUE, [](DCB& d) { d.StopBits = ONE5STOPBITS; });
    RunRow(102, com + ":               baud=12345     data=7", TRUE, [](DCB& d) {
        d.BaudRate = 12345;
        d.ByteSize = 7;
        d.StopBits = ONESTOPBIT;
    });
    RunRow(103, com + " : xon=on odsr=off", TRUE, [](DCB& d) {
        d.fOutX = 1;
        d.fInX = 1;
        d.fOutxDsrFlow = 0;
        d.StopBits = ONESTOPBIT;
    });
    RunRow(104, com + ":  11,E,7,2", TRUE, [](DCB& d) {
        d.BaudRate = 110;
        d.Parity = EVENPARITY;
        d.ByteSize = 7;
        d.StopBits = TWOSTOPBITS;
        OldFlowNone(d);
    });
    if (!testsupport::Differences().narrowModeSyntax) {
        RunRow(105, "COM" + std::to_string(testsupport::MissingComPort()) + ":baud=9600", FALSE, Nothing);
    }
}

}  // namespace
