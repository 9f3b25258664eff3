// A modem on a COM port for tests, whatever the platform. On POSIX it is a
// pseudo-terminal modem running in this process, reachable as a COM number
// through a private COM folder. On Windows (under Wine) the modem runs outside
// the program and the runner names its COM number in the environment:
// GLOBALTOOLS_TEST_COM for the first modem, GLOBALTOOLS_TEST_COM2 for the
// second. Tests drive the modem with the commands of modem_script.h.
#ifndef TESTS_SUPPORT_TEST_MODEM_H
#define TESTS_SUPPORT_TEST_MODEM_H

#include <memory>

namespace testsupport {

class TestModem {
public:
    virtual ~TestModem() = default;
    // The COM number the modem answers on.
    virtual int ComPort() const = 0;
    // True when the test may create and remove modems at will (a fresh
    // modem per test); false when the modem lives outside the program.
    virtual bool OwnsModem() const = 0;
};

// Starts modem number slot (0 or 1). Null when none is available; the
// caller then skips its test.
std::unique_ptr<TestModem> StartTestModem(int slot = 0);

// A COM number that names no device.
int MissingComPort();

// Where the platform the tests run on is known to differ from Windows. A
// check that can still run there carries the flag as its TodoWine mark
// (tests/support/conformance.h); a test whose Windows course would take or
// reconfigure the shared modem's port is skipped on the flag instead.
struct KnownDifferences {
    bool sharedComPorts;      // a second open of a held port succeeds (Wine)
    bool laxSetCommState;     // SetCommState takes DCBs Windows refuses, or
                              // refuses them with another error, and
                              // GetCommState reads RTS control from the device
                              // (Wine)
    bool narrowModeSyntax;    // BuildCommDCBW refuses dtr=hs, rts=hs, rts=tg
                              // and does not check that a COMn prefix exists
                              // (Wine)
    bool cancelAllSucceeds;   // CancelIoEx(h, NULL) with nothing pending
                              // succeeds (Wine)
    bool immediateReadPends;  // a read with ReadIntervalTimeout MAXDWORD and
                              // no total time-out waits for data (Wine)
};
const KnownDifferences& Differences();

}  // namespace testsupport

#endif  // TESTS_SUPPORT_TEST_MODEM_H
