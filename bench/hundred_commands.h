// 100 commands through one `atcmd -f` against 100 runs of `atcmd`, timed in
// turn so both see the same machine load: the counters file_ms, runs_ms and
// ratio (the runs' time over the file's). The caller gives the two ways of
// running; each returns the seconds taken, or a negative value on failure.
#ifndef BENCH_HUNDRED_COMMANDS_H
#define BENCH_HUNDRED_COMMANDS_H

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

// A file of 100 "AT" lines, removed with the object.
class HundredCommandFile {
public:
    HundredCommandFile() : path_("/tmp/atcmd-bench-" + std::to_string(getpid()) + ".txt") {
        if (std::FILE* out = std::fopen(path_.c_str(), "w")) {
            for (int i = 0; i < 100; ++i) std::fputs("AT\n", out);
            std::fclose(out);
        }
    }
    ~HundredCommandFile() { std::remove(path_.c_str()); }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

inline void TimeHundredCommands(benchmark::State& state, const std::function<double()>& throughFile,
                                const std::function<double()>& oneRun) {
    double file = 0;
    double runs = 0;
    for (auto _ : state) {
        const double f = throughFile();
        double r = 0;
        for (int i = 0; i < 100 && r >= 0; ++i) {
            const double one = oneRun();
            r = one < 0 ? -1 : r + one;
        }
        if (f < 0 || r < 0) {
            state.SkipWithError("a run failed");
            break;
        }
        file += f;
        runs += r;
        state.SetIterationTime(f + r);
    }
    if (file > 0) {
        const double n = static_cast<double>(state.iterations());
        state.counters["file_ms"] = 1000.0 * file / n;
        state.counters["runs_ms"] = 1000.0 * runs / n;
        state.counters["ratio"] = runs / file;
    }
}

#endif  // BENCH_HUNDRED_COMMANDS_H
