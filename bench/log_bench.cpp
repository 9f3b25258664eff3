// What one log line costs. A written line is measured against a bare loop
// that does the same file work by hand in the same run (read the threshold
// from the INI file, read the time, open, print, flush and close the log),
// and the ratio of the two is printed at the end; a line filtered out by the
// threshold is measured too. The INI file beside this program sets LOG_LV to
// 2 for the run, and the log folder goes to a temporary folder (PROGRAMDATA).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/winapi.h"
#include "tools/log/CLog.h"

namespace {

std::string Slashed(std::string path) {
    for (char& c : path) {
        if (c == '\\') {
            c = '/';
        }
    }
    return path;
}

std::string ExeFolder() {
    char path[MAX_PATH] = {0};
    GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string folder(path);
    return folder.substr(0, folder.rfind('\\') + 1);
}

std::string IniPath() { return ExeFolder() + "kvconfig.ini"; }

std::string LogPath() {
    char path[MAX_PATH] = {0};
    SHGetSpecialFolderPathA(NULL, path, CSIDL_COMMON_APPDATA, FALSE);
    return std::string(path) + "\\Quendra Driver Package\\logs\\KavoConnectMonitor.log";
}

void BM_WrittenLine(benchmark::State& state) {
    CLog* log = new CLog();
    for (auto _ : state) {
        log->Log(2, "[Success] OpenSession success hr = 0x%x", 0);
    }
    log->Release();
    std::filesystem::remove(Slashed(LogPath()));
}

void BM_BareFileWork(benchmark::State& state) {
    const std::string ini = IniPath();
    const std::string path = LogPath();
    for (auto _ : state) {
        int threshold = static_cast<int>(GetPrivateProfileIntA("BASE_CONFIG", "LOG_LV", -1, ini.c_str()));
        benchmark::DoNotOptimize(threshold);
        SYSTEMTIME now;
        GetLocalTime(&now);
        FILE* file = NULL;
        if (fopen_s(&file, path.c_str(), "a+") == 0 && file != NULL) {
            fprintf(file, "[%d] [%d] %02d-%02d %02d:%02d:%02d:%03d : [Success] OpenSession success hr = 0x%x\n",
                    static_cast<int>(GetCurrentProcessId()), static_cast<int>(GetCurrentThreadId()), now.wMonth,
                    now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, 0);
            fflush(file);
            fclose(file);
        }
    }
    std::filesystem::remove(Slashed(LogPath()));
}

void BM_FilteredLine(benchmark::State& state) {
    CLog* log = new CLog();
    for (auto _ : state) {
        log->Log(3, "[Success] OpenSession success hr = 0x%x", 0);
    }
    log->Release();
}

BENCHMARK(BM_WrittenLine);
BENCHMARK(BM_BareFileWork);
BENCHMARK(BM_FilteredLine);

// Keeps each benchmark's times per iteration so the ratio can be printed
// once all have run; with repetitions the medians are compared.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                times[run.run_name.function_name].push_back(run.GetAdjustedRealTime());
                cpuTimes[run.run_name.function_name].push_back(run.GetAdjustedCPUTime());
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    double Median(const std::string& name) { return MedianOf(times[name]); }
    double CpuMedian(const std::string& name) { return MedianOf(cpuTimes[name]); }

private:
    static double MedianOf(std::vector<double>& all) {
        if (all.empty()) {
            return 0;
        }
        std::sort(all.begin(), all.end());
        return all[all.size() / 2];
    }

    std::map<std::string, std::vector<double>> times;
    std::map<std::string, std::vector<double>> cpuTimes;
};

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path appData =
        std::filesystem::temp_directory_path() / ("log_bench-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(appData);
    static std::string programData = "PROGRAMDATA=" + appData.generic_string();
    putenv(&programData[0]);
    {
        std::ofstream ini(Slashed(IniPath()), std::ios::binary | std::ios::trunc);
        ini << "[BASE_CONFIG]\r\nLOG_LV=2\r\n";
    }

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const double written = reporter.Median("BM_WrittenLine");
    const double bare = reporter.Median("BM_BareFileWork");
    const double filtered = reporter.Median("BM_FilteredLine");
    if (written > 0 && bare > 0) {
        std::printf("written line / bare file work = %.3f (medians %.0f ns / %.0f ns)\n", written / bare, written,
                    bare);
        std::printf("  in CPU time: %.3f (medians %.0f ns / %.0f ns)\n",
                    reporter.CpuMedian("BM_WrittenLine") / reporter.CpuMedian("BM_BareFileWork"),
                    reporter.CpuMedian("BM_WrittenLine"), reporter.CpuMedian("BM_BareFileWork"));
        std::printf("filtered-out line / written line = %.3f (median %.0f ns)\n", filtered / written, filtered);
    }

    std::filesystem::remove(Slashed(IniPath()));
    std::filesystem::remove_all(appData);
    return 0;
}
