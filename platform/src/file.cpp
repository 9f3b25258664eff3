// Disk files through CreateFileW: Windows' creation dispositions and share
// modes (file_share.h, the same rules and records as fopen_s and _fsopen, so
// the three see each other across processes), and synchronous ReadFile and
// WriteFile on the handle.
// Implements: CreateFileW for names other than COM ports (through comm.cpp's
//   CreateFileW), ReadFile and WriteFile on such handles.
// Not implemented: overlapped I/O on files, FILE_SHARE_DELETE and delete
//   access, attributes and flags other than the access wanted, templates.
#include "file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "file_share.h"
#include "path_map.h"
#include "utf16.h"

namespace pal {
namespace {

// Opens path without creating it, or creates it when the disposition
// allows; existed tells which happened. -1 with errno on failure.
int OpenOrCreate(const std::string& path, int accessFlags, DWORD disposition, bool& existed) {
    const bool mayCreate = disposition == CREATE_NEW || disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (disposition != CREATE_NEW) {
            int fd = open(path.c_str(), accessFlags | O_CLOEXEC);
            if (fd >= 0 || errno != ENOENT || !mayCreate) {
                existed = fd >= 0;
                return fd;
            }
        }
        int fd = open(path.c_str(), accessFlags | O_CLOEXEC | O_CREAT | O_EXCL, 0666);
        if (fd >= 0 || errno != EEXIST || disposition == CREATE_NEW) {
            existed = false;
            return fd;
        }
        // Made by someone else in between: open it as existing.
    }
    errno = EEXIST;
    return -1;
}

// What ReadFile and WriteFile check first: overlapped I/O is refused, and
// the handle must have the access (false with the last error set).
bool MayTransfer(bool allowed, LPOVERLAPPED overlapped) {
    if (overlapped) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    if (!allowed) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

}  // namespace

// Closed with the last reference, not at CloseHandle: a ReadFile or
// WriteFile still running on another thread keeps the descriptor it uses.
DiskFile::~DiskFile() { close(fd_); }

HANDLE OpenDiskFile(LPCWSTR name, DWORD access, DWORD shareMode, DWORD disposition) {
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
        (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // Device names other than COM ports are not files.
    if (name[0] == L'\\' && name[1] == L'\\') {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const ShareRequest request = {(access & GENERIC_READ) != 0, (access & GENERIC_WRITE) != 0,
                                  (shareMode & FILE_SHARE_READ) != 0, (shareMode & FILE_SHARE_WRITE) != 0};
    const std::string path = ToPosixPath(Utf16ToUtf8(name).c_str());
    // Read access too whenever possible: the share record is a set of read
    // locks. A file that cannot be read is opened for writing only, without
    // a record.
    bool existed = false;
    bool recorded = true;
    int fd = OpenOrCreate(path, request.write ? O_RDWR : O_RDONLY, disposition, existed);
    if (fd < 0 && errno == EACCES && request.write && !request.read) {
        fd = OpenOrCreate(path, O_WRONLY, disposition, existed);
        recorded = false;
    }
    if (fd < 0) {
        SetLastError(errno == EEXIST ? ERROR_FILE_EXISTS : Win32ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    int err = recorded ? TakeShareLocks(fd, request) : 0;
    const bool truncate = existed && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
    if (err == 0 && truncate && ftruncate(fd, 0) != 0) err = errno;
    if (err != 0) {
        close(fd);
        SetLastError(err == EACCES ? ERROR_SHARING_VIOLATION : Win32ErrorFromErrno(err));
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = InsertHandle(std::make_shared<DiskFile>(fd, request.read, request.write));
    // As documented: an existing file opened by CREATE_ALWAYS or OPEN_ALWAYS
    // reports ERROR_ALREADY_EXISTS, a new one 0.
    const bool reportsExisting = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    SetLastError(reportsExisting && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

BOOL ReadDiskFile(DiskFile& file, LPVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED overlapped) {
    if (!MayTransfer(file.readable(), overlapped)) return FALSE;
    ssize_t n;
    do {
        n = read(file.fd(), buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return FALSE;
    }
    if (done) *done = static_cast<DWORD>(n);
    return TRUE;
}

BOOL WriteDiskFile(DiskFile& file, LPCVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED overlapped) {
    if (!MayTransfer(file.writable(), overlapped)) return FALSE;
    const char* bytes = static_cast<const char*>(buffer);
    DWORD written = 0;
    while (written < size) {
        ssize_t n = write(file.fd(), bytes + written, size - written);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (done) *done = written;
            SetLastError(Win32ErrorFromErrno(errno));
            return FALSE;
        }
        written += static_cast<DWORD>(n);
    }
    if (done) *done = written;
    return TRUE;
}

}  // namespace pal
