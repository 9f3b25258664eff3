// The test modem on Windows: the modem runs outside the program (ptymodem on
// the host, seen by Wine as a COM port) and the runner names its COM number
// in GLOBALTOOLS_TEST_COM (GLOBALTOOLS_TEST_COM2 for the second one). Without
// the variable no modem is available and modem tests skip.
#include <cstdlib>
#include <memory>

#include "test_modem.h"

namespace testsupport {
namespace {

class ExternalTestModem : public TestModem {
public:
    explicit ExternalTestModem(int port) : port_(port) {}
    int ComPort() const override { return port_; }
    bool OwnsModem() const override { return false; }

private:
    int port_;
};

}  // namespace

std::unique_ptr<TestModem> StartTestModem(int slot) {
    const char* value = std::getenv(slot == 0 ? "GLOBALTOOLS_TEST_COM" : "GLOBALTOOLS_TEST_COM2");
    const int port = value ? std::atoi(value) : 0;
    if (port <= 0) {
        return nullptr;
    }
    return std::make_unique<ExternalTestModem>(port);
}

int MissingComPort() {
    const char* value = std::getenv("GLOBALTOOLS_TEST_MISSING_COM");
    return value && std::atoi(value) > 0 ? std::atoi(value) : 199;
}

}  // namespace testsupport
