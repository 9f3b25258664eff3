// Runs the real atcmd program as a separate process and checks what a user
// sees: its output streams and its exit status. The answers it prints for a
// command depend on the channel and the modem behind it, which the
// end-to-end tests cover; here only what holds for every channel is checked.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "log_test_support.h"

#ifndef ATCMD_RELATIVE_PATH
#error "ATCMD_RELATIVE_PATH must lead from this test program's folder to atcmd"
#endif

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

// std::system's result is the raw wait status on POSIX systems and the exit
// code itself on Windows.
int ExitCode(int status) {
#if defined(WIFEXITED) && defined(WEXITSTATUS)
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#else
    return status;
#endif
}

// The system's own separators: '\\' on Windows, where cmd.exe reads '/' as
// an option, and '/' elsewhere.
std::string Native(const std::string& path) { return std::filesystem::path(path).make_preferred().string(); }

class Atcmd : public ::testing::Test {
protected:
    // Runs atcmd with the given argument text (already quoted for the shell).
    // Paths are left unquoted: cmd.exe strips the outer quotes of a command
    // line that holds more than two, and build folders have no blanks.
    Outcome Start(const std::string& arguments) {
        const std::string here = logtest::Slashed(logtest::ExeFolder());
        const std::string base = here + "atcmd-" + std::to_string(GetCurrentProcessId());
        const std::string out = base + "-stdout.txt";
        const std::string err = base + "-stderr.txt";
        const std::string command =
            Native(here + ATCMD_RELATIVE_PATH) + " " + arguments + " > " + Native(out) + " 2> " + Native(err);
        Outcome run;
        run.status = ExitCode(std::system(command.c_str()));
        run.out = logtest::ReadAll(out);
        run.err = logtest::ReadAll(err);
        logtest::RemoveAll(out);
        logtest::RemoveAll(err);
        return run;
    }

    logtest::AppDataFolder appData;
};

}  // namespace

TEST_F(Atcmd, without_argument_prints_usage_and_exits_with_two) {
    const Outcome run = Start("");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    ASSERT_FALSE(run.err.empty());
    EXPECT_EQ(run.err.rfind("usage: atcmd <AT command>", 0), 0u) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line only: " << run.err;
    if (appData.Redirected()) {
        // No component was created: none would have left its log folder.
        EXPECT_FALSE(logtest::Exists(logtest::WithBackslash(logtest::CommonAppData()) + "Quendra Driver Package"));
    }
}

// The plain form sends its first argument, whatever it holds, and exits with
// 0. A first argument that begins with '-' starts options; a command line
// that cannot be used is refused with one line on standard error and 2,
// before any channel is made.
TEST_F(Atcmd, command_lines_and_their_exit_status) {
    const struct {
        const char* arguments;
        int status;
        const char* err;  // the start of standard error
    } rows[] = {
        {"AT", 0, ""},
        {"\"\"", 0, ""},
        {"AT+CSQ ignored extra", 0, ""},
        {"-t 2.5 --service={FFFFFFFF-ABCA-4B11-A4E2-F2FC87F94488} -- AT", 0, ""},
        {"-H", 2, "atcmd: unknown option -H"},
        {"--help=x", 2, "atcmd: --help takes no value"},
        {"--Version", 2, "atcmd: unknown option --Version"},
        {"-t 0 AT", 2, "atcmd: --timeout takes seconds above 0 and at most 600, not '0'"},
        {"--timeout=601 AT", 2, "atcmd: --timeout takes seconds"},
        {"-t1e9 AT", 2, "atcmd: --timeout takes seconds"},
        {"-t -5 AT", 2, "atcmd: --timeout takes seconds"},
        {"-t", 2, "atcmd: --timeout needs a value"},
        {"-s ffffffff-abca-4b11-a4e2 AT", 2, "atcmd: --service takes a UUID"},
        {"-e", 2, "atcmd: no AT command"},
        {"-e AT ATI", 2, "atcmd: one AT command at a time"},
        {"-l AT", 2, "atcmd: give one of an AT command, --file and --list"},
        {"-f no-such-file", 2, "atcmd: cannot read no-such-file"},
        {"--shared AT", 2, "atcmd: --shared goes with --port"},
        {"-p COM3 -s ffffffff-abca-4b11-a4e2-f2fc87f94488 AT", 2, "atcmd: --port goes with neither"},
        {"--probe-ports AT", 2, "atcmd: --probe-ports goes with --list"},
        {"-e -p COM999999 AT", 3, "atcmd: COM999999 is no serial port"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.arguments);
        const Outcome run = Start(row.arguments);
        EXPECT_EQ(run.status, row.status);
        EXPECT_EQ(run.err.rfind(row.err, 0), 0u) << run.err;
        EXPECT_EQ(run.out.find("usage"), std::string::npos) << run.out;
        if (row.status != 0) {
            EXPECT_EQ(run.out, row.status == 2 ? "" : "open fail");
            EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line only: " << run.err;
        } else if (run.out.find("open fail") != std::string::npos) {
            // Printed alone, without a line break of its own; with options
            // the reason follows on standard error.
            EXPECT_EQ(run.out, "open fail");
            const bool options = row.arguments[0] == '-';
            EXPECT_EQ(options ? 0u : std::string::npos, run.err.rfind("atcmd: ", 0)) << run.err;
        } else {
            EXPECT_EQ(run.err, "") << "failures show in the log only";
        }
    }
}

TEST_F(Atcmd, help_and_version_go_to_standard_output_with_zero) {
    struct Row {
        const char* arguments;
        const char* firstLine;
    };
    const Row rows[] = {
        {"-h", "usage: atcmd <AT command>"},
        {"--help", "usage: atcmd <AT command>"},
        {"--help AT", "usage: atcmd <AT command>"},
        {"--version", "atcmd " GLOBALTOOLS_VERSION},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.arguments);
        const Outcome run = Start(row.arguments);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        // The line ends as the system's text mode writes it.
        const std::string first = run.out.substr(0, run.out.find_first_of("\r\n"));
        EXPECT_EQ(first, row.firstLine) << run.out;
        ASSERT_FALSE(run.out.empty());
        EXPECT_EQ(run.out.back(), '\n') << run.out;
        if (appData.Redirected()) {
            // Nothing was sent: no component was created to make its log folder.
            EXPECT_FALSE(logtest::Exists(logtest::WithBackslash(logtest::CommonAppData()) + "Quendra Driver Package"));
        }
    }
}
