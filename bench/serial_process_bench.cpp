// `atcmd --port AT` as a whole process against minimal_serial, a minimal
// program that writes AT to the same pty modem and reads to OK (the floor),
// run in turn; and 100 commands through one `atcmd --port -f` against 100
// runs. "ratio" is atcmd's time over the floor's, and the runs' time over the
// file's. The modem runs in this process on a pseudo-terminal.
#include <benchmark/benchmark.h>

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
    const std::string file = "/tmp/atcmd-serial-bench-" + std::to_string(getpid()) + ".txt";
    if (std::FILE* out = std::fopen(file.c_str(), "w")) {
        for (int i = 0; i < 100; ++i) std::fputs("AT\n", out);
        std::fclose(out);
    }
    double oneRun = 0;
    double runs = 0;
    for (auto _ : state) {
        const double f = Run({ATCMD_PATH, "-p", modem.SlavePath(), "-f", file});
        double r = 0;
        for (int i = 0; i < 100 && r >= 0; ++i) {
            const double one = Run({ATCMD_PATH, "-p", modem.SlavePath(), "AT"});
            r = one < 0 ? -1 : r + one;
        }
        if (f < 0 || r < 0) {
            state.SkipWithError("a run failed");
            break;
        }
        oneRun += f;
        runs += r;
        state.SetIterationTime(f + r);
    }
    std::remove(file.c_str());
    if (oneRun > 0) {
        const double n = static_cast<double>(state.iterations());
        state.counters["file_ms"] = 1000.0 * oneRun / n;
        state.counters["runs_ms"] = 1000.0 * runs / n;
        state.counters["ratio"] = runs / oneRun;
    }
}
BENCHMARK(HundredCommandsThroughOneRun)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
