// atcmd end to end: the real program, started as its own process against the
// simulated Mobile Broadband service it links on POSIX. Each test gives it a
// folder of its own (a copy of the program, with or without kvconfig.ini
// beside it) and a common application-data folder of its own, then checks
// standard output, the exit status and the shared log.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "child_process.h"
#include "run_folder.h"
#include "channel_test_support.h"

#ifndef ATCMD_PATH
#error "ATCMD_PATH must name the atcmd program"
#endif

namespace fs = std::filesystem;

namespace {

using Outcome = e2e::ChildRun;

// No run of atcmd here needs more than a few seconds.
const std::chrono::milliseconds kRunDeadline(60000);

class AtcmdEndToEnd : public e2e::RunFolderTest {
protected:
    AtcmdEndToEnd() : RunFolderTest("atcmd-e2e-", ATCMD_PATH) {}

    // Runs the copy with the given arguments and extra environment entries;
    // the child gets PROGRAMDATA pointing at this test's folder and, unless
    // the entries say otherwise, an empty sysfs tree (no MBIM modem) and the
    // simulated modem, not the caller's environment's choice.
    Outcome Run(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {}) {
        const std::vector<std::string> defaults{
            "PROGRAMDATA=" + (root / "appdata").string(),
            "GLOBALTOOLS_SYSFS_ROOT=" + (root / "sys").string(),
            "GLOBALTOOLS_MBN_PROVIDER=simulator",
        };
        std::vector<std::string> entries = environment;
        for (const std::string& d : defaults) {
            const std::string key = d.substr(0, d.find('=') + 1);
            bool named = false;
            for (const std::string& e : environment) named = named || e.rfind(key, 0) == 0;
            if (!named) entries.push_back(d);
        }
        std::vector<std::string> args{program.string()};
        args.insert(args.end(), arguments.begin(), arguments.end());
        return e2e::RunChild(args, e2e::EnvironmentWith(entries), kRunDeadline);
    }

    std::vector<std::string> LogMessages() const {
        std::ifstream in(e2e::SharedLogOf(root), std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return mbimtest::LogMessages(text);
    }

    static bool Has(const std::vector<std::string>& messages, const std::string& message) {
        for (const std::string& m : messages) {
            if (m == message) return true;
        }
        return false;
    }

    static std::string Dump(const std::vector<std::string>& messages) {
        std::string out;
        for (const std::string& m : messages) out += "  | " + m + "\n";
        return out;
    }
};

TEST_F(AtcmdEndToEnd, at_prints_ok) {
    Outcome run = Run({"AT"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("\r\nOK\r\n", run.out);
}

TEST_F(AtcmdEndToEnd, ati_prints_the_simulated_identification) {
    Outcome run = Run({"ATI"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(0u, run.out.rfind("\r\nSimulated MBIM LTE modem - not a real device\r\n", 0)) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("\r\nManufacturer: ")) << run.out;
    ASSERT_GE(run.out.size(), 6u);
    EXPECT_EQ("\r\nOK\r\n", run.out.substr(run.out.size() - 6)) << run.out;
}

TEST_F(AtcmdEndToEnd, unknown_command_prints_error) {
    Outcome run = Run({"AT+NOSUCHTHING"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("\r\nERROR\r\n", run.out);
}

TEST_F(AtcmdEndToEnd, only_the_first_argument_is_sent) {
    Outcome run = Run({"AT", "+NOSUCHTHING"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("\r\nOK\r\n", run.out);
}

TEST_F(AtcmdEndToEnd, without_an_ini_file_nothing_is_logged) {
    Outcome run = Run({"AT"});
    EXPECT_EQ(0, run.status);
    EXPECT_TRUE(LogMessages().empty()) << Dump(LogMessages());
}

TEST_F(AtcmdEndToEnd, log_level_2_records_the_road_of_the_request) {
    SetLogLevel(2);
    Outcome run = Run({"AT"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("\r\nOK\r\n", run.out);

    std::vector<std::string> log = LogMessages();
    const char* const road[] = {
        "[?]SendData(): FALSE == IsCommandSessionOpened", "[Success] Open Session Success",
        "[Success] OpenSession success hr = 0x0",         "[success] Get At Response Success. Length 6",
        "[success]Get Command Response success ",
    };
    size_t next = 0;
    for (const char* line : road) {
        size_t i = next;
        while (i < log.size() && log[i] != line) ++i;
        EXPECT_LT(i, log.size()) << "missing or out of order: " << line << "\n" << Dump(log);
        if (i < log.size()) next = i + 1;
    }
    bool setCommand = false;
    bool completion = false;
    for (const std::string& m : log) {
        setCommand = setCommand || m.rfind("[success]SetCommand success. Request Id is ", 0) == 0;
        completion = completion || m.rfind("[Success] OnSetCommandComplete called! Request id is ", 0) == 0;
    }
    EXPECT_TRUE(setCommand) << Dump(log);
    EXPECT_TRUE(completion) << Dump(log);
    // A successful run logs no failure.
    for (const std::string& m : log) {
        EXPECT_EQ(std::string::npos, m.find("[error]")) << m;
        EXPECT_EQ(std::string::npos, m.find("[Fail]")) << m;
    }
}

TEST_F(AtcmdEndToEnd, log_level_0_keeps_only_failures_and_session_lines) {
    SetLogLevel(0);
    Outcome run = Run({"AT"});
    EXPECT_EQ(0, run.status);
    std::vector<std::string> log = LogMessages();
    EXPECT_TRUE(Has(log, "[Success] Open Session Success")) << Dump(log);
    EXPECT_FALSE(Has(log, "[Success] OpenSession success hr = 0x0")) << Dump(log);
}

TEST_F(AtcmdEndToEnd, a_fault_at_open_prints_open_fail_and_logs_it) {
    SetLogLevel(2);
    const struct {
        const char* fault;
        const char* logged;
    } rows[] = {
        {"MBNSIM_FAIL=CreateInterfaceManager:80040154", "[error]Open() failed: IID_IMbnInterfaceManager"},
        {"MBNSIM_FAIL=CreateDeviceServicesManager", "[error]Open() failed: IID_IMbnDeviceServicesManager"},
        {"MBNSIM_FAIL=Advise:80040202", "[error]Open() failed: IID_IMbnDeviceServicesEventsp hResult = 80040202"},
    };
    for (const auto& row : rows) {
        Outcome run = Run({"AT"}, {row.fault});
        EXPECT_EQ(0, run.status) << row.fault;
        EXPECT_EQ("open fail", run.out) << row.fault;
        EXPECT_TRUE(Has(LogMessages(), row.logged)) << row.fault << "\n" << Dump(LogMessages());
    }
}

TEST_F(AtcmdEndToEnd, no_modem_prints_nothing_and_logs_why) {
    SetLogLevel(0);
    Outcome run = Run({"AT"}, {"MBNSIM_NO_MODEM=1"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.out);
    std::vector<std::string> log = LogMessages();
    EXPECT_TRUE(Has(log, "[error]GetFirstInterface() error! pMbnInterface == NULL")) << Dump(log);
    EXPECT_TRUE(Has(log, "[Fail]OpenSession Fail hr = 0x80004005")) << Dump(log);
}

TEST_F(AtcmdEndToEnd, provider_choice_and_its_failures) {
    SetLogLevel(0);
    // A sysfs tree with one cdc_mbim port, for the auto rows that find a modem.
    const fs::path withPort = root / "sys-with-port";
    fs::create_directories(withPort / "class/usbmisc/cdc-wdm0/device");
    fs::create_directories(withPort / "bus/usb/drivers/cdc_mbim");
    fs::create_directory_symlink(withPort / "bus/usb/drivers/cdc_mbim",
                                 withPort / "class/usbmisc/cdc-wdm0/device/driver");
    const fs::path missingModule = root / "no-such-module.so";
    const std::string useMissingModule = "GLOBALTOOLS_MBIM_MODULE=" + missingModule.string();
    const std::string noModem =
        "atcmd: no MBIM modem found (no cdc_mbim or WWAN MBIM control port); GLOBALTOOLS_MBN_PROVIDER=simulator "
        "chooses the simulated modem\n";
    const std::string badChoice =
        "atcmd: GLOBALTOOLS_MBN_PROVIDER must be auto, simulator, mbim or mbim:<device path>\n";
    const std::string noModule = "atcmd: cannot load the MBIM provider " + missingModule.string() + "\n";

    const struct {
        std::vector<std::string> environment;
        std::string out;
        std::string err;
    } rows[] = {
        {{"GLOBALTOOLS_MBN_PROVIDER=auto"}, "open fail", noModem},
        {{"GLOBALTOOLS_MBN_PROVIDER="}, "open fail", noModem},
        {{"GLOBALTOOLS_MBN_PROVIDER=simulator"}, "\r\nOK\r\n", ""},
        {{"GLOBALTOOLS_MBN_PROVIDER=mbim"}, "open fail", "atcmd: no MBIM control port found (cdc_mbim or WWAN MBIM)\n"},
        {{"GLOBALTOOLS_MBN_PROVIDER=mbim:"}, "open fail", badChoice},
        {{"GLOBALTOOLS_MBN_PROVIDER=Simulator"}, "open fail", badChoice},
        {{"GLOBALTOOLS_MBN_PROVIDER=mbim:/dev/cdc-wdm9", useMissingModule}, "open fail", noModule},
        {{"GLOBALTOOLS_MBN_PROVIDER=auto", "GLOBALTOOLS_SYSFS_ROOT=" + withPort.string(), useMissingModule},
         "open fail",
         noModule},
    };
    for (const auto& row : rows) {
        const std::string what = ::testing::PrintToString(row.environment);
        fs::remove(e2e::SharedLogOf(root));
        Outcome run = Run({"AT"}, row.environment);
        EXPECT_EQ(0, run.status) << what;
        EXPECT_EQ(row.out, run.out) << what;
        EXPECT_EQ(row.err, run.err) << what;
        if (row.out == "open fail") {
            EXPECT_TRUE(Has(LogMessages(), "[error]Open() failed: IID_IMbnInterfaceManager")) << what << "\n"
                                                                                              << Dump(LogMessages());
        }
    }
}

// The options against the simulated modem: what each prints, the one-line
// reason on standard error, and the status --exit-status gives.
TEST_F(AtcmdEndToEnd, options_and_the_exit_status_they_give) {
    const std::string tooLong = "AT" + std::string(5000, 'E');
    const std::string identification = "\r\nSimulated MBIM LTE modem - not a real device\r\n";
    const struct {
        std::vector<std::string> arguments;
        std::vector<std::string> environment;
        std::string out;  // the start of standard output
        int status;
        std::string err;  // a part of standard error; empty: nothing there
    } rows[] = {
        {{"-e", "AT"}, {}, "\r\nOK\r\n", 0, ""},
        {{"-e", "AT+NOSUCH"}, {}, "\r\nERROR\r\n", 1, ""},
        {{"AT+NOSUCH"}, {}, "\r\nERROR\r\n", 0, ""},
        {{"--exit-status", "--timeout=3", "ATI"}, {"MBNSIM_DELAY=SetCommand:1500"}, identification, 0, ""},
        {{"-et", "0.5", "ATI"}, {"MBNSIM_DELAY=SetCommand:3000"}, "", 4, "atcmd: no answer within 0.5 s"},
        {{"-t", "0.5", "ATI"}, {"MBNSIM_DELAY=SetCommand:3000"}, "", 0, "atcmd: no answer within 0.5 s"},
        {{"-e", tooLong}, {}, "", 2, "the command is 5004 bytes with its CR LF; the modem takes fewer than 4096"},
        {{"-e", "-d", "{00000000-0000-4000-8000-000000000000}", "AT"}, {}, "open fail", 3, "no modem interface"},
        {{"-e", "-d", "{5F4C3B2A-0000-4D1E-9A5B-53494D4D4F44}", "AT"}, {}, "\r\nOK\r\n", 0, ""},
        {{"-e", "-s", "{00000000-0000-4000-8000-000000000000}", "AT"}, {}, "", 3, "not sent or not answered"},
        {{"-e", "AT"}, {"GLOBALTOOLS_MBN_PROVIDER=auto"}, "open fail", 3, "GLOBALTOOLS_MBN_PROVIDER=simulator"},
        {{"-l"}, {}, "{5f4c3b2a-0000-4d1e-9a5b-53494d4d4f44}\tSimulated\tMBIM AT Simulator\tinitialized\n", 0, ""},
        {{"-le"}, {"GLOBALTOOLS_MBN_PROVIDER=auto"}, "", 0, "no MBIM modem found"},
        {{"-v", "AT"}, {}, "\r\nOK\r\n", 0, "[Success] Open Session Success"},
    };
    SetLogLevel(-1);
    for (const auto& row : rows) {
        const std::string what = ::testing::PrintToString(row.arguments).substr(0, 80);
        Outcome run = Run(row.arguments, row.environment);
        EXPECT_EQ(row.status, run.status) << what;
        EXPECT_EQ(0u, run.out.rfind(row.out, 0)) << what << ": " << run.out;
        if (row.out.empty()) {
            EXPECT_EQ("", run.out) << what;
        }
        if (row.err.empty()) {
            EXPECT_EQ("", run.err) << what;
        } else {
            EXPECT_NE(std::string::npos, run.err.find(row.err)) << what << ": " << run.err;
        }
    }
}

// Commands from a file, or from standard input, through one session: each
// answer printed in order, blank lines passed over, an over-long line refused
// and the rest still sent; --exit-status tells the first failure.
TEST_F(AtcmdEndToEnd, commands_from_a_file_go_through_one_session) {
    SetLogLevel(0);
    const fs::path commands = root / "commands.txt";
    std::ofstream(commands, std::ios::binary) << "AT\nAT+NOSUCH\r\n\n" << std::string(5000, 'A') << "\nAT+CGMI\n";
    Outcome run = Run({"-e", "-f", commands.string()});
    EXPECT_EQ("\r\nOK\r\n\r\nERROR\r\n\r\nSimulated\r\n\r\nOK\r\n", run.out);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("atcmd: line 4: the command is more than 4096 bytes; the modem takes fewer\n", run.err);
    const std::vector<std::string> log = LogMessages();
    EXPECT_EQ(1, std::count(log.begin(), log.end(), "[Success] Open Session Success")) << Dump(log);

    Outcome piped = e2e::RunChild(
        {"/bin/sh", "-c", "printf 'ATI\\nAT\\n' | \"$0\" -f -", program.string()},
        e2e::EnvironmentWith({"PROGRAMDATA=" + (root / "appdata").string(), "GLOBALTOOLS_MBN_PROVIDER=simulator"}),
        kRunDeadline);
    EXPECT_EQ(0u, piped.out.rfind("\r\nSimulated MBIM LTE modem", 0)) << piped.out;
    EXPECT_EQ(piped.out.size() - 12, piped.out.rfind("\r\nOK\r\n\r\nOK\r\n")) << piped.out;
    EXPECT_EQ(0, piped.status);
}

// The simulator must not cost a run the libmbim module and GLib: the dynamic
// loader's own record of the files it maps shows what a run loaded.
TEST_F(AtcmdEndToEnd, a_simulator_run_maps_no_glib) {
    for (const char* choice : {"GLOBALTOOLS_MBN_PROVIDER=simulator", "GLOBALTOOLS_MBN_PROVIDER=auto"}) {
        Outcome run = Run({"AT"}, {choice, "LD_DEBUG=files"});
        EXPECT_EQ(std::string(choice).find("auto") == std::string::npos ? "\r\nOK\r\n" : "open fail", run.out)
            << choice;
        EXPECT_NE(std::string::npos, run.err.find("file=libc.so.6")) << choice << ": the loader reported nothing";
        EXPECT_EQ(std::string::npos, run.err.find("libglib")) << choice << "\n" << run.err;
        EXPECT_EQ(std::string::npos, run.err.find("mbnmbim")) << choice << "\n" << run.err;
    }
}

}  // namespace
