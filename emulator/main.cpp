// mbim-emulator: an MBIM function on a pseudo-terminal, hosting the simulated
// modem behind real MBIM framing, so that MBIM hosts (libmbim, mbimcli,
// mbim-proxy, our provider) can be run without hardware. The slave side is
// raw, as a cdc-wdm control port is; the program moves bytes between the pty
// master and the pure Function (function.h), and ends on SIGTERM/SIGINT or
// when its standard input reaches end of file, so a test that holds a pipe to
// it cannot leave it running. Replies the function holds back (--delay) wait
// in a queue and go out when due, to whoever has the line open by then.
//
//   mbim-emulator [--link PATH] [--status N] [--silent] [--silent-open]
//                 [--indicate-first] [--fragment BYTES] [--remove-after N]
//                 [--wrong-tid] [--wrong-service] [--wrong-cid] [--truncate]
//                 [--delay MS] [--max-message BYTES] [--refuse-subscribe]
//                 [--silent-close] [--unsolicited-error] [-v]
//
// The first line on standard output is the slave device's path.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "function.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const int saved = errno;
    const char c = 's';
    ssize_t ignored = write(g_signalPipe[1], &c, 1);
    (void)ignored;
    errno = saved;
}

struct Options {
    std::string link;
    bool verbose = false;
    emulator::Faults faults;
};

void Usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--link PATH] [--status N] [--silent] [--silent-open] [--indicate-first]\n"
                 "          [--fragment BYTES] [--remove-after N] [--wrong-tid] [--wrong-service] [--wrong-cid]\n"
                 "          [--truncate] [--delay MS] [--max-message BYTES] [--refuse-subscribe]\n"
                 "          [--silent-close] [--unsolicited-error] [-v]\n",
                 program);
}

bool ParseNumber(const char* text, unsigned long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text, &end, 0);
    return errno == 0 && end != text && *end == '\0' && text[0] != '-' && value <= 0xFFFFFFFFul;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        unsigned long number = 0;
        if (arg == "--link" && hasValue) {
            options.link = argv[++i];
        } else if (arg == "--status" && hasValue && ParseNumber(argv[++i], number)) {
            options.faults.atStatus = static_cast<uint32_t>(number);
        } else if (arg == "--fragment" && hasValue && ParseNumber(argv[++i], number) &&
                   number >= emulator::kMinFragmentLimit) {
            options.faults.fragmentLimit = number;
        } else if (arg == "--remove-after" && hasValue && ParseNumber(argv[++i], number) && number >= 1) {
            options.faults.removeAfter = static_cast<unsigned>(number);
        } else if (arg == "--delay" && hasValue && ParseNumber(argv[++i], number)) {
            options.faults.delayMs = static_cast<unsigned>(number);
        } else if (arg == "--max-message" && hasValue && ParseNumber(argv[++i], number) &&
                   number >= emulator::kMinControlTransfer) {
            options.faults.maxMessage = number;
        } else if (arg == "--silent") {
            options.faults.silent = true;
        } else if (arg == "--silent-open") {
            options.faults.silentOpen = true;
        } else if (arg == "--indicate-first") {
            options.faults.indicateFirst = true;
        } else if (arg == "--wrong-tid") {
            options.faults.wrongTid = true;
        } else if (arg == "--wrong-service") {
            options.faults.wrongService = true;
        } else if (arg == "--wrong-cid") {
            options.faults.wrongCid = true;
        } else if (arg == "--truncate") {
            options.faults.truncate = true;
        } else if (arg == "--refuse-subscribe") {
            options.faults.refuseSubscribe = true;
        } else if (arg == "--silent-close") {
            options.faults.silentClose = true;
        } else if (arg == "--unsolicited-error") {
            options.faults.unsolicitedError = true;
        } else if (arg == "-v") {
            options.verbose = true;
        } else {
            return false;
        }
    }
    return true;
}

// The pty: master for the emulator, and one slave descriptor held open so
// that the line keeps its raw settings and the master never sees a hang-up
// between clients.
struct Pty {
    int master = -1;
    int slaveHold = -1;
    std::string slavePath;

    bool Open() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0) return false;
        char name[128];
        if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) return false;
        slavePath = name;
        slaveHold = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slaveHold < 0) return false;
        // A cooked line would eat and rewrite bytes; MBIM needs every byte as
        // sent, in both directions.
        struct termios tio;
        if (tcgetattr(slaveHold, &tio) != 0) return false;
        cfmakeraw(&tio);
        tio.c_cflag |= CREAD | CLOCAL;
        if (tcsetattr(slaveHold, TCSANOW, &tio) != 0) return false;
        return fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) == 0;
    }

    void Close() {
        if (master >= 0) close(master);
        if (slaveHold >= 0) close(slaveHold);
        master = slaveHold = -1;
    }
};

bool MakeLink(const std::string& link, const std::string& target) {
    const std::string temporary = link + ".new";
    unlink(temporary.c_str());
    return symlink(target.c_str(), temporary.c_str()) == 0 && rename(temporary.c_str(), link.c_str()) == 0;
}

// Writes what is queued, waiting at most timeoutMs for room in the line.
void Drain(int fd, std::string& queue, int timeoutMs) {
    while (!queue.empty()) {
        const ssize_t n = write(fd, queue.data(), queue.size());
        if (n > 0) {
            queue.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return;
        struct pollfd pfd = {fd, POLLOUT, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0) return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        Usage(argv[0]);
        return 2;
    }
    const bool verbose = options.verbose;
    auto log = [verbose](const std::string& text) {
        if (verbose) std::fprintf(stderr, "mbim-emulator: %s\n", text.c_str());
    };

    Pty pty;
    if (!pty.Open()) {
        std::perror("mbim-emulator: no pseudo-terminal");
        return 1;
    }
    if (!options.link.empty() && !MakeLink(options.link, pty.slavePath)) {
        std::perror("mbim-emulator: cannot make the link");
        return 1;
    }
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("mbim-emulator: pipe");
        return 1;
    }
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::printf("%s\n", pty.slavePath.c_str());
    std::fflush(stdout);

    mbnsim::ModemConfig modem;
    modem.echo = false;  // an AT device service for programs does not echo
    emulator::Function function(options.faults, modem);
    function.SetLog(log);

    using Clock = std::chrono::steady_clock;
    std::string outgoing;
    // Held-back replies by due time; equal times keep their order.
    std::multimap<Clock::time_point, std::string> late;
    bool running = true;
    while (running) {
        int timeoutMs = -1;
        if (!late.empty()) {
            using Ms = std::chrono::milliseconds;
            const Ms left = std::chrono::ceil<Ms>(late.begin()->first - Clock::now());
            timeoutMs = static_cast<int>(std::clamp(left, Ms(0), Ms(60000)).count());
        }
        struct pollfd fds[3] = {{g_signalPipe[0], POLLIN, 0},
                                {STDIN_FILENO, POLLIN, 0},
                                {pty.master, static_cast<short>(POLLIN | (outgoing.empty() ? 0 : POLLOUT)), 0}};
        if (poll(fds, 3, timeoutMs) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents & POLLIN) {
            log("signal: ending");
            break;
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
            char discard[256];
            const ssize_t n = read(STDIN_FILENO, discard, sizeof discard);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN) || (fds[1].revents & POLLNVAL)) {
                log("standard input closed: ending");
                break;
            }
        }
        if (fds[2].revents & POLLIN) {
            char buffer[4096];
            const ssize_t n = read(pty.master, buffer, sizeof buffer);
            if (n > 0) {
                outgoing += function.Receive(std::string(buffer, static_cast<size_t>(n)));
                if (function.Removed()) running = false;
                for (emulator::Function::Delayed& reply : function.TakeDelayed())
                    late.emplace(Clock::now() + std::chrono::milliseconds(reply.delayMs), std::move(reply.bytes));
            }
        }
        while (!late.empty() && late.begin()->first <= Clock::now()) {
            outgoing += late.begin()->second;
            late.erase(late.begin());
        }
        if (!outgoing.empty()) Drain(pty.master, outgoing, 0);
    }
    // What was already answered still reaches the host (replies not yet due
    // are dropped); then the line goes.
    Drain(pty.master, outgoing, 1000);
    pty.Close();
    if (!options.link.empty()) unlink(options.link.c_str());
    return 0;
}
