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

TEST_F(Atcmd, exits_with_zero_whatever_the_channel_answers) {
    // Only the exact option words are options: near misses go to the modem.
    for (const char* arguments :
         {"AT", "\"\"", "AT+CSQ ignored extra", "-H", "--help=x", "-help", "--Version", "\"-h \""}) {
        SCOPED_TRACE(arguments);
        const Outcome run = Start(arguments);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "") << "atcmd reports failures in its log only";
        EXPECT_EQ(run.out.find("usage"), std::string::npos) << run.out;
        // "open fail" is printed alone, without a line break of its own.
        if (run.out.find("open fail") != std::string::npos) {
            EXPECT_EQ(run.out, "open fail");
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
