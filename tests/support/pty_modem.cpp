// The pseudo-terminal modem: reads command lines on the master side of a pty
// and writes the answers of modem_script.h back, after the configured delay.
// A control pipe wakes it to close the line, so neither a delay nor a full
// line can keep Stop or HangUp waiting.
#include "pty_modem.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "modem_script.h"

namespace testsupport {

PtyModem::~PtyModem() { Stop(); }

bool PtyModem::Start() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) {
        return false;
    }
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
        close(master_);
        master_ = -1;
        return false;
    }
    slavePath_ = name;
    slaveHold_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveHold_ < 0 || pipe2(control_, O_CLOEXEC) != 0) {
        close(master_);
        master_ = -1;
        if (slaveHold_ >= 0) {
            close(slaveHold_);
            slaveHold_ = -1;
        }
        return false;
    }
    // A line that a client must set up: raw, but at 9600 baud. (A pty has
    // no framing of its own: it keeps 8 data bits without parity.)
    struct termios tio;
    tcgetattr(slaveHold_, &tio);
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag |= CREAD | CLOCAL;
    tcsetattr(slaveHold_, TCSANOW, &tio);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    thread_ = std::thread(&PtyModem::Run, this);
    return true;
}

void PtyModem::HangUp() {
    if (control_[1] >= 0) {
        const char c = 'x';
        ssize_t ignored = write(control_[1], &c, 1);
        (void)ignored;
    }
    WaitUntilClosed();
}

void PtyModem::Stop() {
    HangUp();
    for (int& fd : control_) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}

void PtyModem::WaitUntilClosed() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

// Waits ms unless told to close first; false when told to close.
bool PtyModem::Pause(int ms) {
    struct pollfd pfd = {control_[0], POLLIN, 0};
    return poll(&pfd, 1, ms) == 0;
}

bool PtyModem::Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        struct pollfd fds[2] = {{control_[0], POLLIN, 0}, {master_, POLLOUT, 0}};
        poll(fds, 2, 100);
        if (fds[0].revents & POLLIN) {
            return false;
        }
    }
    return true;
}

namespace {

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void PtyModem::Answer(const std::string& command, bool* hangUp) {
    std::string upper;
    for (char c : command) {
        upper.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c));
    }
    if (echo_ && !Send(command + "\r")) {
        *hangUp = true;
        return;
    }
    std::string reply;
    if (upper == "ATE1" || upper == "ATE0") {
        echo_ = upper == "ATE1";
    }
    if (upper.compare(0, 11, "AT+SIMRING=") == 0) {
        ringDueMs_ = NowMs() + std::atoi(command.c_str() + 11);
    }
    if (upper.compare(0, 12, "AT+SIMDELAY=") == 0) {
        delayMs_ = std::atoi(command.c_str() + 12);
        Send(OkReply());
        return;
    }
    if (upper.compare(0, 11, "AT+SIMDEAF=") == 0) {
        if (!Send(OkReply()) || !Pause(std::atoi(command.c_str() + 11))) {
            *hangUp = true;
        }
        return;
    }
    if (upper.compare(0, 11, "AT+SIMDATA=") == 0) {
        reply = DataReply(std::atoi(command.c_str() + 11));
    } else if (upper.compare(0, 12, "AT+SIMREPLY=") == 0) {
        const std::string text = command.substr(12);
        reply = text == ">" ? "\r\n> " : "\r\n" + text + "\r\n";
    } else if (upper == "AT+SIMNULLS") {
        reply = NullsReply();
    } else if (upper == "AT+SIMSILENT") {
        return;
    } else if (upper == "AT+SIMHANGUP") {
        *hangUp = true;
        return;
    } else if (upper.compare(0, 2, "AT") == 0) {
        reply = OkReply();
    } else {
        reply = ErrorReply();
    }
    if (delayMs_ > 0 && !Pause(delayMs_)) {
        *hangUp = true;
        return;
    }
    if (!Send(reply)) {
        *hangUp = true;
    }
}

void PtyModem::Run() {
    std::string line;
    bool hangUp = false;
    while (!hangUp) {
        struct pollfd fds[2] = {{control_[0], POLLIN, 0}, {master_, POLLIN, 0}};
        const long long ringInMs = ringDueMs_ == 0 ? -1 : std::max(0LL, ringDueMs_ - NowMs());
        const int ready = poll(fds, 2, static_cast<int>(ringInMs));
        if (ready == 0 && ringDueMs_ != 0) {
            ringDueMs_ = 0;
            if (!Send("\r\nRING\r\n")) break;
            continue;
        }
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[0].revents & POLLIN) {
            break;
        }
        char buffer[512];
        ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
            break;
        }
        for (ssize_t i = 0; i < n && !hangUp; ++i) {
            const char c = buffer[i];
            if (c == '\n') {
                continue;
            }
            if (c != '\r') {
                line.push_back(c);
                continue;
            }
            if (line.empty()) {
                continue;
            }
            ++commands_;
            Answer(line, &hangUp);
            line.clear();
        }
    }
    close(master_);
    master_ = -1;
    close(slaveHold_);
    slaveHold_ = -1;
}

namespace {

// The process's private COM folder, removed with its entries at exit.
struct PrivateFolder {
    std::string path;
    ~PrivateFolder() {
        if (path.empty()) {
            return;
        }
        if (DIR* dir = opendir(path.c_str())) {
            while (struct dirent* entry = readdir(dir)) {
                if (std::strncmp(entry->d_name, "com", 3) == 0) {
                    unlink((path + "/" + entry->d_name).c_str());
                }
            }
            closedir(dir);
        }
        rmdir(path.c_str());
    }
};

std::string& ComFolder() {
    static PrivateFolder folder;
    return folder.path;
}

}  // namespace

bool MapComPort(int port, const std::string& device) {
    std::string& folder = ComFolder();
    if (folder.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/globaltools-com-XXXXXX";
        if (mkdtemp(&pattern[0]) == nullptr) {
            return false;
        }
        folder = pattern;
        setenv("GLOBALTOOLS_DOSDEVICES", folder.c_str(), 1);
    }
    const std::string entry = folder + "/com" + std::to_string(port);
    unlink(entry.c_str());
    return symlink(device.c_str(), entry.c_str()) == 0;
}

void UnmapComPort(int port) {
    if (!ComFolder().empty()) {
        unlink((ComFolder() + "/com" + std::to_string(port)).c_str());
    }
}

}  // namespace testsupport
