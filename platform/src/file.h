// Disk files behind CreateFileW handles on POSIX: opened with Windows'
// access, sharing and creation rules, read and written synchronously.
#ifndef PLATFORM_SRC_FILE_H
#define PLATFORM_SRC_FILE_H

#include <memory>

#include "handle.h"

namespace pal {

// The descriptor may be open for more than the handle's access (the share
// record needs read access), so the handle's own access is kept here.
class DiskFile : public KernelObject {
public:
    DiskFile(int fd, bool readable, bool writable) : fd_(fd), readable_(readable), writable_(writable) {}
    ~DiskFile() override;
    int fd() const { return fd_; }
    bool readable() const { return readable_; }
    bool writable() const { return writable_; }

private:
    const int fd_;
    const bool readable_;
    const bool writable_;
};

// CreateFileW for a name that is not a COM port.
HANDLE OpenDiskFile(LPCWSTR name, DWORD access, DWORD shareMode, DWORD disposition);

// ReadFile and WriteFile on a disk file; overlapped I/O is refused.
BOOL ReadDiskFile(DiskFile& file, LPVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED overlapped);
BOOL WriteDiskFile(DiskFile& file, LPCVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED overlapped);

}  // namespace pal

#endif  // PLATFORM_SRC_FILE_H
