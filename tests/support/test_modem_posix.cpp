// The test modem on POSIX: a pseudo-terminal modem in this process, mapped
// to a COM number in the process's private COM folder for as long as the
// returned object lives.
#include <memory>

#include "pty_modem.h"
#include "test_modem.h"

namespace testsupport {
namespace {

// Two digits on purpose: COM numbers above 9 take the longer name path.
const int kFirstComPort = 21;

class PtyTestModem : public TestModem {
public:
    explicit PtyTestModem(int port) : port_(port) {}
    ~PtyTestModem() override {
        modem_.Stop();
        UnmapComPort(port_);
    }
    bool Start() { return modem_.Start() && MapComPort(port_, modem_.SlavePath()); }
    int ComPort() const override { return port_; }
    bool OwnsModem() const override { return true; }

private:
    int port_;
    PtyModem modem_;
};

}  // namespace

std::unique_ptr<TestModem> StartTestModem(int slot) {
    auto modem = std::make_unique<PtyTestModem>(kFirstComPort + slot);
    if (!modem->Start()) {
        return nullptr;
    }
    return modem;
}

int MissingComPort() {
    UnmapComPort(kFirstComPort + 9);
    MapComPort(kFirstComPort + 9, "/nonexistent/globaltools-no-such-device");
    return kFirstComPort + 9;
}

const KnownDifferences& Differences() {
    static const KnownDifferences none = {false, false, false, false, false};
    return none;
}

}  // namespace testsupport
