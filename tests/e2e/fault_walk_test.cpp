// atcmd against failing platform calls and late completions, as whole
// program runs. The walk makes the 1st platform call on the road of
// `atcmd AT` fail (GLOBALTOOLS_FAULT=1), then the 2nd, and so on until a run
// meets no injected failure. Every run must end before its deadline, exit 0
// (under the sanitizers that also means no leak and no race was reported),
// print the answer, "open fail" or nothing, log the failure it met unless it
// was the log's own, and leave only whole, well-formed log lines.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "child_process.h"
#include "log_lines.h"
#include "run_folder.h"

#ifndef ATCMD_PATH
#error "ATCMD_PATH must name the atcmd program"
#endif

namespace fs = std::filesystem;

namespace {

// The bounds of one request: the waits for the session to open, for the
// response and for the session to close (5000 ms each) and the callback's
// wait for the request ID (12288 ms), with 5 s to start and end a sanitized
// program on a busy machine.
const std::chrono::milliseconds kRunDeadline(3 * 5000 + 12288 + 5000);

class AtcmdUnderFaults : public e2e::RunFolderTest {
protected:
    AtcmdUnderFaults() : RunFolderTest("atcmd-faults-", ATCMD_PATH) { SetLogLevel(2); }

    // One run with a fresh log; the log's lines go to lines.
    e2e::ChildRun Run(const std::vector<std::string>& environment, std::vector<e2e::LogLine>& lines) {
        fs::remove_all(root / "appdata");
        fs::create_directories(root / "appdata");
        std::vector<std::string> env = environment;
        env.push_back("PROGRAMDATA=" + (root / "appdata").string());
        e2e::ChildRun run = e2e::RunChild({program.string(), "AT"}, e2e::EnvironmentWith(env), kRunDeadline);
        std::ifstream in(e2e::SharedLogOf(root), std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string bad;
        EXPECT_TRUE(e2e::ParseLogLines(text, lines, bad)) << "torn or malformed log line: " << bad;
        return run;
    }

    static bool LoggedFailure(const std::vector<e2e::LogLine>& lines) {
        for (const e2e::LogLine& line : lines) {
            if (line.message.rfind("[error]", 0) == 0 || line.message.rfind("[Fail]", 0) == 0) return true;
        }
        return false;
    }
};

TEST_F(AtcmdUnderFaults, every_platform_call_on_the_road_fails_in_turn) {
    const std::string answer = "\r\nOK\r\n";
    unsigned long k = 1;
    for (;; ++k) {
        ASSERT_LT(k, 500u) << "the walk does not end";
        std::vector<e2e::LogLine> lines;
        const e2e::ChildRun run = Run({"GLOBALTOOLS_FAULT=" + std::to_string(k)}, lines);
        const std::string where = "GLOBALTOOLS_FAULT=" + std::to_string(k) + " (" + run.err + ")";
        ASSERT_FALSE(run.killedAtDeadline) << where;
        ASSERT_TRUE(run.exited && run.status == 0) << where << " status " << run.status;
        // Other notes may share standard error: the fault's line is looked for.
        const bool injected = run.err.find("fault injected: ") != std::string::npos;
        if (!injected) {
            EXPECT_EQ(run.out, answer) << where;
            break;
        }
        const bool logFault =
            run.err.find("_fsopen") != std::string::npos || run.err.find("CreateDirectoryA") != std::string::npos;
        if (logFault) {
            // The log is not the request's business: the answer still comes.
            EXPECT_EQ(run.out, answer) << where;
        } else {
            EXPECT_TRUE(run.out == answer || run.out == "open fail" || run.out.empty())
                << where << " printed " << run.out;
            if (run.out != answer) {
                EXPECT_TRUE(LoggedFailure(lines)) << where << ": a failure that left no trace";
            }
        }
    }
    std::cout << "walked " << k - 1 << " injection points on the road of atcmd AT\n";
}

// Faults whose outcome the design names: the answer printed and the line
// logged. The n-th call of a named point (GLOBALTOOLS_FAULT=<name>:<n>).
TEST_F(AtcmdUnderFaults, named_faults_give_the_specified_answer_and_log_line) {
    const struct {
        std::string fault;
        std::string out;
        std::string logged;
    } rows[] = {
        {"CoInitializeEx:1", "open fail", "[error]Open() COM Initialize failed"},
        {"CoCreateInstance:1", "open fail", "[error]Open() failed: IID_IMbnInterfaceManager"},
        {"CoCreateInstance:2", "open fail", "[error]Open() failed: IID_IMbnDeviceServicesManager"},
        // The service's list of interfaces, then the command's bytes.
        {"SafeArrayCreate:1", "", "[error]GetFirstInterface(): GetInterfaces hr=0x8007000e"},
        {"SafeArrayCreate:2", "", "[?]CharBufferToSafeArray(): NULL == psa "},
        {"SafeArrayAccessData:1", "", "[Fail]SendData(): SetCommand hr = 0x8000ffff"},
    };
    for (const auto& row : rows) {
        std::vector<e2e::LogLine> lines;
        const e2e::ChildRun run = Run({"GLOBALTOOLS_FAULT=" + row.fault}, lines);
        ASSERT_FALSE(run.killedAtDeadline) << row.fault;
        EXPECT_TRUE(run.exited && run.status == 0) << row.fault << " status " << run.status;
        EXPECT_NE(run.err.find("fault injected: " + row.fault.substr(0, row.fault.find(':')) + " #"), std::string::npos)
            << run.err;
        EXPECT_EQ(run.out, row.out) << row.fault;
        bool found = false;
        for (const e2e::LogLine& line : lines) found = found || line.message == row.logged;
        EXPECT_TRUE(found) << row.fault << ": no \"" << row.logged << "\"";
    }
}

// The worst case the design allows: each completion arrives just after the
// wait for it has given up (the session's a second inside its bound, so the
// request goes on to the longest road even on a loaded machine). A delay
// runs from the request and its wait from a little later, so half a second
// keeps "after" true there too. The run must still end within its bounds,
// report the failure and leave the log whole.
TEST_F(AtcmdUnderFaults, late_completions_end_within_the_sum_of_the_bounds) {
    const struct {
        std::string delays;
        std::string logged;
    } rows[] = {
        {"MBNSIM_DELAY=5500", "[error] GetSessionRlt Fail"},
        {"MBNSIM_DELAY=OpenCommandSession:4000,SetCommand:5500,CloseCommandSession:5500",
         "[Fail] Wait SetCommand Fail "},
    };
    for (const auto& row : rows) {
        std::vector<e2e::LogLine> lines;
        const e2e::ChildRun run = Run({row.delays}, lines);
        ASSERT_FALSE(run.killedAtDeadline) << row.delays;
        EXPECT_TRUE(run.exited && run.status == 0) << row.delays << " status " << run.status;
        EXPECT_EQ(run.out, "") << row.delays;
        bool found = false;
        for (const e2e::LogLine& line : lines) found = found || line.message == row.logged;
        EXPECT_TRUE(found) << row.delays << ": no \"" << row.logged << "\"";
        std::cout << row.delays << ": ended after " << run.elapsedMs << " ms\n";
    }
}

}  // namespace
