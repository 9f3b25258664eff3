// Finding the other programs that use a serial device (comm_share.h): the
// UUCP lock file and a scan of /proc, both done once per port open.
#include "comm_share.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace pal {
namespace comm {
namespace {

// devpts numbers slave N as 136:N; the multiplexer every master is opened
// through, /dev/ptmx, is 5:2.
constexpr unsigned kPtySlaveMajor = 136;
const dev_t kPtyMultiplexer = makedev(5, 2);

// Debian makes /var/lock a link to /run/lock; elsewhere either may be the one.
std::string LockFolder() {
    struct stat st;
    return stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode) ? "/run/lock" : "/var/lock";
}

// The start of a small file; empty if it cannot be read. O_NOFOLLOW in
// extraFlags where others may plant links.
std::string ReadSmallFile(const std::string& path, int extraFlags = 0) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | extraFlags);
    if (fd < 0) {
        return std::string();
    }
    char text[256];
    ssize_t n;
    do {
        n = read(fd, text, sizeof text);
    } while (n < 0 && errno == EINTR);
    close(fd);
    return n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
}

// The PID in a lock file: decimal after optional blanks (HDB form; a second
// line some programs add is ignored). 0 when there is none, as in a file
// still being written.
pid_t ReadLockPid(const std::string& path) {
    const std::string text = ReadSmallFile(path, O_NOFOLLOW);
    size_t i = text.find_first_not_of(' ');
    long pid = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        pid = pid * 10 + (text[i] - '0');
        if (pid > 0x7FFFFFFF) {
            return 0;
        }
    }
    return static_cast<pid_t>(pid);
}

// EPERM: it lives but belongs to another user.
bool IsAlive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

std::string CommandOf(pid_t pid) {
    std::string command = ReadSmallFile("/proc/" + std::to_string(pid) + "/comm");
    while (!command.empty() && command.back() == '\n') {
        command.pop_back();
    }
    return command.empty() ? "?" : command;
}

// The pty index of a master descriptor, from its fdinfo; -1 if not shown.
long PtyIndexOf(const std::string& fdinfoPath) {
    const std::string text = ReadSmallFile(fdinfoPath);
    const size_t at = text.find("tty-index:\t");
    if (at == std::string::npos) {
        return -1;
    }
    return std::strtol(text.c_str() + at + std::strlen("tty-index:\t"), nullptr, 10);
}

// What one process has open of the device: the device itself, and whether
// it also holds the master side when the device is a pty slave.
struct Use {
    bool device = false;
    bool master = false;
};

Use UseByProcess(const std::string& pid, const struct stat& own, long ptyIndex) {
    Use use;
    const std::string fdFolder = "/proc/" + pid + "/fd";
    DIR* fds = opendir(fdFolder.c_str());
    if (fds == nullptr) {
        return use;  // not ours to look at, or gone
    }
    const int folder = dirfd(fds);
    while (const struct dirent* entry = readdir(fds)) {
        // Sockets, pipes and anonymous inodes link to "type:[inode]": only
        // names that start with a slash can be devices.
        char target[8];
        if (readlinkat(folder, entry->d_name, target, sizeof target) <= 0 || target[0] != '/') {
            continue;
        }
        struct stat st;
        if (fstatat(folder, entry->d_name, &st, 0) != 0 || !S_ISCHR(st.st_mode)) {
            continue;
        }
        // Every devpts instance (one per container) numbers its slaves from
        // 0, so a pty slave is told apart by its file system as well.
        if (st.st_rdev == own.st_rdev && (ptyIndex < 0 || st.st_dev == own.st_dev)) {
            use.device = true;
        } else if (ptyIndex >= 0 && st.st_rdev == kPtyMultiplexer &&
                   PtyIndexOf("/proc/" + pid + "/fdinfo/" + entry->d_name) == ptyIndex) {
            use.master = true;
        }
    }
    closedir(fds);
    return use;
}

}  // namespace

DeviceLockFile::DeviceLockFile(DeviceLockFile&& other) noexcept
    : path_(std::move(other.path_)), written_(other.written_) {
    other.written_ = 0;
}

bool DeviceLockFile::Take(const std::string& deviceName, DeviceHolder* holder) {
    const std::string path = LockFolder() + "/LCK.." + deviceName;
    const pid_t self = getpid();
    // A stale file is removed and the exclusive create tried again; another
    // program may win that race, and the next round reads its file.
    for (int round = 0; round < 3; ++round) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            char text[16];
            const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(self));
            fchmod(fd, 0644);  // readable by every program, whatever our umask
            const bool whole = write(fd, text, static_cast<size_t>(length)) == length;
            close(fd);
            if (!whole) {
                unlink(path.c_str());  // a full file system: go without one
                return true;
            }
            path_ = path;
            written_ = self;
            return true;
        }
        if (errno != EEXIST) {
            return true;  // no lock folder we may write to
        }
        const pid_t owner = ReadLockPid(path);
        if (owner <= 0) {
            return true;  // still being written, or in a form we cannot judge
        }
        if (owner != self && IsAlive(owner)) {
            holder->pid = owner;
            holder->command = CommandOf(owner);
            return false;
        }
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            return true;  // stale, but not ours to remove
        }
    }
    return true;
}

void DeviceLockFile::Release() {
    if (written_ != 0 && ReadLockPid(path_) == written_) {
        unlink(path_.c_str());
    }
    written_ = 0;
}

bool FindOtherHolder(int fd, DeviceHolder* holder) {
    struct stat own;
    if (fstat(fd, &own) != 0) {
        return false;
    }
    const long ptyIndex = major(own.st_rdev) == kPtySlaveMajor ? static_cast<long>(minor(own.st_rdev)) : -1;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return false;
    }
    const std::string self = std::to_string(getpid());
    bool found = false;
    while (const struct dirent* entry = readdir(proc)) {
        const char* name = entry->d_name;
        if (name[0] < '1' || name[0] > '9' || std::strspn(name, "0123456789") != std::strlen(name) || self == name) {
            continue;
        }
        const Use use = UseByProcess(name, own, ptyIndex);
        if (use.device && !use.master) {
            holder->pid = static_cast<pid_t>(std::atol(name));
            holder->command = CommandOf(holder->pid);
            found = true;
            break;
        }
    }
    closedir(proc);
    return found;
}

bool ClaimDevice(int fd, const std::string& path, DeviceLockFile* lock) {
    // Named as the device, not as the link it was reached through, so every
    // program that locks it agrees on the lock file.
    char* resolved = realpath(path.c_str(), nullptr);
    const std::string device = resolved ? resolved : path;
    std::free(resolved);
    const std::string name = device.substr(device.rfind('/') + 1);
    const char* shared = std::getenv("GLOBALTOOLS_SERIAL_SHARED");
    const bool sharingWanted = shared != nullptr && std::strcmp(shared, "1") == 0;

    DeviceHolder holder;
    bool held = !lock->Take(name, &holder);
    if (sharingWanted) {
        return true;
    }
    if (!held) {
        held = FindOtherHolder(fd, &holder);
    }
    if (!held) {
        return true;
    }
    lock->Release();
    std::fprintf(stderr, "%s: %s is open in %s (process %d)\n", program_invocation_short_name, device.c_str(),
                 holder.command.c_str(), static_cast<int>(holder.pid));
    return false;
}

}  // namespace comm
}  // namespace pal
