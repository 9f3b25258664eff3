// The control port as a file (see device_file.h).
#include "device_file.h"

#include <fcntl.h>
#include <linux/usb/cdc-wdm.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <thread>

#include "discovery.h"
#include "hresult.h"

namespace mbnmbim {

namespace {

std::string LockPathFor(dev_t device) {
    struct stat folder;
    const std::string dir = stat("/run/lock", &folder) == 0 && S_ISDIR(folder.st_mode) ? "/run/lock" : "/tmp";
    return dir + "/globaltools-mbim-" + std::to_string(major(device)) + "-" + std::to_string(minor(device)) + ".lock";
}

// "atcmd (process 1234)" from the holder's process ID in the lock file.
std::string Holder(int fd) {
    char text[32] = {};
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    const long pid = n > 0 ? std::strtol(text, nullptr, 10) : 0;
    if (pid <= 0) return "another process";
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    const std::string process = "process " + std::to_string(pid);
    return name.empty() ? process : name + " (" + process + ")";
}

}  // namespace

HRESULT DeviceLock::Acquire(const std::string& path, std::chrono::milliseconds bound, std::string* reason,
                            std::string* warning) {
    Release();
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return S_OK;  // the open itself says why
    const std::string lockPath = LockPathFor(info.st_rdev);
    // Made readable and writable by all: a port may be opened by root and by
    // its group's users in turn. The sticky lock folder keeps others from
    // removing it.
    int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0) fchmod(fd, 0666);
    if (fd < 0) {
        *warning = "cannot make the lock file " + lockPath + " (" + std::strerror(errno) +
                   "); the MBIM device is opened without it";
        return S_OK;
    }
    const auto end = std::chrono::steady_clock::now() + bound;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            *warning =
                "cannot lock " + lockPath + " (" + std::strerror(errno) + "); the MBIM device is opened without it";
            close(fd);
            return S_OK;
        }
        if (std::chrono::steady_clock::now() >= end) {
            *reason = "in use by " + Holder(fd) + "; gave up after " +
                      std::to_string(std::chrono::duration_cast<std::chrono::seconds>(bound).count()) + " s";
            close(fd);
            return kSharingViolation;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Without this note the lock holds all the same; a waiter names no holder.
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) == 0) (void)!pwrite(fd, pid.data(), pid.size(), 0);
    fd_ = fd;
    return S_OK;
}

void DeviceLock::Release() {
    if (fd_ < 0) return;
    close(fd_);  // lets the flock go
    fd_ = -1;
}

unsigned MaxMessageFromSysfs(const std::string& path) {
    const unsigned max = MaxControlMessageInSysfs(SysfsRoot(), path);
    return max != 0 ? max : kLibmbimTransfer;
}

HRESULT ProbeDevice(const std::string& path, unsigned* maxMessage, std::string* reason) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        *reason = std::strerror(errno);
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    if (!S_ISCHR(info.st_mode)) {
        *reason = "not a character device";
        return kBadDevice;
    }
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        *reason = std::strerror(error);
        switch (error) {
        case EACCES:
        case EPERM: return E_ACCESSDENIED;
        case EBUSY: *reason += " (another program has it open)"; return kBusy;
        case ENODEV:
        case ENXIO: return kDeviceGone;
        default: return E_FAIL;
        }
    }
    uint16_t max = 0;
    *maxMessage = ioctl(fd, IOCTL_WDM_MAX_COMMAND, &max) == 0 && max != 0 ? max : MaxMessageFromSysfs(path);
    close(fd);
    return S_OK;
}

}  // namespace mbnmbim
