// Sharing modes of files across processes, built on two kinds of lock that
// belong to an open file description (not to a process), so they follow the
// descriptor through fdopen and fopencookie and end with its last close, or
// with the process:
// - four marker bytes far beyond any real data, each read-locked by every
//   open that has the property it stands for (opened for reading, opened for
//   writing, denies reading, denies writing). An F_OFD_GETLK probe for a
//   write lock on a marker tells whether any other open holds it;
// - a whole-file flock held only while one open probes and takes its
//   markers, so that two opens cannot both pass the check before either has
//   recorded itself.
// Opens made without this layer (other programs, std::ifstream) are not seen,
// and do not see these.
#include "file_share.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace pal {
namespace {

// Marker offsets: the last bytes a 64-bit off_t can name, which no file here
// ever reaches. Locks beyond the end of a file are allowed and change nothing
// in it.
const off_t kMarkerBase = INT64_MAX - 8;
enum Marker : off_t { kOpenForRead = 0, kOpenForWrite = 1, kDeniesRead = 2, kDeniesWrite = 3 };

struct flock MarkerLock(Marker marker, short type) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = kMarkerBase + marker;
    lock.l_len = 1;
    return lock;
}

// 1 when another open file description holds marker, 0 when none does, -1
// with errno when the probe failed.
int HeldElsewhere(int fd, Marker marker) {
    struct flock probe = MarkerLock(marker, F_WRLCK);
    if (fcntl(fd, F_OFD_GETLK, &probe) != 0) return -1;
    return probe.l_type == F_UNLCK ? 0 : 1;
}

int Mark(int fd, Marker marker) {
    struct flock lock = MarkerLock(marker, F_RDLCK);
    return fcntl(fd, F_OFD_SETLK, &lock) == 0 ? 0 : errno;
}

// The sharing rule: a new open fails when it wants access that an open one
// does not share, or refuses to share access that an open one has.
int CheckAndMark(int fd, const ShareRequest& request) {
    const struct {
        bool applies;
        Marker clashesWith;
    } checks[] = {
        {request.read, kDeniesRead},
        {request.write, kDeniesWrite},
        {!request.shareRead, kOpenForRead},
        {!request.shareWrite, kOpenForWrite},
    };
    for (const auto& check : checks) {
        if (!check.applies) continue;
        int held = HeldElsewhere(fd, check.clashesWith);
        if (held < 0) return errno;
        if (held > 0) return EACCES;
    }
    const struct {
        bool applies;
        Marker marker;
    } marks[] = {
        {request.read, kOpenForRead},
        {request.write, kOpenForWrite},
        {!request.shareRead, kDeniesRead},
        {!request.shareWrite, kDeniesWrite},
    };
    for (const auto& mark : marks) {
        if (!mark.applies) continue;
        int err = Mark(fd, mark.marker);
        if (err != 0) return err;
    }
    return 0;
}

}  // namespace

int TakeShareLocks(int fd, const ShareRequest& request) {
    // An open without data access (attributes only) neither meets nor
    // stops the others.
    if (!request.read && !request.write) return 0;
    // Only files keep a record: a device is not shared this way, and a tty
    // that an open COM port holds locked would block this lock for good.
    struct stat info;
    if (fstat(fd, &info) == 0 && !S_ISREG(info.st_mode)) return 0;
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) return errno;
    }
    int result = CheckAndMark(fd, request);
    flock(fd, LOCK_UN);
    return result;
}

}  // namespace pal
