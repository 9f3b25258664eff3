// mbim-emulator as a program: Debian's mbimcli reads the device capabilities
// and the device-services list from it, whole and in 64-byte fragments; it
// ends on end of input or SIGTERM and takes its link with it; with
// --remove-after the line drops mid-command; with --delay an AT reply outlives
// the host that asked and reaches the next one. Each test starts its own
// emulator and ends it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "wire.h"
#include "child_process.h"

#ifndef MBIM_EMULATOR_PATH
#error "MBIM_EMULATOR_PATH must name the emulator"
#endif
#ifndef MBIMCLI_PATH
#error "MBIMCLI_PATH must name mbimcli"
#endif

namespace {

using namespace emulator;
using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

pid_t Spawn(const std::vector<std::string>& args, int in, int out) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Reads from fd until stop(text) holds, the peer closes, or the time is up.
template <typename Stop>
std::string ReadUntil(int fd, int timeoutMs, Stop stop) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string text;
    while (!stop(text)) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, MsLeft(deadline)) <= 0) break;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

struct Outcome {
    int status = -1;
    std::string out;
};

// mbimcli with its output; `timeout` ends it well before its own 30 s.
Outcome Mbimcli(const std::string& arguments) {
    Outcome outcome;
    FILE* pipe = popen(("timeout 20 " MBIMCLI_PATH " " + arguments + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return outcome;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.out.append(buffer, n);
    const int status = pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

// The emulator with a pipe on its standard input: closing it ends the program.
class Emulator {
public:
    explicit Emulator(std::vector<std::string> options) {
        link_ = testing::TempDir() + "mbim-emulator-" + std::to_string(getpid()) + "-" + std::to_string(++serial_);
        options.insert(options.begin(), {MBIM_EMULATOR_PATH, "--link", link_});
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = Spawn(options, in[0], out[1]);
        close(in[0]);
        close(out[1]);
        input_ = in[1];
        const std::string first = ReadUntil(out[0], 5000, [](const std::string& t) { return t.find('\n') != t.npos; });
        close(out[0]);
        if (first.find('\n') != std::string::npos) device_ = first.substr(0, first.find('\n'));
    }
    ~Emulator() {
        if (pid_ > 0) Stop();
    }
    const std::string& Device() const { return device_; }
    const std::string& Link() const { return link_; }
    // Ends it by end of input (or the given signal); its exit status.
    int Stop(int signal = 0) {
        if (signal != 0) kill(pid_, signal);
        if (input_ >= 0) close(input_);
        input_ = -1;
        const int status = e2e::ReapWithin(pid_, 5000);
        pid_ = -1;
        return status;
    }

private:
    static inline int serial_ = 0;
    pid_t pid_ = -1;
    int input_ = -1;
    std::string device_;
    std::string link_;
};

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

TEST(MbimEmulatorProgram, mbimcli_reads_caps_and_services_whole_and_fragmented) {
    struct Case {
        std::vector<std::string> options;
        int endSignal;  // 0: end of input
    };
    for (const Case& c : {Case{{}, 0}, Case{{"--fragment", "64"}, SIGTERM}}) {
        const std::string name = c.options.empty() ? "whole" : "fragmented";
        Emulator emulator(c.options);
        ASSERT_EQ(emulator.Device().rfind("/dev/pts/", 0), 0u) << name << ": " << emulator.Device();
        char target[256] = {};
        ASSERT_GT(readlink(emulator.Link().c_str(), target, sizeof target - 1), 0) << name;
        EXPECT_EQ(emulator.Device(), target) << name;

        const Outcome caps = Mbimcli("-d " + emulator.Link() + " --query-device-caps");
        EXPECT_EQ(caps.status, 0) << name << ": " << caps.out;
        EXPECT_NE(caps.out.find("Device ID: '490154203237518'"), std::string::npos) << name << ": " << caps.out;
        EXPECT_NE(caps.out.find("Hardware info: 'MBIM AT Simulator'"), std::string::npos) << name;

        const Outcome services = Mbimcli("-d " + emulator.Device() + " --query-device-services");
        EXPECT_EQ(services.status, 0) << name << ": " << services.out;
        EXPECT_NE(services.out.find("[ffffffff-abca-4b11-a4e2-f2fc87f94488]"), std::string::npos)
            << name << ": " << services.out;
        EXPECT_NE(services.out.find("[a289cc33-bcbb-8b4f-b6b0-133ec2aae6df]"), std::string::npos) << name;

        EXPECT_EQ(emulator.Stop(c.endSignal), 0) << name;
        EXPECT_FALSE(Exists(emulator.Link())) << name;
    }
}

TEST(MbimEmulatorProgram, removal_drops_the_line_mid_command) {
    Emulator emulator({"--remove-after", "1"});
    const int line = open(emulator.Device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(line, 0) << emulator.Device();
    const auto whole = [](const std::string& t) { return t.size() >= kHeaderSize && t.size() >= GetU32(t, 4); };

    const std::string open = SimpleMessage(kOpen, 1, 4096);
    ASSERT_EQ(write(line, open.data(), open.size()), static_cast<ssize_t>(open.size()));
    EXPECT_EQ(ReadUntil(line, 5000, whole), SimpleMessage(kOpenDone, 1, kStatusSuccess));

    const std::string command = Fragment(kCommand, 2, CommandStream(kAtService, 1, kSet, "AT\r\n"), 4096)[0];
    ASSERT_EQ(write(line, command.data(), command.size()), static_cast<ssize_t>(command.size()));
    // No answer: the line hangs up (read fails or ends) and the program goes.
    struct pollfd pfd = {line, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 5000), 1);
    EXPECT_TRUE(pfd.revents & POLLHUP);
    char byte;
    EXPECT_LE(read(line, &byte, 1), 0);
    close(line);
    EXPECT_EQ(emulator.Stop(), 0);
    EXPECT_FALSE(Exists(emulator.Link()));
}

TEST(MbimEmulatorProgram, delayed_reply_reaches_the_next_host) {
    Emulator emulator({"--delay", "1000"});
    const auto atLeast = [](size_t size) { return [size](const std::string& t) { return t.size() >= size; }; };
    const std::string open1 = SimpleMessage(kOpen, 1, 4096);
    const std::string opened = SimpleMessage(kOpenDone, 1, kStatusSuccess);
    const std::string closed = SimpleMessage(kCloseDone, 3, kStatusSuccess);
    const std::string reply =
        Fragment(kCommandDone, 2, CommandDoneStream(kAtService, 1, kStatusSuccess, "\r\nOK\r\n"), 4096)[0];
    const std::string asks =
        open1 + Fragment(kCommand, 2, CommandStream(kAtService, 1, kSet, "AT\r"), 4096)[0] + SimpleMessage(kClose, 3);

    // One host asks and closes: CLOSE is answered, the AT reply is not there yet.
    int line = open(emulator.Device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(line >= 0 && write(line, asks.data(), asks.size()) == static_cast<ssize_t>(asks.size()));
    EXPECT_EQ(ReadUntil(line, 5000, atLeast(opened.size() + closed.size())), opened + closed);
    close(line);
    // The next host's OPEN finds it.
    line = open(emulator.Device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(line >= 0 && write(line, open1.data(), open1.size()) == static_cast<ssize_t>(open1.size()));
    const std::string text = ReadUntil(line, 5000, atLeast(opened.size() + reply.size()));
    EXPECT_TRUE(text == opened + reply || text == reply + opened) << text.size() << " bytes";
    close(line);
    EXPECT_EQ(emulator.Stop(), 0);
}

}  // namespace
