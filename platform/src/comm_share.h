// Sharing a serial device with the other programs of a Linux system, where an
// exclusive open is only advisory. Our own opens keep apart through the flock
// comm.cpp takes; other programs are found the two ways Linux serial tools
// announce themselves: the UUCP lock file /run/lock/LCK..<device> (HDB form:
// the holder's PID as ten characters and a newline), and the descriptors
// each process has open, as /proc shows them. docs/serial-ports.md gives the
// rules from the user's side.
#ifndef PLATFORM_SRC_COMM_SHARE_H
#define PLATFORM_SRC_COMM_SHARE_H

#include <sys/types.h>

#include <string>

namespace pal {
namespace comm {

// A process found holding a device.
struct DeviceHolder {
    pid_t pid = 0;
    std::string command;  // what /proc/<pid>/comm says
};

// This process's UUCP lock file for one device, removed on Release (or
// destruction) if this object wrote it.
class DeviceLockFile {
public:
    DeviceLockFile() = default;
    DeviceLockFile(DeviceLockFile&& other) noexcept;
    DeviceLockFile& operator=(DeviceLockFile&&) = delete;
    DeviceLockFile(const DeviceLockFile&) = delete;
    DeviceLockFile& operator=(const DeviceLockFile&) = delete;
    ~DeviceLockFile() { Release(); }

    // Writes LCK..<deviceName> with this process's PID, created exclusively
    // or in place of one whose process has ended. False, with *holder filled
    // and nothing written, when the file names a live process other than
    // this one. A lock folder that cannot be written is passed over: true,
    // nothing written.
    bool Take(const std::string& deviceName, DeviceHolder* holder);
    // Removes the file if this object wrote it and it still names us.
    void Release();

private:
    std::string path_;
    pid_t written_ = 0;  // the PID in the file we wrote; 0: none
};

// True, with *holder filled, when a process other than this one has fd's
// device open, as far as /proc lets us see (an unprivileged user sees only
// its own processes). The master side of a pseudo-terminal is the device
// itself, not a competitor: a process holding the master of the pty whose
// slave fd is does not count, even if it holds the slave as well. One pass
// over /proc.
bool FindOtherHolder(int fd, DeviceHolder* holder);

// Decides, with the flock already held, whether this process may have the
// device that fd has open at path. Unless GLOBALTOOLS_SERIAL_SHARED is "1",
// a live foreign lock file or another holder (FindOtherHolder) refuses it:
// false, and one line on standard error names the holder. Otherwise true,
// with *lock holding our lock file when one could be written.
bool ClaimDevice(int fd, const std::string& path, DeviceLockFile* lock);

}  // namespace comm
}  // namespace pal

#endif  // PLATFORM_SRC_COMM_SHARE_H
