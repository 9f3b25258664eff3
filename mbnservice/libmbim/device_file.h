// The control port as a file, before and beside libmbim: what opening it
// says (busy, access denied, gone), the device's largest control message, and
// the lock that keeps our own processes from reading one port at once.
//
// The lock: cdc-wdm hands each reply to whichever opener reads first, so two
// processes that open one port directly take each other's answers. Every
// direct open holds an exclusive flock on /run/lock/globaltools-mbim-M-N.lock
// (M:N the port's device number, so every path to one port agrees) from
// before libmbim opens the port until its file is closed. The file holds the
// holder's process ID, for the message a waiter gives when its bound runs out.
#ifndef MBNSERVICE_LIBMBIM_DEVICE_FILE_H
#define MBNSERVICE_LIBMBIM_DEVICE_FILE_H

#include <chrono>
#include <string>

#include "platform/winapi.h"

namespace mbnmbim {

// How long a direct open waits for another process to let the port go.
constexpr std::chrono::seconds kLockWait(30);
// What libmbim writes in one piece and announces when the device does not say.
constexpr unsigned kLibmbimTransfer = 4096;

class DeviceLock {
public:
    DeviceLock() = default;
    ~DeviceLock() { Release(); }
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;

    // Takes the lock of the port at path, waiting at most bound. A lock file
    // that cannot be made leaves the port unlocked (S_OK, *warning says so).
    HRESULT Acquire(const std::string& path, std::chrono::milliseconds bound, std::string* reason,
                    std::string* warning);
    void Release();

private:
    int fd_ = -1;
};

// Opens the port once as libmbim will (read and write, no controlling
// terminal) and closes it again, so an open that fails says why; *maxMessage
// is the device's largest control message (IOCTL_WDM_MAX_COMMAND, else the
// USB descriptors in sysfs, else kLibmbimTransfer).
HRESULT ProbeDevice(const std::string& path, unsigned* maxMessage, std::string* reason);

// The largest control message of a port that is not opened here (through
// mbim-proxy): the USB descriptors in sysfs, else kLibmbimTransfer.
unsigned MaxMessageFromSysfs(const std::string& path);

}  // namespace mbnmbim

#endif
