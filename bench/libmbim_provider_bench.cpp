// `atcmd ATI` through the libmbim back end against mbim_plain_client, a
// plain libmbim program sending the same MBIM messages, both on the same warm
// mbim-emulator, run in turn so both see the same machine load. "ratio" is
// atcmd's time over the plain client's: directly, and through an mbim-proxy
// this benchmark starts (root only; skipped otherwise). Directly, Debian's
// `mbimcli --query-device-caps` (a peer that opens, asks one question and
// closes) is timed in the same turns too: "ratio_mbimcli". Last, 100
// commands through `atcmd -f` against 100 runs.
#include <benchmark/benchmark.h>

#include "hundred_commands.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "emulator_processes.h"

namespace {

constexpr const char* kMbimcli = "/usr/bin/mbimcli";

// Runs argv with extra environment entries and its output thrown away; the
// seconds it took, or a negative value when it did not exit with 0.
double Run(std::vector<std::string> args, const std::vector<std::string>& environment) {
    const auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) {
        if (!freopen("/dev/null", "w", stdout)) _exit(126);
        for (const std::string& entry : environment) putenv(const_cast<char*>(entry.c_str()));
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1.0;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void AtcmdOverPlainClient(benchmark::State& state, bool viaProxy) {
    std::unique_ptr<mbimtest::Proxy> proxy;
    if (viaProxy) {
        proxy = std::make_unique<mbimtest::Proxy>();
        if (!proxy->Usable()) {
            state.SkipWithError(proxy->Why().c_str());
            return;
        }
    }
    mbimtest::Emulator emulator(EMULATOR_PATH, {});
    if (emulator.Path().empty()) {
        state.SkipWithError("no emulator");
        return;
    }
    const std::vector<std::string> env{"GLOBALTOOLS_MBN_PROVIDER=mbim:" + emulator.Path(),
                                       std::string("GLOBALTOOLS_MBIM_PROXY=") + (viaProxy ? "always" : "never")};
    std::vector<std::string> plain{PLAIN_CLIENT_PATH};
    if (viaProxy) plain.push_back("--proxy");
    plain.push_back(emulator.Path());
    plain.push_back("ATI");
    const bool withMbimcli = !viaProxy && access(kMbimcli, X_OK) == 0;
    double atcmd = 0;
    double client = 0;
    double mbimcli = 0;
    for (auto _ : state) {
        const double a = Run({ATCMD_PATH, "ATI"}, env);
        const double c = Run(plain, {});
        const double m = withMbimcli ? Run({kMbimcli, "-d", emulator.Path(), "--query-device-caps"}, {}) : 0;
        if (a < 0 || c < 0 || m < 0) {
            state.SkipWithError(a < 0 ? "atcmd failed" : c < 0 ? "the plain client failed" : "mbimcli failed");
            break;
        }
        atcmd += a;
        client += c;
        mbimcli += m;
        state.SetIterationTime(a + c + m);
    }
    if (client > 0) {
        const double n = static_cast<double>(state.iterations());
        state.counters["atcmd_ms"] = 1000.0 * atcmd / n;
        state.counters["plain_ms"] = 1000.0 * client / n;
        state.counters["ratio"] = atcmd / client;
    }
    if (mbimcli > 0) {
        state.counters["mbimcli_ms"] = 1000.0 * mbimcli / static_cast<double>(state.iterations());
        state.counters["ratio_mbimcli"] = atcmd / mbimcli;
    }
}

// 100 commands through one `atcmd -f` against 100 runs of `atcmd`, in turn,
// directly on one warm emulator; "ratio" is the runs' time over the file's.
void HundredCommandsThroughOneRun(benchmark::State& state) {
    mbimtest::Emulator emulator(EMULATOR_PATH, {});
    if (emulator.Path().empty()) {
        state.SkipWithError("no emulator");
        return;
    }
    const std::vector<std::string> env{"GLOBALTOOLS_MBN_PROVIDER=mbim:" + emulator.Path(),
                                       "GLOBALTOOLS_MBIM_PROXY=never"};
    const HundredCommandFile file;
    TimeHundredCommands(
        state,
        [&] {
            return Run({ATCMD_PATH, "-f", file.Path()}, env);
        },
        [&] {
            return Run({ATCMD_PATH, "AT"}, env);
        });
}
BENCHMARK(HundredCommandsThroughOneRun)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

void Direct(benchmark::State& state) { AtcmdOverPlainClient(state, false); }
void ThroughProxy(benchmark::State& state) { AtcmdOverPlainClient(state, true); }
BENCHMARK(Direct)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(ThroughProxy)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
