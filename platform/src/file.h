// Disk files behind CreateFileW handles on POSIX: opened with Windows'
// access, sharing and creation rules, read and written synchronously.
#ifndef PLATFORM_SRC_FILE_H
#define PLATFORM_SRC_FILE_H

#include <memory>

#include "handle.h"

namespace pal {

class DiskFile : public KernelObject {
public:
    explicit DiskFile(int fd) : fd_(fd) {}
    void OnClose() override;
    int fd() const { return fd_; }

private:
    int fd_;
};

// CreateFileW for a name that is not a COM port.
HANDLE OpenDiskFile(LPCWSTR name, DWORD access, DWORD shareMode, DWORD disposition);

// ReadFile and WriteFile on a disk file; overlapped I/O is refused.
BOOL ReadDiskFile(DiskFile& file, LPVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED overlapped);
BOOL WriteDiskFile(DiskFile& file, LPCVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED overlapped);

}  // namespace pal

#endif  // PLATFORM_SRC_FILE_H
