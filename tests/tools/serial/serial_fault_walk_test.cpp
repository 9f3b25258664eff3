// A serial exchange against failing platform calls: the 1st platform call on
// the road of Open + SendData("AT") + Close on the pty modem fails, then the
// 2nd, and so on until an exchange meets no injected failure. Every exchange
// must end (the channel's own time-outs bound it), report either the modem's
// answer with S_OK or a failure (never S_OK with anything else; a lost byte,
// which the channel does not notice, gives the answer to what arrived), and
// give back every descriptor it took. POSIX only: the switch is the POSIX
// layer's.
#include <dirent.h>
#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <string>

#include "fault_injection.h"
#include "test_modem.h"
#include "tools/interfaces.h"

namespace {

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}

TEST(SerialUnderFaults, every_platform_call_of_an_exchange_fails_in_turn) {
    std::unique_ptr<testsupport::TestModem> modem = testsupport::StartTestModem();
    if (!modem) GTEST_SKIP() << "no test modem";
    const int descriptors = OpenDescriptors();
    unsigned long k = 1;
    for (;; ++k) {
        ASSERT_LT(k, 200u) << "the walk does not end";
        pal::SetFault(nullptr, k);
        void* object = nullptr;
        ASSERT_EQ(1, CreateToolInstance(IID_IDeviceMsg, &object));
        auto* channel = static_cast<IGlobalTools::IDeviceMsg*>(object);
        const HRESULT opened = channel->Open(modem->ComPort());
        std::string response;
        const HRESULT sent = opened == S_OK ? channel->SendData("AT\r\n", 4, response) : E_FAIL;
        channel->Close();
        channel->Release();
        const char* failed = pal::FailedPoint();
        pal::SetFault(nullptr, 0);

        const std::string where = "fault at call " + std::to_string(k) + " (" + (failed ? failed : "none") + ")";
        EXPECT_EQ(OpenDescriptors(), descriptors) << where << ": descriptors left open";
        if (sent == S_OK && failed && std::string(failed) == "WriteFile") {
            // Write failures are silent by design: the modem answers what
            // reached it, and that is what comes back.
            EXPECT_TRUE(response == "\r\nOK\r\n" || response == "\r\nERROR\r\n") << where << ": " << response;
        } else if (sent == S_OK) {
            EXPECT_EQ(response, "\r\nOK\r\n") << where;
        }
        if (!failed) {
            EXPECT_EQ(opened, S_OK);
            EXPECT_EQ(sent, S_OK);
            break;
        }
    }
    std::cout << "walked " << k - 1 << " injection points on the road of a serial SendData\n";
}

}  // namespace
