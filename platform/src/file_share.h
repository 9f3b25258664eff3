// Windows' file sharing for the POSIX build: every open of a file through
// the layer states what it reads and writes and what it lets others do, and
// an open that clashes with one still open anywhere, in this process or
// another, is refused as Windows refuses it (ERROR_SHARING_VIOLATION, which
// the C runtime reports as EACCES).
#ifndef PLATFORM_SRC_FILE_SHARE_H
#define PLATFORM_SRC_FILE_SHARE_H

namespace pal {

// The access one open asks for and the sharing it grants (FILE_SHARE_READ,
// FILE_SHARE_WRITE). Delete access and FILE_SHARE_DELETE are not modelled.
struct ShareRequest {
    bool read;
    bool write;
    bool shareRead;
    bool shareWrite;
};

// Checks request against every open of the same file that holds share
// locks, and on success records it on fd's open file description, where it
// stays until the description's last descriptor is closed. fd must be open
// for reading (the record is a set of read locks). Returns 0, EACCES for a
// sharing violation, or the errno of a failed lock call.
int TakeShareLocks(int fd, const ShareRequest& request);

}  // namespace pal

#endif  // PLATFORM_SRC_FILE_SHARE_H
