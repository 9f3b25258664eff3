// POSIX only: terminal devices named by their own path. A name under /dev/,
// or one that leads to a character device, opens as a port; anything there
// that is no terminal fails as a missing port does, and the names of
// ordinary files and folders keep the disk-file road.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

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

}  // namespace
