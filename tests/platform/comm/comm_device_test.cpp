// POSIX only: terminal devices named by their own path, and a port shared
// with the other programs of the system. A name under /dev/, or one that
// leads to a character device, opens as a port; anything there that is no
// terminal fails as a missing port does, and the names of ordinary files and
// folders keep the disk-file road. A port is refused, with a line naming the
// holder, while another program has the device open or holds its UUCP lock
// file, unless sharing is asked for; the program on the master side of a
// pty is the device itself and never counts.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "comm_conformance.h"
#include "modem_script.h"
#include "pty_modem.h"

namespace {

using commtest::Wide;

HANDLE OpenPath(const std::string& path) {
    return CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                       NULL);
}

// "AT" through the port, and the modem's answer back.
std::string Exchange(HANDLE port) {
    const std::string ok = testsupport::OkReply();
    if (commtest::WriteAndAwaitInput(port, "AT\r", static_cast<DWORD>(ok.size())) < ok.size()) {
        return "(no answer)";
    }
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    std::vector<char> buffer(ok.size());
    DWORD count = 0;
    if (!ReadFile(port, buffer.data(), static_cast<DWORD>(buffer.size()), NULL, &ov) &&
        GetLastError() == ERROR_IO_PENDING) {
        WaitForSingleObject(ov.hEvent, 3000);
    }
    GetOverlappedResult(port, &ov, &count, TRUE);
    CloseHandle(ov.hEvent);
    return std::string(buffer.data(), count);
}

// A private folder under /tmp, removed with what it holds.
class ScratchFolder {
public:
    ScratchFolder() {
        char name[] = "/tmp/commdevice-XXXXXX";
        path_ = mkdtemp(name) ? name : "";
    }
    ~ScratchFolder() {
        for (const std::string& entry : entries_) unlink(entry.c_str());
        if (!path_.empty()) rmdir(path_.c_str());
    }
    const std::string& path() const { return path_; }
    std::string Add(const std::string& name) {
        entries_.push_back(path_ + "/" + name);
        return entries_.back();
    }

private:
    std::string path_;
    std::vector<std::string> entries_;
};

std::string Backslashed(std::string path) {
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

TEST(CommDevicePath, device_paths_open_as_ports_and_other_paths_keep_their_road) {
    testsupport::PtyModem modem;
    ASSERT_TRUE(modem.Start());
    ScratchFolder scratch;
    ASSERT_FALSE(scratch.path().empty());
    const std::string link = scratch.Add("modem");
    ASSERT_EQ(0, symlink(modem.SlavePath().c_str(), link.c_str()));
    const std::string file = scratch.Add("file");
    const int made = open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(made, 0);
    close(made);
    // A regular file under /dev/, where a tmpfs for shared memory is usual.
    const std::string devFile = "/dev/shm/commdevice-" + std::to_string(getpid());
    const int shm = open(devFile.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (shm >= 0) close(shm);

    enum Road { kPort, kDiskFile, kRefused };
    struct Row {
        int line;
        std::string name;
        Road road;
        DWORD error;  // kRefused
    };
    std::vector<Row> rows = {
        {__LINE__, modem.SlavePath(), kPort, 0},
        {__LINE__, Backslashed(modem.SlavePath()), kPort, 0},
        {__LINE__, link, kPort, 0},  // a character device wherever its link lives
        {__LINE__, "/dev/null", kRefused, ERROR_FILE_NOT_FOUND},
        {__LINE__, "/dev/pts", kRefused, ERROR_FILE_NOT_FOUND},
        {__LINE__, "/dev/commdevice-none-" + std::to_string(getpid()), kRefused, ERROR_FILE_NOT_FOUND},
        {__LINE__, file, kDiskFile, 0},
        {__LINE__, scratch.path(), kRefused, ERROR_ACCESS_DENIED},  // a folder on the disk-file road
    };
    if (shm >= 0) rows.push_back({__LINE__, devFile, kRefused, ERROR_FILE_NOT_FOUND});
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        const int row = static_cast<int>(i);
        SCOPED_TRACE(r.name);
        SetLastError(conformance::kSentinel);
        HANDLE h = OpenPath(r.name);
        if (r.road == kRefused) {
            conformance::CheckRow(ROW_AT(r.line), "CreateFileW", row, "handle", h, INVALID_HANDLE_VALUE);
            conformance::CheckLastError(ROW_AT(r.line), "CreateFileW", row, r.error);
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
            continue;
        }
        if (h == INVALID_HANDLE_VALUE) {
            ADD_FAILURE_AT(__FILE__, r.line) << "CreateFileW row " << row << ": error " << GetLastError();
            continue;
        }
        DCB dcb;
        std::memset(&dcb, 0, sizeof dcb);
        SetLastError(conformance::kSentinel);
        const BOOL isPort = GetCommState(h, &dcb);
        conformance::CheckRow(ROW_AT(r.line), "GetCommState", row, "result", isPort, r.road == kPort);
        if (r.road == kPort) {
            conformance::CheckRow(ROW_AT(r.line), "ReadFile", row, "answer", Exchange(h),
                                  std::string(testsupport::OkReply()));
        } else {
            conformance::CheckLastError(ROW_AT(r.line), "GetCommState", row, ERROR_INVALID_HANDLE);
        }
        CloseHandle(h);
    }
    unlink(devFile.c_str());
}

// The file's text; "(none)" when there is no such file.
std::string Contents(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return "(none)";
    char buffer[64];
    const size_t n = std::fread(buffer, 1, sizeof buffer, f);
    std::fclose(f);
    return std::string(buffer, n);
}

// A program run beside the test, killed and reaped when the object goes.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { Stop(); }

    // args[0] is looked up in PATH. The descriptors become the child's
    // standard input and output; -1 leaves the test's own.
    bool Start(std::vector<std::string> args, int input = -1, int output = -1) {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (input >= 0) posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
        if (output >= 0) posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
        const int failed = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed) {
            pid_ = -1;
            return false;
        }
        // posix_spawnp returns as the new program replaces the old one, but
        // the kernel renames the process a moment later: wait for the name
        // the port's refusal will print.
        const std::string name = args[0].substr(args[0].rfind('/') + 1).substr(0, 15) + "\n";
        const std::string commFile = "/proc/" + std::to_string(pid_) + "/comm";
        for (int i = 0; i < 500 && Contents(commFile) != name; ++i) usleep(10 * 1000);
        return true;
    }
    pid_t pid() const { return pid_; }
    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
};

// `sleep` with the device as its standard input: a program that holds it.
bool StartHolder(Child& child, const std::string& device) {
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    const bool started = fd >= 0 && child.Start({"sleep", "60"}, fd);
    if (fd >= 0) close(fd);
    return started;
}

class ScopedSharing {
public:
    ScopedSharing() { setenv("GLOBALTOOLS_SERIAL_SHARED", "1", 1); }
    ~ScopedSharing() { unsetenv("GLOBALTOOLS_SERIAL_SHARED"); }
};

struct Attempt {
    HANDLE handle;
    DWORD error;
    std::string err;  // what went to standard error
};

Attempt OpenCapturing(const std::string& path) {
    ::testing::internal::CaptureStderr();
    SetLastError(conformance::kSentinel);
    Attempt a;
    a.handle = OpenPath(path);
    a.error = GetLastError();
    a.err = ::testing::internal::GetCapturedStderr();
    return a;
}

std::string HolderLine(const std::string& device, const std::string& command, pid_t pid) {
    return std::string(program_invocation_short_name) + ": " + device + " is open in " + command + " (process " +
           std::to_string(pid) + ")\n";
}

std::string LockLine(pid_t pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return text;
}

// The UUCP lock file of a device; empty when no lock folder can be written
// (and then its Contents are "(none)").
std::string LockFileOf(const std::string& device) {
    struct stat st;
    const std::string folder = stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode) ? "/run/lock" : "/var/lock";
    if (access(folder.c_str(), W_OK) != 0) return std::string();
    return folder + "/LCK.." + device.substr(device.rfind('/') + 1);
}

const int kSharedPort = 38;

TEST(CommSharing, another_program_with_the_device_open_refuses_it_unless_sharing_is_wanted) {
    testsupport::PtyModem modem;
    ASSERT_TRUE(modem.Start());
    const std::string device = modem.SlavePath();
    ASSERT_TRUE(testsupport::MapComPort(kSharedPort, device));
    const std::string lockFile = LockFileOf(device);
    Child holder;
    ASSERT_TRUE(StartHolder(holder, device));

    {
        // An open of ours is met first, at the flock: denied, so a caller
        // may wait for it, and nothing printed.
        const int ours = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_EQ(0, flock(ours, LOCK_EX | LOCK_NB));
        const Attempt denied = OpenCapturing(device);
        EXPECT_EQ(INVALID_HANDLE_VALUE, denied.handle);
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), denied.error);
        EXPECT_EQ("", denied.err);
        close(ours);
    }
    // Another program: by path and by COM name alike refused at once, the
    // holder named, nothing kept.
    const std::string names[] = {device, "\\\\.\\COM" + std::to_string(kSharedPort)};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const Attempt refused = OpenCapturing(name);
        EXPECT_EQ(INVALID_HANDLE_VALUE, refused.handle);
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), refused.error);
        EXPECT_EQ(HolderLine(device, "sleep", holder.pid()), refused.err);
        EXPECT_EQ("(none)", Contents(lockFile));
    }
    {
        // The refused opens let go of the flock too, or this one would be
        // denied; the lock file is ours while the port is open.
        ScopedSharing sharing;
        const Attempt shared = OpenCapturing(device);
        ASSERT_NE(INVALID_HANDLE_VALUE, shared.handle) << "error " << shared.error;
        EXPECT_EQ("", shared.err);
        EXPECT_EQ(std::string(testsupport::OkReply()), Exchange(shared.handle));
        EXPECT_EQ(lockFile.empty() ? "(none)" : LockLine(getpid()), Contents(lockFile));
        CloseHandle(shared.handle);
        EXPECT_EQ("(none)", Contents(lockFile));
    }
    holder.Stop();
    HANDLE h = OpenPath(device);
    EXPECT_NE(INVALID_HANDLE_VALUE, h) << "the holder has gone: error " << GetLastError();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    testsupport::UnmapComPort(kSharedPort);
}

TEST(CommSharing, the_program_on_the_master_side_is_the_device_not_a_competitor) {
    int out[2];
    ASSERT_EQ(0, pipe2(out, O_CLOEXEC));
    ScratchFolder scratch;
    Child ptymodem;
    const bool started = ptymodem.Start({PTYMODEM_PATH, "--link", scratch.Add("com")}, -1, out[1]);
    close(out[1]);
    std::string device;
    struct pollfd pfd = {out[0], POLLIN, 0};
    while (started && device.find('\n') == std::string::npos && poll(&pfd, 1, 5000) == 1) {
        char buffer[128];
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        device.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    ASSERT_NE(std::string::npos, device.find('\n')) << "ptymodem did not name its device";
    device.erase(device.find('\n'));

    // ptymodem holds the slave as well as the master: the port opens and the
    // modem answers through it.
    const Attempt open = OpenCapturing(device);
    ASSERT_NE(INVALID_HANDLE_VALUE, open.handle) << "error " << open.error << ": " << open.err;
    EXPECT_EQ(std::string(testsupport::OkReply()), Exchange(open.handle));
    CloseHandle(open.handle);

    // A program on the slave side of the same pty does count.
    Child holder;
    ASSERT_TRUE(StartHolder(holder, device));
    const Attempt refused = OpenCapturing(device);
    EXPECT_EQ(INVALID_HANDLE_VALUE, refused.handle);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), refused.error);
    EXPECT_EQ(HolderLine(device, "sleep", holder.pid()), refused.err);
}

TEST(CommSharing, a_live_programs_lock_file_refuses_the_port_and_a_stale_one_is_replaced) {
    testsupport::PtyModem modem;
    ASSERT_TRUE(modem.Start());
    const std::string device = modem.SlavePath();
    const std::string lockFile = LockFileOf(device);
    if (lockFile.empty()) GTEST_SKIP() << "no lock folder this user may write to";
    Child other;  // alive, and without the device open
    ASSERT_TRUE(other.Start({"sleep", "60"}));
    const std::string foreign = LockLine(other.pid());
    {
        FILE* f = std::fopen(lockFile.c_str(), "wx");
        ASSERT_NE(nullptr, f) << lockFile << ": " << std::strerror(errno);
        std::fputs(foreign.c_str(), f);
        std::fclose(f);
    }

    const Attempt refused = OpenCapturing(device);
    EXPECT_EQ(INVALID_HANDLE_VALUE, refused.handle);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), refused.error);
    EXPECT_EQ(HolderLine(device, "sleep", other.pid()), refused.err);
    EXPECT_EQ(foreign, Contents(lockFile));
    {
        // Shared: opens beside it, and leaves the file it did not write.
        ScopedSharing sharing;
        HANDLE h = OpenPath(device);
        EXPECT_NE(INVALID_HANDLE_VALUE, h) << "error " << GetLastError();
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        EXPECT_EQ(foreign, Contents(lockFile));
    }

    other.Stop();  // now the file names a process that has ended
    HANDLE h = OpenPath(device);
    EXPECT_NE(INVALID_HANDLE_VALUE, h) << "a stale lock file: error " << GetLastError();
    EXPECT_EQ(LockLine(getpid()), Contents(lockFile));
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    EXPECT_EQ("(none)", Contents(lockFile));
    unlink(lockFile.c_str());  // whatever a failure above left behind
}

}  // namespace
