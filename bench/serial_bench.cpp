// The cost of one CSerial::SendData of a 10-byte command against the pty
// modem answering at once: wall time per exchange, and what it costs above
// the fixed 200 ms pause between the last byte written and the read
// (counter overhead_ms). The modem runs in this process on a pseudo-terminal.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "test_modem.h"
#include "tools/interfaces.h"

namespace {

const double kPauseMs = 200.0;

void BM_SendData10ByteCommand(benchmark::State& state) {
    auto modem = testsupport::StartTestModem();
    if (!modem) {
        state.SkipWithError("no pseudo-terminal for the modem");
        return;
    }
    void* object = nullptr;
    if (CreateToolInstance(IID_IDeviceMsg, &object) != 1) {
        state.SkipWithError("no serial channel from the factory");
        return;
    }
    auto* channel = static_cast<IGlobalTools::IDeviceMsg*>(object);
    if (channel->Open(modem->ComPort()) != S_OK) {
        channel->Release();
        state.SkipWithError("Open failed");
        return;
    }
    const char command[] = "AT+CGMR;\r\n";  // 10 bytes
    std::string response;
    double totalMs = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const HRESULT hr = channel->SendData(command, 10, response);
        totalMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (hr != S_OK || response != "\r\nOK\r\n") {
            state.SkipWithError("the exchange failed");
            break;
        }
    }
    if (state.iterations() > 0) {
        state.counters["overhead_ms"] = totalMs / static_cast<double>(state.iterations()) - kPauseMs;
    }
    channel->Close();
    channel->Release();
}

BENCHMARK(BM_SendData10ByteCommand)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(25);

}  // namespace

BENCHMARK_MAIN();
