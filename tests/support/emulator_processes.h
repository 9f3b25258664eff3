// Helper processes for the libmbim back end's tests: an mbim-emulator of the
// test's own (its pty path read from its first output line; it ends when
// its standard input closes, so a failing test cannot leave it running) and
// an mbim-proxy that the test starts, and therefore stops, itself.
#ifndef TESTS_SUPPORT_EMULATOR_PROCESSES_H
#define TESTS_SUPPORT_EMULATOR_PROCESSES_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

namespace mbimtest {

using e2e::ReapWithin;

// Reads one line from fd, waiting at most timeoutMs in all.
inline bool ReadLine(int fd, std::string& line, int timeoutMs) {
    line.clear();
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char c = 0;
        if (read(fd, &c, 1) != 1) return false;
        if (c == '\n') return true;
        line.push_back(c);
    }
}

class Emulator {
public:
    // Starts program with the fault switches; Path() is empty on failure.
    Emulator(const std::string& program, const std::vector<std::string>& switches) {
        int in[2];
        int out[2];
        if (pipe(in) != 0) return;
        if (pipe(out) != 0) {
            close(in[0]);
            close(in[1]);
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            close(in[0]);
            close(in[1]);
            close(out[0]);
            close(out[1]);
            std::vector<std::string> args{program};
            args.insert(args.end(), switches.begin(), switches.end());
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        if (pid_ < 0 || !ReadLine(stdout_, path_, 5000)) path_.clear();
    }
    ~Emulator() { Stop(); }
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    const std::string& Path() const { return path_; }

    // Ends it (end of input, then SIGTERM) and reaps it, bounded.
    void Stop() {
        if (stdin_ >= 0) close(stdin_);
        stdin_ = -1;
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            ReapWithin(pid_, 5000);
        }
        pid_ = -1;
        if (stdout_ >= 0) close(stdout_);
        stdout_ = -1;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    std::string path_;
};

// True when some process listens on mbim-proxy's abstract socket.
inline bool ProxyListening() {
    std::ifstream table("/proc/net/unix");
    std::string line;
    while (std::getline(table, line))
        if (line.size() >= 11 && line.compare(line.size() - 11, 11, "@mbim-proxy") == 0) return true;
    return false;
}

// An mbim-proxy this test started. Usable() is false when the test may not
// run one: not root (Debian's proxy serves root only), no proxy program, or
// a proxy that is not ours already holds the socket.
class Proxy {
public:
    Proxy() {
        if (geteuid() != 0 || access(kProgram, X_OK) != 0) {
            why_ = "mbim-proxy needs root and /usr/libexec/mbim-proxy";
            return;
        }
        if (ProxyListening()) {
            why_ = "another mbim-proxy is running";
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            int null = open("/dev/null", O_RDWR);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            execl(kProgram, kProgram, "--no-exit", static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 500 && pid_ > 0 && !ProxyListening(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!ProxyListening()) why_ = "mbim-proxy did not start";
    }
    ~Proxy() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            ReapWithin(pid_, 5000);
        }
    }
    Proxy(const Proxy&) = delete;
    Proxy& operator=(const Proxy&) = delete;

    bool Usable() const { return why_.empty(); }
    const std::string& Why() const { return why_; }

private:
    static constexpr const char* kProgram = "/usr/libexec/mbim-proxy";
    pid_t pid_ = -1;
    std::string why_;
};

}  // namespace mbimtest

#endif
