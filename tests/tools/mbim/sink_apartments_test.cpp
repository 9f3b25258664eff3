// The event sink under Windows' own COM (run under Wine): a service may keep
// the sink in the global interface table or marshal it to threads of other
// apartments before it calls it, which needs the sink to answer IUnknown.
// Wine has no proxy for the events interface, so the sink travels as
// IUnknown: to a single-threaded apartment it arrives as a proxy of its
// identity; within the multithreaded apartment, where the platform's
// threads deliver, the events interface comes back as the sink itself.
// Windows only: the POSIX COM layer does not marshal.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "channel_test_support.h"
#include "tools/ZeroFilled.h"
#include "tools/mbim/CDefaultServiceEvent.h"

namespace {

template <class Body>
void InApartment(DWORD model, Body body) {
    std::thread thread([&] {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, model)));
        body();
        CoUninitialize();
    });
    thread.join();
}

}  // namespace

TEST(SinkApartments, marshalled_sink_delivers_a_completion_to_the_channel) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    CDefaultServiceEvent* sink = NewZeroFilled<CDefaultServiceEvent>();
    IUnknown* identity = static_cast<IMbnDeviceServicesEvents*>(sink);

    IGlobalInterfaceTable* table = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&table)));
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, table->RegisterInterfaceInGlobal(identity, IID_IUnknown, &cookie));

    // Another apartment gets a proxy that stands for the same object.
    InApartment(COINIT_APARTMENTTHREADED, [&] {
        IUnknown* proxy = nullptr;
        ASSERT_EQ(S_OK, table->GetInterfaceFromGlobal(cookie, IID_IUnknown, reinterpret_cast<void**>(&proxy)));
        EXPECT_NE(identity, proxy);
        IUnknown* again = nullptr;
        EXPECT_EQ(S_OK, proxy->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&again)));
        EXPECT_EQ(proxy, again);
        if (again) again->Release();
        proxy->Release();
    });

    // The channel waits for request 5; a platform thread takes the sink from
    // the table and, through a stream, hands it to another of its threads,
    // which completes the request.
    sink->ResetExchange();
    sink->SetRequestId(5);
    IStream* stream = nullptr;
    InApartment(COINIT_MULTITHREADED, [&] {
        IMbnDeviceServicesEvents* events = nullptr;
        ASSERT_EQ(S_OK, table->GetInterfaceFromGlobal(cookie, IID_IMbnDeviceServicesEvents,
                                                      reinterpret_cast<void**>(&events)));
        EXPECT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(IID_IUnknown, events, &stream));
        events->Release();
    });
    ASSERT_NE(nullptr, stream);
    InApartment(COINIT_MULTITHREADED, [&] {
        IMbnDeviceServicesEvents* events = nullptr;
        ASSERT_EQ(S_OK, CoGetInterfaceAndReleaseStream(stream, IID_IMbnDeviceServicesEvents,
                                                       reinterpret_cast<void**>(&events)));
        mbimtest::ByteArray answer(std::string("\r\nOK\r\n", 6));
        EXPECT_EQ(S_OK, events->OnSetCommandComplete(nullptr, 0, answer.get(), S_OK, 5));
        events->Release();
    });
    std::string out;
    EXPECT_EQ(WAIT_OBJECT_0, sink->GetResponse(out));
    EXPECT_EQ("\r\nOK\r\n", out);

    EXPECT_EQ(S_OK, table->RevokeInterfaceFromGlobal(cookie));
    table->Release();
    // Every reference COM took has been given back.
    EXPECT_EQ(0u, sink->Release());
    CoUninitialize();
}
