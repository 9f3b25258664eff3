// atcmd end to end over real MBIM framing: the real program, choosing the
// libmbim module (GLOBALTOOLS_MBN_PROVIDER=mbim:<pty>), against an
// mbim-emulator of each test's own, directly and through an mbim-proxy the
// test starts (and stops). Standard output, the one-line reason on standard
// error and the shared log are what a user sees; every emulator fault gives
// the driver's own output and log lines.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "run_folder.h"
#include "emulator_processes.h"
#include "channel_test_support.h"

#if !defined(ATCMD_PATH) || !defined(MBNMBIM_PATH) || !defined(EMULATOR_PATH)
#error "ATCMD_PATH, MBNMBIM_PATH and EMULATOR_PATH must name the programs"
#endif

namespace fs = std::filesystem;

namespace {

const char kIdentification[] = "\r\nSimulated MBIM LTE modem - not a real device\r\n";

using Outcome = e2e::ChildRun;

const std::chrono::milliseconds kRunDeadline(60000);

class AtcmdOverMbim : public e2e::RunFolderTest {
protected:
    AtcmdOverMbim() : RunFolderTest("atcmd-mbim-", ATCMD_PATH) {}

    void SetUp() override {
        // Found beside the program, as in the build tree.
        fs::copy_file(MBNMBIM_PATH, root / "bin" / "mbnmbim.so", fs::copy_options::overwrite_existing);
        SetLogLevel(2);
    }

    // Runs the copy on the device (mode: GLOBALTOOLS_MBIM_PROXY), bounded:
    // a run still going after 60 s is killed and reported as status -1, as
    // is a run ended by a signal.
    Outcome Run(const std::string& command, const std::string& device, const char* mode, uid_t user = 0,
                const std::vector<std::string>& extra = {}) {
        return RunArgs({command}, device, mode, user, extra);
    }
    Outcome RunArgs(const std::vector<std::string>& arguments, const std::string& device, const char* mode,
                    uid_t user = 0, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> env(extra);
        for (char** e = environ; *e; ++e) {
            const std::string entry(*e);
            if (entry.rfind("PROGRAMDATA=", 0) != 0 && entry.rfind("GLOBALTOOLS_", 0) != 0) env.push_back(entry);
        }
        env.push_back("PROGRAMDATA=" + (root / "appdata").string());
        env.push_back("GLOBALTOOLS_MBN_PROVIDER=mbim:" + device);
        env.push_back(std::string("GLOBALTOOLS_MBIM_PROXY=") + mode);
        std::vector<std::string> args{program.string()};
        args.insert(args.end(), arguments.begin(), arguments.end());
        return e2e::RunChild(args, env, kRunDeadline, user);
    }

    static std::string Read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    std::vector<std::string> LogMessages() const { return mbimtest::LogMessages(Read(e2e::SharedLogOf(root))); }

    bool Logged(const std::string& message) const {
        for (const std::string& m : LogMessages())
            if (m == message) return true;
        return false;
    }

    std::string Dump() const {
        std::string out;
        for (const std::string& m : LogMessages()) out += "  | " + m + "\n";
        return out;
    }

    // Lets another user run the copy and write its log.
    void OpenToOthers() {
        fs::permissions(root, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
        fs::permissions(root / "bin", fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
        fs::permissions(root / "appdata", fs::perms::all, fs::perm_options::add);
    }

    // "open fail" printed, and a reason on standard error that says why.
    static void ExpectOpenFailBecause(const Outcome& run, const std::string& why) {
        EXPECT_EQ(0, run.status);
        EXPECT_EQ("open fail", run.out);
        EXPECT_NE(std::string::npos, run.err.find(why)) << run.err;
    }

    static void ExpectIdentification(const Outcome& run) {
        EXPECT_EQ(0, run.status);
        EXPECT_EQ(0u, run.out.rfind(kIdentification, 0)) << run.out << run.err;
        ASSERT_GE(run.out.size(), 6u);
        EXPECT_EQ("\r\nOK\r\n", run.out.substr(run.out.size() - 6));
    }
};

// Directly, and as root in auto mode when no proxy runs: then too the device
// is opened directly, and no mbim-proxy is left behind to hold it.
TEST_F(AtcmdOverMbim, ati_and_at_answer_through_libmbim_directly) {
    mbimtest::Emulator emulator(EMULATOR_PATH, {});
    ASSERT_FALSE(emulator.Path().empty());
    ExpectIdentification(Run("ATI", emulator.Path(), "never"));
    Outcome at = Run("AT", emulator.Path(), "never");
    EXPECT_EQ("\r\nOK\r\n", at.out);
    EXPECT_EQ("", at.err);
    if (geteuid() != 0 || mbimtest::ProxyListening()) return;
    ExpectIdentification(Run("ATI", emulator.Path(), "auto"));
    EXPECT_FALSE(mbimtest::ProxyListening()) << "the run left an mbim-proxy behind";
}

// The options over real MBIM framing: the port named by its device path,
// listed with its interface ID, model and ready state, and commands from a
// file through the one open device, each answer in turn.
TEST_F(AtcmdOverMbim, options_reach_the_modem_by_its_device_path) {
    mbimtest::Emulator emulator(EMULATOR_PATH, {});
    ASSERT_FALSE(emulator.Path().empty());
    const Outcome list = RunArgs({"-l", "-d", emulator.Path()}, "/dev/null-no-such-port", "never");
    EXPECT_TRUE(std::regex_match(list.out, std::regex("\\{[0-9A-F-]{36}\\}\t-\tMBIM AT Simulator\tinitialized\n")))
        << list.out << list.err;
    const fs::path commands = root / "commands.txt";
    std::ofstream(commands) << "AT+CGMR\nAT+NOSUCH\nAT\n";
    const Outcome run = RunArgs(
        {"-e", "-t", "2", "-s", "FFFFFFFF-ABCA-4B11-A4E2-F2FC87F94488", "-d", emulator.Path(), "-f", commands.string()},
        "/dev/null", "never");
    EXPECT_EQ("\r\nSIM 1.0\r\n\r\nOK\r\n\r\nERROR\r\n\r\nOK\r\n", run.out) << run.err;
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("", run.err);
}

// Runs at once on one device, directly, each with its own command: every
// run waits its turn on the port and prints its own command's answer.
TEST_F(AtcmdOverMbim, parallel_direct_runs_each_print_their_own_answer) {
    mbimtest::Emulator emulator(EMULATOR_PATH, {});
    ASSERT_FALSE(emulator.Path().empty());
    const std::vector<std::string> commands{"ATI", "AT+CGSN", "AT+CGMR", "AT+CGMI"};
    std::vector<std::string> answers;
    for (const std::string& command : commands) answers.push_back(Run(command, emulator.Path(), "never").out);
    for (size_t i = 0; i < answers.size(); ++i) {
        ASSERT_NE(std::string::npos, answers[i].find("OK")) << commands[i] << ": " << answers[i];
        for (size_t j = 0; j < i; ++j) ASSERT_NE(answers[j], answers[i]) << commands[j] << " and " << commands[i];
    }
    std::vector<Outcome> runs(16);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < runs.size(); ++i)
        threads.emplace_back([&, i] { runs[i] = Run(commands[i % commands.size()], emulator.Path(), "never"); });
    for (std::thread& t : threads) t.join();
    for (size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(answers[i % commands.size()], runs[i].out) << "run " << i << ", " << commands[i % commands.size()];
        EXPECT_EQ("", runs[i].err) << "run " << i;
    }
}

// A run that gave up on a slow command leaves its answer to come later; the
// next run on the device never takes that answer for its own.
TEST_F(AtcmdOverMbim, a_late_answer_to_an_earlier_run_is_not_the_next_runs_answer) {
    mbimtest::Emulator emulator(EMULATOR_PATH, {"--delay", "7000"});
    ASSERT_FALSE(emulator.Path().empty());
    const Outcome first = Run("AT+CGSN", emulator.Path(), "never");
    EXPECT_EQ("", first.out);
    const Outcome second = Run("ATI", emulator.Path(), "never");
    EXPECT_EQ("", second.out) << "the earlier run's answer was taken";
    EXPECT_TRUE(Logged("[Fail] Wait SetCommand Fail ")) << Dump();
}

// A second client of the proxy, standing for ModemManager, keeps being
// answered while atcmd runs beside it.
TEST_F(AtcmdOverMbim, ati_and_at_answer_through_mbim_proxy_beside_another_client) {
    mbimtest::Proxy proxy;
    if (!proxy.Usable()) GTEST_SKIP() << proxy.Why();
    mbimtest::Emulator emulator(EMULATOR_PATH, {});
    ASSERT_FALSE(emulator.Path().empty());

    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::atomic<int> failed{0};
    std::thread other([&] {
        while (!stop) {
            const std::string command = "mbimcli -p -d " + emulator.Path() +
                                        " --query-device-caps 2>&1 | grep -q 'Device capabilities retrieved'";
            (std::system(command.c_str()) == 0 ? answered : failed)++;
        }
    });
    ExpectIdentification(Run("ATI", emulator.Path(), "auto"));
    EXPECT_EQ("\r\nOK\r\n", Run("AT", emulator.Path(), "always").out);
    ExpectIdentification(Run("ATI", emulator.Path(), "always"));
    stop = true;
    other.join();
    EXPECT_GE(answered.load(), 1);
    EXPECT_EQ(0, failed.load());
}

TEST_F(AtcmdOverMbim, each_device_fault_gives_the_drivers_output_and_log_line) {
    const std::string tooLong(5000, 'A');
    const struct {
        std::vector<std::string> switches;
        std::string command;
        std::string out;     // "ATI" stands for the identification
        std::string logged;  // empty: nothing to look for
        std::string reason;  // on standard error; empty: nothing there
        // clang-format off
    } rows[] = {
        {{"--status", "3"}, "ATI", "", "[Fail]OnSetCommandComplete but Fail! Return state 0x8054820a", ""},
        {{"--status", "1"}, "ATI", "", "[Fail]OnSetCommandComplete but Fail! Return state 0x800700aa", ""},
        {{"--remove-after", "1"}, "ATI", "", "[Fail]OnSetCommandComplete but Fail! Return state 0x8007048f", ""},
        {{"--silent"}, "ATI", "", "[Fail] Wait SetCommand Fail ", ""},
        {{"--wrong-tid"}, "ATI", "", "[Fail] Wait SetCommand Fail ", ""},
        {{"--wrong-service"}, "ATI", "", "[Fail]OnSetCommandComplete but Fail! Return state 0x8007000d", ""},
        {{"--wrong-cid"}, "ATI", "", "[Fail]OnSetCommandComplete but Fail! Return state 0x8007000d", ""},
        {{"--truncate"}, "ATI", "", "[Fail] Wait SetCommand Fail ", ""},
        {{"--truncate", "--fragment", "30"}, "ATI", "", "[Fail]OnSetCommandComplete but Fail! Return state 0x80004005", ""},
        {{"--silent-open"}, "ATI", "open fail", "[error]Open() failed: IID_IMbnInterfaceManager",
         "no answer to OPEN"},
        {{"--unsolicited-error"}, "ATI", "", "[Fail]OnSetCommandComplete but Fail! Return state 0x80070015", ""},
        {{"--indicate-first"}, "ATI", "ATI", "", ""},
        {{"--fragment", "30"}, "ATI", "ATI", "", ""},
        {{}, tooLong, "", "[Fail]SendData(): SetCommand hr = 0x80070057", ""},
    };
    // clang-format on
    int row = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE("row " + std::to_string(++row));
        fs::remove_all(root / "appdata" / "Quendra Driver Package");
        mbimtest::Emulator emulator(EMULATOR_PATH, r.switches);
        ASSERT_FALSE(emulator.Path().empty());
        Outcome run = Run(r.command, emulator.Path(), "never");
        EXPECT_EQ(0, run.status);
        if (r.out == "ATI") {
            ExpectIdentification(run);
        } else {
            EXPECT_EQ(r.out, run.out);
        }
        if (!r.logged.empty()) {
            EXPECT_TRUE(Logged(r.logged)) << r.logged << "\n" << Dump();
        }
        if (r.reason.empty()) {
            EXPECT_EQ("", run.err);
        } else {
            EXPECT_NE(std::string::npos, run.err.find(r.reason)) << run.err;
        }
    }
}

TEST_F(AtcmdOverMbim, a_path_that_is_no_mbim_device_prints_open_fail_and_why) {
    std::ofstream(root / "plain-file") << "x";
    const struct {
        std::string path;
        std::string reason;
    } rows[] = {
        {(root / "missing").string(), "No such file or directory"},
        {(root / "plain-file").string(), "not a character device"},
        {root.string(), "not a character device"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.path);
        fs::remove_all(root / "appdata" / "Quendra Driver Package");
        Outcome run = Run("AT", r.path, "never");
        ExpectOpenFailBecause(run, r.reason);
        EXPECT_TRUE(Logged("[error]Open() failed: IID_IMbnInterfaceManager")) << Dump();
        EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
    }
}

// A user who may not open the device (the emulator's pty belongs to root),
// then a device another program holds exclusively (as a WWAN port is held):
// each says why.
TEST_F(AtcmdOverMbim, an_unreadable_or_busy_device_prints_open_fail_and_why) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run atcmd as another user";
    mbimtest::Emulator emulator(EMULATOR_PATH, {});
    OpenToOthers();
    Outcome run = Run("AT", emulator.Path(), "never", 65534);
    ExpectOpenFailBecause(run, "Permission denied");

    ASSERT_EQ(0, chmod(emulator.Path().c_str(), 0666));
    const int holder = open(emulator.Path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(0, ioctl(holder, TIOCEXCL));  // further opens fail with EBUSY
    run = Run("AT", emulator.Path(), "never", 65534);
    close(holder);
    ExpectOpenFailBecause(run, "another program has it open");
}

// Through the proxy, a device that refuses the subscription list sends no
// indications but still answers commands.
TEST_F(AtcmdOverMbim, a_refused_subscription_still_lets_commands_through_the_proxy) {
    mbimtest::Proxy proxy;
    if (!proxy.Usable()) GTEST_SKIP() << proxy.Why();
    mbimtest::Emulator emulator(EMULATOR_PATH, {"--refuse-subscribe"});
    ExpectIdentification(Run("ATI", emulator.Path(), "auto"));
}

// Without root, a running proxy means the device is shared: opening it
// directly would steal the proxy's replies, so atcmd refuses.
TEST_F(AtcmdOverMbim, without_root_a_running_proxy_is_refused_with_a_reason) {
    mbimtest::Proxy proxy;
    if (!proxy.Usable()) GTEST_SKIP() << proxy.Why();
    mbimtest::Emulator emulator(EMULATOR_PATH, {});
    OpenToOthers();
    Outcome run = Run("AT", emulator.Path(), "auto", 65534);
    ExpectOpenFailBecause(run, "mbim-proxy");
}

}  // namespace
