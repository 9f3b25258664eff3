// Cost of the MBIM channel: exchanges per second on an open command session
// (Sendmsg, then Recvmsg) against the simulated service, `atcmd AT` as a
// whole process against a minimal program that only prints one line (the
// ratio of the two process times is the counter "ratio"), and 100 commands
// through `atcmd -f` against 100 runs.
#include <benchmark/benchmark.h>

#include "hundred_commands.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <vector>

#include "simulator.h"
#include "tools/interfaces.h"

namespace {

void Exchange(benchmark::State& state) {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        state.SkipWithError("CoInitializeEx failed");
        return;
    }
    {
        mbnsim::SimulatedService service;
        mbnsim::ModemConfig quiet;
        quiet.echo = false;
        service.SetModem(quiet);
        void* object = nullptr;
        if (service.Register() != S_OK || !CreateToolInstance(IID_IMbimChannel, &object)) {
            state.SkipWithError("no service or no channel");
        } else {
            auto* channel = static_cast<IGlobalTools::IMbimChannel*>(object);
            const std::string command = "AT\r\n";
            if (channel->Open() != S_OK || channel->OpenSession(mbnsim::kAtServiceId) != S_OK) {
                state.SkipWithError("the channel did not open");
            } else {
                std::string response;
                for (auto _ : state) {
                    if (channel->Sendmsg(command.data(), static_cast<unsigned int>(command.size()),
                                         mbnsim::kAtCommandId) != S_OK ||
                        channel->Recvmsg(response) != S_OK) {
                        state.SkipWithError("an exchange failed");
                        break;
                    }
                    benchmark::DoNotOptimize(response.data());
                }
                state.SetItemsProcessed(state.iterations());
                channel->CloseSession();
            }
            channel->Release();
            service.WaitIdle(10000);
        }
    }
    CoUninitialize();
}
BENCHMARK(Exchange)->UseRealTime()->MinTime(2.0);

// Runs a program with its arguments and the simulated modem chosen, its
// output thrown away; the seconds it took, or a negative value when it did
// not exit with 0.
double RunProgram(const char* path, std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), path);
    arguments.push_back(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) {
        if (!freopen("/dev/null", "w", stdout)) _exit(126);
        setenv("GLOBALTOOLS_MBN_PROVIDER", "simulator", 1);
        execv(path, const_cast<char* const*>(arguments.data()));
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return -1.0;
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void ProcessRun(benchmark::State& state, const char* path) {
    for (auto _ : state) {
        double seconds = RunProgram(path, {"AT"});
        if (seconds < 0) {
            state.SkipWithError("the program failed");
            break;
        }
        state.SetIterationTime(seconds);
    }
}

void AtcmdProcess(benchmark::State& state) { ProcessRun(state, ATCMD_PATH); }
void MinimalProcess(benchmark::State& state) { ProcessRun(state, MINIMAL_PATH); }
BENCHMARK(AtcmdProcess)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(MinimalProcess)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Both programs in turn, so that both see the same machine load; "ratio" is
// atcmd's time over the minimal program's.
void AtcmdOverMinimal(benchmark::State& state) {
    double atcmd = 0;
    double minimal = 0;
    for (auto _ : state) {
        double a = RunProgram(ATCMD_PATH, {"AT"});
        double m = RunProgram(MINIMAL_PATH, {"AT"});
        if (a < 0 || m < 0) {
            state.SkipWithError("a program failed");
            break;
        }
        atcmd += a;
        minimal += m;
        state.SetIterationTime(a + m);
    }
    if (minimal > 0) {
        state.counters["atcmd_ms"] = 1000.0 * atcmd / static_cast<double>(state.iterations());
        state.counters["minimal_ms"] = 1000.0 * minimal / static_cast<double>(state.iterations());
        state.counters["ratio"] = atcmd / minimal;
    }
}
BENCHMARK(AtcmdOverMinimal)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);

// 100 commands through one `atcmd -f` against 100 runs of `atcmd`, in turn;
// "ratio" is the runs' time over the file's.
void HundredCommandsThroughOneRun(benchmark::State& state) {
    const HundredCommandFile file;
    TimeHundredCommands(
        state,
        [&] {
            return RunProgram(ATCMD_PATH, {"-f", file.Path().c_str()});
        },
        [] { return RunProgram(ATCMD_PATH, {"AT"}); });
}
BENCHMARK(HundredCommandsThroughOneRun)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
