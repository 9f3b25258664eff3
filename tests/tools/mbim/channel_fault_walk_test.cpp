// The MBIM channel against failing platform calls, in process, so that the
// simulated service's own counts show what a failure leaves behind: Open,
// SendData("AT") and Release with the 1st platform call on their road
// failing, then the 2nd, and so on until an exchange meets no injected
// failure. After each, the service holds no object, no sink reference and no
// connection, the shared logger has every reference back, and an S_OK answer
// is the modem's (two failures the design leaves silent are told apart
// below). POSIX only: the switch is the POSIX layer's.
#include <gtest/gtest.h>

#include <iostream>
#include <string>

#include "channel_test_support.h"
#include "fault_injection.h"
#include "simulator.h"
#include "tools/interfaces.h"

namespace {

TEST(ChannelUnderFaults, every_platform_call_of_an_exchange_fails_in_turn) {
    const std::string command = "AT\r\n";
    const std::string answer = mbnsim::Modem().Feed(command);
    const int logRefs = mbimtest::SharedLogRefs();
    unsigned long k = 1;
    for (;; ++k) {
        ASSERT_LT(k, 500u) << "the walk does not end";
        mbnsim::SimulatedService service;
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        ASSERT_EQ(S_OK, service.Register());

        pal::SetFault(nullptr, k);
        void* object = nullptr;
        HRESULT opened = E_FAIL;
        HRESULT sent = E_FAIL;
        std::string response;
        if (CreateToolInstance(IID_IMbimChannel, &object)) {
            auto* channel = static_cast<IGlobalTools::IMbimChannel*>(object);
            opened = channel->Open();
            if (opened == S_OK) {
                sent = channel->SendData(command.data(), static_cast<unsigned int>(command.size()), response, nullptr,
                                         mbnsim::kAtServiceId, mbnsim::kAtCommandId);
            }
            channel->Release();
        }
        const char* failed = pal::FailedPoint();
        pal::SetFault(nullptr, 0);

        const std::string where = "fault at call " + std::to_string(k) + " (" + (failed ? failed : "none") + ")";
        service.DropHeld();
        EXPECT_TRUE(service.WaitIdle(15000)) << where;
        EXPECT_EQ(0, service.LiveObjects()) << where << ": service objects still held";
        EXPECT_EQ(0, service.SinkRefs()) << where << ": the service still holds the sink";
        EXPECT_EQ(0u, service.AdviseConnections()) << where;
        EXPECT_EQ(logRefs, mbimtest::SharedLogRefs()) << where << ": a channel or sink was not destroyed";
        service.Revoke();
        CoUninitialize();
        if (sent == S_OK && failed && std::string(failed) == "SafeArrayPutElement") {
            // The command's bytes go in one by one and a lost one goes
            // unnoticed, by design: the answer is to what reached the modem.
            bool known = response == answer;
            for (size_t i = 0; i < command.size(); ++i) {
                std::string mangled = command;
                mangled[i] = '\0';
                known = known || response == mbnsim::Modem().Feed(mangled);
            }
            EXPECT_TRUE(known) << where << ": " << response;
        } else if (sent == S_OK && failed && std::string(failed) == "SafeArrayAccessData") {
            // Delivered bytes the sink cannot read: logged, and nothing kept.
            EXPECT_TRUE(response == answer || response.empty()) << where << ": " << response;
        } else if (sent == S_OK) {
            EXPECT_EQ(response, answer) << where;
        }
        if (!failed) {
            EXPECT_EQ(opened, S_OK);
            EXPECT_EQ(sent, S_OK);
            break;
        }
    }
    std::cout << "walked " << k - 1 << " injection points on the road of an MBIM SendData\n";
}

}  // namespace
