// Soak: several atcmd loops at once (each its own process per run) and a
// storm of logging threads in one more process, all at LOG_LV=2 on one log
// file. No run may crash, hang or fail; afterwards every line of the log must
// be whole and well formed, every run's lines present exactly once (the same
// messages as a run alone writes), and every storm line present exactly once.
// GLOBALTOOLS_SOAK_RUNS sets the runs per loop (CI: 25; the full soak:
// GLOBALTOOLS_SOAK_RUNS=250, see docs/robustness.md).
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "log_lines.h"

#ifndef ATCMD_PATH
#error "ATCMD_PATH must name the atcmd program"
#endif
#ifndef LOG_STORM_PATH
#error "LOG_STORM_PATH must name the log_storm program"
#endif

namespace fs = std::filesystem;

namespace {

const int kLoops = 4;
const int kStormThreads = 8;
const int kStormLines = 200;
const std::chrono::milliseconds kRunDeadline(3 * 5000 + 12288 + 5000);  // as in fault_walk_test.cpp

int RunsPerLoop() {
    const char* setting = std::getenv("GLOBALTOOLS_SOAK_RUNS");
    const int runs = setting ? std::atoi(setting) : 0;
    return runs > 0 ? runs : 25;
}

std::string ReadLog(const fs::path& appdata) {
    std::ifstream in(appdata / "Quendra Driver Package" / "logs" / "KavoConnectMonitor.log", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(Soak, parallel_runs_and_a_logging_storm_share_the_log_line_by_line) {
    const fs::path root = fs::temp_directory_path() / ("atcmd-soak-" + std::to_string(getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "bin");
    fs::copy_file(ATCMD_PATH, root / "bin" / "atcmd");
    fs::copy_file(LOG_STORM_PATH, root / "bin" / "log_storm");
    std::ofstream(root / "bin" / "kvconfig.ini", std::ios::binary) << "[BASE_CONFIG]\r\nLOG_LV=2\r\n";
    const std::string atcmd = (root / "bin" / "atcmd").string();

    // What one run alone writes.
    fs::create_directories(root / "alone");
    const e2e::ChildRun alone =
        e2e::RunChild({atcmd, "AT"}, e2e::EnvironmentWith({"PROGRAMDATA=" + (root / "alone").string()}), kRunDeadline);
    ASSERT_TRUE(alone.exited && alone.status == 0 && alone.out == "\r\nOK\r\n");
    std::vector<e2e::LogLine> aloneLines;
    std::string bad;
    ASSERT_TRUE(e2e::ParseLogLines(ReadLog(root / "alone"), aloneLines, bad)) << bad;
    std::multiset<std::string> oneRun;
    for (const e2e::LogLine& line : aloneLines) oneRun.insert(line.message);
    ASSERT_FALSE(oneRun.empty());

    fs::create_directories(root / "shared");
    const std::vector<std::string> env = e2e::EnvironmentWith({"PROGRAMDATA=" + (root / "shared").string()});
    const int runs = RunsPerLoop();
    std::vector<std::string> failures[kLoops + 1];
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> loops;
    for (int loop = 0; loop < kLoops; ++loop) {
        loops.emplace_back([&, loop] {
            for (int i = 0; i < runs; ++i) {
                const e2e::ChildRun run = e2e::RunChild({atcmd, "AT"}, env, kRunDeadline);
                if (run.killedAtDeadline || !run.exited || run.status != 0 || run.out != "\r\nOK\r\n")
                    failures[loop].push_back("run " + std::to_string(i) + ": status " + std::to_string(run.status) +
                                             (run.killedAtDeadline ? " (hung)" : "") + " " + run.err);
            }
        });
    }
    loops.emplace_back([&] {
        const e2e::ChildRun storm = e2e::RunChild(
            {(root / "bin" / "log_storm").string(), std::to_string(kStormThreads), std::to_string(kStormLines)}, env,
            kRunDeadline * 4);
        if (storm.killedAtDeadline || !storm.exited || storm.status != 0)
            failures[kLoops].push_back("log_storm: status " + std::to_string(storm.status) + " " + storm.err);
    });
    for (std::thread& loop : loops) loop.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (const auto& list : failures) {
        for (const std::string& failure : list) ADD_FAILURE() << failure;
    }

    std::vector<e2e::LogLine> lines;
    ASSERT_TRUE(e2e::ParseLogLines(ReadLog(root / "shared"), lines, bad)) << "torn or malformed line: " << bad;
    std::map<std::string, std::multiset<std::string>> byProcess;
    std::map<std::string, int> storm;
    for (const e2e::LogLine& line : lines) {
        if (line.message.rfind("storm ", 0) == 0)
            ++storm[line.message];
        else
            byProcess[line.pid].insert(line.message);
    }
    EXPECT_EQ(byProcess.size(), static_cast<size_t>(kLoops * runs)) << "runs whose lines are missing or mixed";
    for (const auto& [pid, messages] : byProcess) EXPECT_EQ(messages, oneRun) << "the lines of process " << pid;
    EXPECT_EQ(storm.size(), static_cast<size_t>(kStormThreads * kStormLines));
    for (const auto& [message, count] : storm) EXPECT_EQ(count, 1) << message;
    for (int t = 0; t < kStormThreads; ++t) {
        for (int n = 0; n < kStormLines; ++n)
            EXPECT_EQ(storm.count("storm t=" + std::to_string(t) + " n=" + std::to_string(n)), 1u);
    }
    std::cout << kLoops * runs << " runs of atcmd in " << seconds << " s (" << kLoops * runs / seconds
              << " runs/s) beside " << kStormThreads * kStormLines << " storm lines; " << lines.size()
              << " log lines checked\n";
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

}  // namespace
