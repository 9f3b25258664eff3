// Runs the real atcmd program as a separate process and checks what a user
// sees: its output streams and its exit status. The answers it prints for a
// command depend on the channel and the modem behind it, which the
// end-to-end tests cover; here only what holds for every channel is checked.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/tools/log/LogTestSupport.h"

#ifndef ATCMD_PATH
#error "ATCMD_PATH must name the atcmd program"
#endif

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

// std::system's result is the raw wait status on POSIX systems and the exit
// code itself on Windows.
int ExitCode(int status)
{
#if defined(WIFEXITED) && defined(WEXITSTATUS)
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#else
    return status;
#endif
}

class Atcmd : public ::testing::Test {
protected:
    // Runs atcmd with the given argument text (already quoted for the shell).
    Outcome Start(const std::string& arguments)
    {
        const std::string base = (std::filesystem::temp_directory_path() /
                                  ("atcmd-" + std::to_string(GetCurrentProcessId()))).generic_string();
        const std::string out = base + "-stdout.txt";
        const std::string err = base + "-stderr.txt";
        const std::string command =
            "\"" + std::string(ATCMD_PATH) + "\" " + arguments + " > \"" + out + "\" 2> \"" + err + "\"";
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

TEST_F(Atcmd, WithoutArgumentPrintsUsageAndExitsWithTwo)
{
    const Outcome run = Start("");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    ASSERT_FALSE(run.err.empty());
    EXPECT_EQ(run.err.rfind("usage: atcmd <AT command>", 0), 0u) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line only: " << run.err;
    if (appData.Redirected()) {
        // No component was created: none would have left its log folder.
        EXPECT_FALSE(logtest::Exists(logtest::WithBackslash(logtest::CommonAppData()) +
                                     "Quendra Driver Package"));
    }
}

TEST_F(Atcmd, ExitsWithZeroWhateverTheChannelAnswers)
{
    for (const char* arguments : {"AT", "\"\"", "AT+CSQ ignored extra"}) {
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
