// `atcmd --port AT` as a whole process against minimal_serial, a minimal
// program that writes AT to the same pty modem and reads to OK (the floor),
// run in turn; and 100 commands through one `atcmd --port -f` against 100
// runs. "ratio" is atcmd's time over the floor's, and the runs' time over the
// file's. The modem runs in this process on a pseudo-terminal.
#include <benchmark/benchmark.h>

#include "hundred_commands.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "pty_modem.h"

namespace {

// Runs argv with the output thrown away; the seconds it took, or a negative
// value when it did not exit with 0.
double Run(std::vector<std::string> args) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        if (!freopen("/dev/null", "w", stdout)) _exit(126);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void AtcmdPortOverMinimal(benchmark::State& state) {
    testsupport::PtyModem modem;
    if (!modem.Start()) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    double atcmd = 0;
    double floor = 0;
    for (auto _ : state) {
        const double a = Run({ATCMD_PATH, "-p", modem.SlavePath(), "AT"});
        const double m = Run({MINIMAL_SERIAL_PATH, modem.SlavePath()});
        if (a < 0 || m < 0) {
            state.SkipWithError(a < 0 ? "atcmd failed" : "the minimal program failed");
            break;
        }
        atcmd += a;
        floor += m;
        state.SetIterationTime(a + m);
    }
    if (floor > 0) {
        const double n = static_cast<double>(state.iterations());
        state.counters["atcmd_ms"] = 1000.0 * atcmd / n;
        state.counters["minimal_ms"] = 1000.0 * floor / n;
        state.counters["ratio"] = atcmd / floor;
    }
}
BENCHMARK(AtcmdPortOverMinimal)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);

void HundredCommandsThroughOneRun(benchmark::State& state) {
    testsupport::PtyModem modem;
    if (!modem.Start()) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    const HundredCommandFile file;
    TimeHundredCommands(
        state,
        [&] {
            return Run({ATCMD_PATH, "-p", modem.SlavePath(), "-f", file.Path()});
        },
        [&] {
            return Run({ATCMD_PATH, "-p", modem.SlavePath(), "AT"});
        });
}
BENCHMARK(HundredCommandsThroughOneRun)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
