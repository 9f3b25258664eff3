// atcmd --port end to end: the real program on a pseudo-terminal modem of the
// test's own (tests/support/pty_modem.h), named by its device path. What a
// user sees: the answer as the modem sent it, the reason on standard error
// and the status --exit-status gives, for each final result code, a slow
// modem, a modem that never ends its answer, echo, commands from standard
// input with an unsolicited line between them, and a port another program
// holds.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "pty_modem.h"
#include "run_folder.h"

#ifndef ATCMD_PATH
#error "ATCMD_PATH must name atcmd"
#endif

namespace {

using Outcome = e2e::ChildRun;

const std::chrono::milliseconds kRunDeadline(60000);

class AtcmdOverSerial : public e2e::RunFolderTest {
protected:
    AtcmdOverSerial() : RunFolderTest("atcmd-serial-", ATCMD_PATH) {}

    void SetUp() override { ASSERT_TRUE(modem.Start()); }

    Outcome Run(std::vector<std::string> arguments, const std::string& input = "") {
        std::vector<std::string> args{program.string(), "-p", modem.SlavePath()};
        args.insert(args.end(), arguments.begin(), arguments.end());
        const std::vector<std::string> env =
            e2e::EnvironmentWith({"PROGRAMDATA=" + (root / "appdata").string(), "GLOBALTOOLS_SERIAL_SHARED="});
        if (input.empty()) return e2e::RunChild(args, env, kRunDeadline);
        // Standard input through a shell pipe.
        std::string line = "printf '%s' \"$0\" | \"$1\"";
        for (size_t i = 1; i < args.size(); ++i) line += " \"$" + std::to_string(i + 1) + "\"";
        std::vector<std::string> shell{"/bin/sh", "-c", line, input};
        shell.insert(shell.end(), args.begin(), args.end());
        return e2e::RunChild(shell, env, kRunDeadline);
    }

    testsupport::PtyModem modem;
};

// Each final result code ends the read at once (well inside the 30 s wait):
// printed as it came, with the status it stands for.
TEST_F(AtcmdOverSerial, each_final_result_code_ends_the_answer) {
    const struct {
        std::string text;
        int status;
        std::string out;
    } rows[] = {
        {"OK", 0, "\r\nOK\r\n"},
        {"CONNECT 150000000", 0, "\r\nCONNECT 150000000\r\n"},
        {">", 0, "\r\n> "},
        {"ERROR", 1, "\r\nERROR\r\n"},
        {"+CME ERROR: 10", 1, "\r\n+CME ERROR: 10\r\n"},
        {"+CMS ERROR: 500", 1, "\r\n+CMS ERROR: 500\r\n"},
        {"NO CARRIER", 1, "\r\nNO CARRIER\r\n"},
        {"BUSY", 1, "\r\nBUSY\r\n"},
        {"NO ANSWER", 1, "\r\nNO ANSWER\r\n"},
        {"NO DIALTONE", 1, "\r\nNO DIALTONE\r\n"},
    };
    for (const auto& row : rows) {
        const Outcome run = Run({"-e", "-t", "30", "AT+SIMREPLY=" + row.text});
        EXPECT_EQ(row.status, run.status) << row.text;
        EXPECT_EQ(row.out, run.out) << row.text;
        EXPECT_EQ("", run.err) << row.text;
        EXPECT_LT(run.elapsedMs, 10000) << row.text << ": the read did not end at the final result";
    }
}

// A modem that answers after 3 s within a 5 s wait; one that never ends its
// answer; echo on, then off: -e looks past the echo.
TEST_F(AtcmdOverSerial, waits_echo_and_answers_without_an_end) {
    EXPECT_EQ(0, Run({"AT+SIMDELAY=3000"}).status);
    Outcome slow = Run({"-e", "-t", "5", "AT"});
    EXPECT_EQ(0, slow.status);
    EXPECT_EQ("\r\nOK\r\n", slow.out);
    // Two runs at once on the slow modem: the second waits for the first.
    Outcome first;
    std::thread other([&] { first = Run({"-e", "AT"}); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const Outcome second = Run({"-e", "AT"});
    other.join();
    EXPECT_EQ(0, first.status) << first.err;
    EXPECT_EQ(0, second.status) << second.err;
    EXPECT_EQ("\r\nOK\r\n", second.out);
    EXPECT_EQ(0, Run({"-t", "5", "AT+SIMDELAY=0"}).status);

    const Outcome endless = Run({"-e", "-t", "1", "AT+SIMDATA=5"});
    EXPECT_EQ(4, endless.status);
    EXPECT_EQ("abcde", endless.out);
    EXPECT_EQ("atcmd: no final result code within 1 s (-t sets the wait)\n", endless.err);

    EXPECT_EQ("\r\nOK\r\n", Run({"ATE1"}).out);
    const Outcome echoed = Run({"-e", "AT+SIMREPLY=ERROR"});
    EXPECT_EQ("AT+SIMREPLY=ERROR\r\r\nERROR\r\n", echoed.out);
    EXPECT_EQ(1, echoed.status);
    EXPECT_EQ("ATE0\r\r\nOK\r\n", Run({"ATE0"}).out);
    EXPECT_EQ("\r\nOK\r\n", Run({"AT"}).out);
}

// Three commands from standard input; a RING comes between the first and the
// second answer and is neither printed nor taken for the second answer.
TEST_F(AtcmdOverSerial, commands_from_standard_input_pass_an_unsolicited_line) {
    const Outcome run = Run({"-e", "-f", "-"}, "AT+SIMRING=2\nAT+SIMDELAY=300\nAT+SIMREPLY=ERROR\n");
    EXPECT_EQ("\r\nOK\r\n\r\nOK\r\n\r\nERROR\r\n", run.out);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("", run.err);
}

// A port another program holds open is refused with the program's name and
// process ID; --shared opens it all the same. The modem's own hold on its
// line does not count.
TEST_F(AtcmdOverSerial, a_port_another_program_holds_is_refused_unless_shared) {
    const pid_t holder = fork();
    if (holder == 0) {
        execl("/bin/sh", "sh", "-c", "exec sleep 30 <\"$0\"", modem.SlavePath().c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(holder, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const Outcome refused = Run({"-e", "AT"});
    const Outcome shared = Run({"-e", "--shared", "AT"});
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(3, refused.status);
    EXPECT_EQ("open fail", refused.out);
    EXPECT_NE(std::string::npos, refused.err.find("is open in sleep (process " + std::to_string(holder) + ")"))
        << refused.err;
    EXPECT_NE(std::string::npos, refused.err.find("--shared opens it anyway")) << refused.err;
    EXPECT_EQ(0, shared.status) << shared.err;
    EXPECT_EQ("\r\nOK\r\n", shared.out);
}

// Names that are no serial port: each a clear line and status 3, at once.
TEST_F(AtcmdOverSerial, names_that_are_no_serial_port) {
    for (const std::string& name :
         {std::string("/no/such/port"), std::string("/dev/null"), root.string(), std::string("COM999999")}) {
        const Outcome run = e2e::RunChild({program.string(), "-e", "-p", name, "AT"},
                                          e2e::EnvironmentWith({"PROGRAMDATA=" + (root / "appdata").string(),
                                                                "GLOBALTOOLS_DOSDEVICES=" + root.string()}),
                                          kRunDeadline);
        EXPECT_EQ(3, run.status) << name;
        EXPECT_EQ("open fail", run.out) << name;
        EXPECT_EQ(0u, run.err.rfind("atcmd: " + name + " is no serial port", 0)) << run.err;
        EXPECT_LT(run.elapsedMs, 5000) << name;
    }
}

}  // namespace
