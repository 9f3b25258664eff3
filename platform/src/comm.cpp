// Serial ports over termios, with overlapped I/O as Windows does it: a read
// or write either completes inside the call or returns ERROR_IO_PENDING and
// is finished later by the port's worker thread, which then fills the
// OVERLAPPED block and signals its event.
// Implements: CreateFileW (COM ports and terminal devices named by path
//   here; other names are disk files, file.cpp), ReadFile, WriteFile,
//   GetOverlappedResult, CancelIoEx, SetCommTimeouts, GetCommTimeouts,
//   SetCommMask, GetCommMask, GetCommState, SetCommState, BuildCommDCBW,
//   ClearCommError.
// Not implemented: devices other than terminals in CreateFileW, WaitCommEvent
//   (the mask is only stored), line-error reporting in ClearCommError,
//   baud rates without a termios constant, DSR/XON limits (see
//   docs/platform-coverage.md).
//
// Pending I/O: every request sits in its port's read or write queue while it
// runs. Completion (worker), time-out (worker), cancel (CancelIoEx) and close
// (CloseHandle) all run under the port lock and first remove the request from
// its queue; only the one that removed it completes it, so a request is
// completed exactly once. All device I/O also runs under that lock, so once a
// request is completed no one touches its buffer or its OVERLAPPED again.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "comm_dcb.h"
#include "comm_names.h"
#include "comm_share.h"
#include "file.h"
#include "handle.h"

namespace pal {
namespace {

using Clock = std::chrono::steady_clock;

// The OVERLAPPED Internal field holds the request's status as Windows keeps
// it there, an NTSTATUS.
constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
constexpr ULONG_PTR kStatusUnsuccessful = 0xC0000001;

DWORD ErrorFromStatus(ULONG_PTR status) {
    switch (status) {
    case kStatusSuccess: return ERROR_SUCCESS;
    case kStatusPending: return ERROR_IO_INCOMPLETE;
    case kStatusCancelled: return ERROR_OPERATION_ABORTED;
    default: return ERROR_GEN_FAILURE;
    }
}

struct Request {
    bool isRead = false;
    LPOVERLAPPED ov = nullptr;  // null for a synchronous call
    HANDLE event = nullptr;     // ov->hEvent as it was when the call started
    unsigned char* buffer = nullptr;
    DWORD size = 0;
    DWORD transferred = 0;
    bool finished = false;
    ULONG_PTR status = kStatusPending;
    bool hasTotalDeadline = false;
    Clock::time_point totalDeadline;
    DWORD intervalMs = 0;  // 0: no interval time-out
    Clock::time_point lastByte;
    bool returnOnFirstData = false;
};
using RequestPtr = std::shared_ptr<Request>;

class CommPort : public KernelObject {
public:
    CommPort(int fd, bool overlapped, comm::DeviceLockFile lockFile)
        : fd_(fd), overlapped_(overlapped), lockFile_(std::move(lockFile)) {}
    ~CommPort() override;

    bool Start();
    void OnClose() override;

    BOOL Submit(const RequestPtr& req, LPDWORD transferred);
    BOOL Result(LPOVERLAPPED ov, LPDWORD transferred, BOOL wait);
    BOOL Cancel(LPOVERLAPPED ov);
    BOOL ClearError(LPDWORD errors, LPCOMSTAT stat);
    BOOL SetState(const DCB& dcb);
    BOOL GetState(DCB* dcb);
    BOOL SetTimeouts(const COMMTIMEOUTS& t);
    BOOL GetTimeouts(COMMTIMEOUTS* t);
    BOOL SetMask(DWORD mask);
    BOOL GetMask(LPDWORD mask);
    void InitialiseShadow();

private:
    void Run();
    void Wake();
    // Both with lock_ held.
    bool Complete(RequestPtr req, ULONG_PTR status);  // by value: req may live in the queue it leaves
    bool Progress(const RequestPtr& req, bool hungUp);
    void Arm(const RequestPtr& req);
    bool RemoveFromQueue(const RequestPtr& req);

    int fd_;
    bool overlapped_;
    comm::DeviceLockFile lockFile_;
    int wake_[2] = {-1, -1};
    std::thread worker_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool closing_ = false;
    std::deque<RequestPtr> reads_;
    std::deque<RequestPtr> writes_;
    COMMTIMEOUTS timeouts_ = {};
    DWORD mask_ = 0;
    DCB shadow_ = {};  // the members termios has no room for
};

CommPort::~CommPort() {
    if (worker_.joinable()) {
        worker_.join();
    }
    for (int fd : wake_) {
        if (fd >= 0) {
            close(fd);
        }
    }
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool CommPort::Start() {
    if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
        return false;
    }
    try {
        worker_ = std::thread(&CommPort::Run, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void CommPort::Wake() {
    const char b = 1;
    ssize_t ignored = write(wake_[1], &b, 1);  // a full pipe is already a wake-up
    (void)ignored;
}

void CommPort::OnClose() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        closing_ = true;
        while (!reads_.empty()) {
            Complete(reads_.front(), kStatusCancelled);
        }
        while (!writes_.empty()) {
            Complete(writes_.front(), kStatusCancelled);
        }
    }
    Wake();
    if (worker_.joinable()) {
        worker_.join();
    }
    std::lock_guard<std::mutex> guard(lock_);
    // The lock file goes first, and the flock with the descriptor itself:
    // whoever gets the flock next finds neither left behind.
    lockFile_.Release();
    ioctl(fd_, TIOCNXCL);
    close(fd_);
    fd_ = -1;
}

bool CommPort::RemoveFromQueue(const RequestPtr& req) {
    std::deque<RequestPtr>& queue = req->isRead ? reads_ : writes_;
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (*it == req) {
            queue.erase(it);
            return true;
        }
    }
    return false;
}

bool CommPort::Complete(RequestPtr req, ULONG_PTR status) {
    if (!RemoveFromQueue(req)) {
        return false;
    }
    req->finished = true;
    req->status = status;
    if (req->ov) {
        req->ov->Internal = status;
        req->ov->InternalHigh = req->transferred;
        if (req->event) {
            SetEvent(req->event);
        }
    }
    changed_.notify_all();
    return true;
}

// Moves what the device can take or give right now. Returns true when the
// request has got what it waits for (or failed) and should be completed.
bool CommPort::Progress(const RequestPtr& req, bool hungUp) {
    while (req->transferred < req->size) {
        ssize_t n;
        if (req->isRead) {
            n = read(fd_, req->buffer + req->transferred, req->size - req->transferred);
        } else {
            n = write(fd_, req->buffer + req->transferred, req->size - req->transferred);
        }
        if (n > 0) {
            req->transferred += static_cast<DWORD>(n);
            req->lastByte = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN && !hungUp) {
            return req->returnOnFirstData && req->transferred > 0;
        }
        req->status = kStatusUnsuccessful;  // hang-up, EIO, end of file
        return true;
    }
    return true;
}

// Computes the request's time-outs from the port's COMMTIMEOUTS.
void CommPort::Arm(const RequestPtr& req) {
    const Clock::time_point now = Clock::now();
    req->lastByte = now;
    DWORD multiplier, constant;
    if (req->isRead) {
        const COMMTIMEOUTS& t = timeouts_;
        if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
            t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD) {
            req->returnOnFirstData = true;
            multiplier = 0;
        } else {
            req->intervalMs = t.ReadIntervalTimeout == MAXDWORD ? 0 : t.ReadIntervalTimeout;
            multiplier = t.ReadTotalTimeoutMultiplier;
        }
        constant = t.ReadTotalTimeoutConstant;
    } else {
        multiplier = timeouts_.WriteTotalTimeoutMultiplier;
        constant = timeouts_.WriteTotalTimeoutConstant;
    }
    const uint64_t total = static_cast<uint64_t>(multiplier) * req->size + constant;
    if (req->isRead && timeouts_.ReadIntervalTimeout == MAXDWORD && multiplier == 0 && constant == 0) {
        // "Return at once": a read queued behind another one ends as soon
        // as the worker reaches it.
        req->hasTotalDeadline = true;
        req->totalDeadline = now;
    } else if (multiplier != 0 || constant != 0) {
        req->hasTotalDeadline = true;
        req->totalDeadline = now + std::chrono::milliseconds(total);
    }
}

BOOL CommPort::Submit(const RequestPtr& req, LPDWORD transferred) {
    std::unique_lock<std::mutex> guard(lock_);
    if (closing_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (req->event) {
        ResetEvent(req->event);
    }
    if (req->ov) {
        req->ov->Internal = kStatusPending;
        req->ov->InternalHigh = 0;
    }
    Arm(req);
    std::deque<RequestPtr>& queue = req->isRead ? reads_ : writes_;
    queue.push_back(req);
    const COMMTIMEOUTS& t = timeouts_;
    const bool immediate = req->isRead && t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                           t.ReadTotalTimeoutConstant == 0;
    if (queue.size() == 1) {
        bool done = Progress(req, false);
        if (done || immediate) {
            Complete(req, req->status == kStatusPending ? kStatusSuccess : req->status);
        }
    }
    if (!req->finished) {
        Wake();
        if (req->ov && overlapped_) {
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        changed_.wait(guard, [&] { return req->finished; });
    }
    if (transferred) {
        *transferred = req->transferred;
    }
    if (req->status != kStatusSuccess) {
        SetLastError(ErrorFromStatus(req->status));
        return FALSE;
    }
    return TRUE;
}

void CommPort::Run() {
    std::unique_lock<std::mutex> guard(lock_);
    while (!closing_) {
        const RequestPtr read = reads_.empty() ? nullptr : reads_.front();
        const RequestPtr write = writes_.empty() ? nullptr : writes_.front();
        const Clock::time_point now = Clock::now();
        bool anyDeadline = false;
        Clock::time_point next = now + std::chrono::hours(1);
        for (const RequestPtr& req : {read, write}) {
            if (!req) {
                continue;
            }
            const bool intervalOver = req->intervalMs != 0 && req->transferred > 0 &&
                                      now >= req->lastByte + std::chrono::milliseconds(req->intervalMs);
            if ((req->hasTotalDeadline && now >= req->totalDeadline) || intervalOver) {
                Complete(req, kStatusSuccess);  // a serial time-out is a short success
                continue;
            }
            if (req->hasTotalDeadline && req->totalDeadline < next) {
                next = req->totalDeadline;
                anyDeadline = true;
            }
            if (req->intervalMs != 0 && req->transferred > 0) {
                const Clock::time_point due = req->lastByte + std::chrono::milliseconds(req->intervalMs);
                if (due < next) {
                    next = due;
                    anyDeadline = true;
                }
            }
        }
        const RequestPtr activeRead = reads_.empty() ? nullptr : reads_.front();
        const RequestPtr activeWrite = writes_.empty() ? nullptr : writes_.front();
        if (activeRead != read || activeWrite != write) {
            continue;  // something completed: look at the new heads first
        }
        struct pollfd fds[2] = {{wake_[0], POLLIN, 0}, {fd_, 0, 0}};
        if (read) {
            fds[1].events |= POLLIN;
        }
        if (write) {
            fds[1].events |= POLLOUT;
        }
        int timeoutMs = -1;
        if (anyDeadline) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
            timeoutMs = static_cast<int>(ms);
        }
        guard.unlock();
        int ready = poll(fds, fds[1].events ? 2 : 1, timeoutMs);
        guard.lock();
        if (ready < 0) {
            continue;
        }
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (::read(wake_[0], drain, sizeof drain) > 0) {}
        }
        if (closing_) {
            break;
        }
        const bool hungUp = (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        for (std::deque<RequestPtr>* queue : {&reads_, &writes_}) {
            if (queue->empty()) {
                continue;
            }
            const RequestPtr req = queue->front();
            const short wanted = req->isRead ? POLLIN : POLLOUT;
            if ((fds[1].revents & wanted) || hungUp) {
                if (Progress(req, hungUp)) {
                    Complete(req, req->status == kStatusPending ? kStatusSuccess : req->status);
                }
            }
        }
    }
}

BOOL CommPort::Result(LPOVERLAPPED ov, LPDWORD transferred, BOOL wait) {
    std::unique_lock<std::mutex> guard(lock_);
    if (ov->Internal == kStatusPending) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        changed_.wait(guard, [&] { return ov->Internal != kStatusPending; });
    }
    if (transferred) {
        *transferred = static_cast<DWORD>(ov->InternalHigh);
    }
    if (ov->Internal != kStatusSuccess) {
        SetLastError(ErrorFromStatus(ov->Internal));
        return FALSE;
    }
    return TRUE;
}

BOOL CommPort::Cancel(LPOVERLAPPED ov) {
    std::lock_guard<std::mutex> guard(lock_);
    bool found = false;
    for (std::deque<RequestPtr>* queue : {&reads_, &writes_}) {
        for (size_t i = 0; i < queue->size();) {
            RequestPtr req = (*queue)[i];
            if (ov == nullptr || req->ov == ov) {
                Complete(req, kStatusCancelled);
                found = true;
            } else {
                ++i;
            }
        }
    }
    if (!found) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    Wake();
    return TRUE;
}

BOOL CommPort::ClearError(LPDWORD errors, LPCOMSTAT stat) {
    std::lock_guard<std::mutex> guard(lock_);
    int inQue = 0;
    int outQue = 0;
    struct pollfd pfd = {fd_, POLLIN, 0};
    if (closing_ || ioctl(fd_, FIONREAD, &inQue) != 0 || poll(&pfd, 1, 0) < 0) {
        SetLastError(closing_ ? ERROR_INVALID_HANDLE : ERROR_GEN_FAILURE);
        return FALSE;
    }
    if ((pfd.revents & (POLLHUP | POLLERR)) && inQue == 0) {
        SetLastError(ERROR_GEN_FAILURE);  // the device is gone
        return FALSE;
    }
    if (ioctl(fd_, TIOCOUTQ, &outQue) != 0) {
        outQue = 0;
    }
    if (errors) {
        *errors = 0;
    }
    if (stat) {
        std::memset(stat, 0, sizeof *stat);
        stat->cbInQue = static_cast<DWORD>(inQue);
        stat->cbOutQue = static_cast<DWORD>(outQue);
    }
    return TRUE;
}

void CommPort::InitialiseShadow() {
    shadow_.DCBlength = sizeof(DCB);
    shadow_.fBinary = 1;
    shadow_.fDtrControl = DTR_CONTROL_ENABLE;
    shadow_.fRtsControl = RTS_CONTROL_ENABLE;
    shadow_.XonLim = 2048;
    shadow_.XoffLim = 512;
    struct termios tio;
    if (tcgetattr(fd_, &tio) == 0) {
        shadow_.XonChar = static_cast<char>(tio.c_cc[VSTART]);
        shadow_.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    }
    if (shadow_.XonChar == shadow_.XoffChar) {
        shadow_.XonChar = 0x11;
        shadow_.XoffChar = 0x13;
    }
}

BOOL CommPort::SetState(const DCB& dcb) {
    speed_t speed;
    if (!comm::DcbIsValid(dcb) || !comm::SpeedFromBaud(dcb.BaudRate, &speed)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(lock_);
    struct termios tio;
    if (closing_ || tcgetattr(fd_, &tio) != 0) {
        SetLastError(closing_ ? ERROR_INVALID_HANDLE : ERROR_GEN_FAILURE);
        return FALSE;
    }
    const struct termios previous = tio;
    comm::TermiosFromDcb(dcb, speed, &tio);
    struct termios applied;
    if (tcsetattr(fd_, TCSANOW, &tio) != 0 || tcgetattr(fd_, &applied) != 0 || !comm::SameFrame(tio, applied)) {
        // The device did not take the frame (a pseudo-terminal has only 8
        // data bits without parity): leave it as it was.
        tcsetattr(fd_, TCSANOW, &previous);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Modem lines: a pseudo-terminal has none, so a refusal is not an error.
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    if (dcb.fDtrControl != DTR_CONTROL_HANDSHAKE) {
        ioctl(fd_, dcb.fDtrControl == DTR_CONTROL_ENABLE ? TIOCMBIS : TIOCMBIC, &dtr);
    }
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_DISABLE) {
        ioctl(fd_, dcb.fRtsControl == RTS_CONTROL_ENABLE ? TIOCMBIS : TIOCMBIC, &rts);
    }
    shadow_ = dcb;
    shadow_.DCBlength = sizeof(DCB);
    return TRUE;
}

BOOL CommPort::GetState(DCB* dcb) {
    std::lock_guard<std::mutex> guard(lock_);
    struct termios tio;
    if (closing_ || tcgetattr(fd_, &tio) != 0) {
        SetLastError(closing_ ? ERROR_INVALID_HANDLE : ERROR_GEN_FAILURE);
        return FALSE;
    }
    *dcb = shadow_;
    comm::DcbFromTermios(tio, dcb);
    return TRUE;
}

BOOL CommPort::SetTimeouts(const COMMTIMEOUTS& t) {
    std::lock_guard<std::mutex> guard(lock_);
    timeouts_ = t;
    return TRUE;
}

BOOL CommPort::GetTimeouts(COMMTIMEOUTS* t) {
    std::lock_guard<std::mutex> guard(lock_);
    *t = timeouts_;
    return TRUE;
}

BOOL CommPort::SetMask(DWORD mask) {
    std::lock_guard<std::mutex> guard(lock_);
    mask_ = mask;
    return TRUE;
}

BOOL CommPort::GetMask(LPDWORD mask) {
    std::lock_guard<std::mutex> guard(lock_);
    *mask = mask_;
    return TRUE;
}

std::shared_ptr<CommPort> PortFromHandle(HANDLE h) {
    std::shared_ptr<CommPort> port = ReferenceHandleAs<CommPort>(h);
    if (!port) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return port;
}

DWORD ErrorFromErrno(int err) {
    switch (err) {
    case EBUSY:
    case EACCES:
    case EPERM:
    case EWOULDBLOCK: return ERROR_ACCESS_DENIED;
    default: return ERROR_FILE_NOT_FOUND;
    }
}

// Puts the line into the state Windows ports always have: no line
// discipline, no echo, no character translation. Speed and framing stay.
void MakeRaw(int fd) {
    struct termios tio;
    if (tcgetattr(fd, &tio) == 0) {
        comm::MakeTermiosRaw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
}

}  // namespace
}  // namespace pal

/***********************************************************************
 *           CreateFileW
 *
 * PARAMS
 *  lpFileName            [I] "\\.\COMn" or "COMn", n from 1, a device's
 *                            absolute path, or a file's path
 *  dwDesiredAccess       [I] GENERIC_READ and/or GENERIC_WRITE
 *  dwShareMode           [I] files: FILE_SHARE_READ, FILE_SHARE_WRITE; a COM
 *                            port is always exclusive
 *  lpSecurityAttributes  [I] ignored
 *  dwCreationDisposition [I] COM ports: OPEN_EXISTING; files: any
 *  dwFlagsAndAttributes  [I] FILE_FLAG_OVERLAPPED for overlapped port I/O
 *  hTemplateFile         [I] ignored
 *
 * RETURNS
 *  The handle; INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND (no such port
 *  or file), ERROR_ACCESS_DENIED (a port held by another open through this
 *  layer, in this or another process), ERROR_SHARING_VIOLATION (a port
 *  another program uses; a file whose other opens do not allow this one),
 *  ERROR_FILE_EXISTS (CREATE_NEW) or ERROR_INVALID_PARAMETER.
 *
 * NOTES
 *  COMn names the device found through the COM folder (comm_names.h,
 *  docs/serial-ports.md), by default /dev/ttyS<n-1>. The line is made raw
 *  and both queues are emptied, as a Windows serial driver starts a session;
 *  speed and framing stay as they were. An absolute path under /dev/, or
 *  one that names a character device, opens that device the same way
 *  (comm::DevicePathFromName); if it is not a terminal (a regular file, a
 *  directory, /dev/null) the open fails with ERROR_FILE_NOT_FOUND, as for a
 *  missing port. Linux keeps exclusive opens advisory, so a port also
 *  looks for other programs (comm_share.h): a live UUCP lock file or another
 *  process with the device open refuses it with ERROR_SHARING_VIOLATION and
 *  a line on standard error, unless GLOBALTOOLS_SERIAL_SHARED is "1"; our
 *  own opens meet at the flock first, so they keep ERROR_ACCESS_DENIED and a
 *  caller can tell "wait for ourselves" from "someone else has it". While
 *  open, the port keeps its lock file in /run/lock. Other "\\.\" names
 *  fail with ERROR_FILE_NOT_FOUND; any other name is a disk file
 *  (file.cpp), shared with fopen_s and _fsopen opens by the same rules,
 *  without overlapped I/O.
 */
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    if (lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (PAL_FAULT_POINT("CreateFileW")) {
        SetLastError(ERROR_ACCESS_DENIED);  // as for a port another open of ours holds
        return INVALID_HANDLE_VALUE;
    }
    const int number = pal::comm::ComNumberFromName(lpFileName);
    std::string path;
    if (number > 0) {
        path = pal::comm::DevicePathForCom(number);
    } else if (!pal::comm::DevicePathFromName(lpFileName, &path)) {
        return pal::OpenDiskFile(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition);
    }
    if (dwCreationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // Only a character device is opened at all: a directory, a regular file
    // or a FIFO is no port, whatever opening it would do.
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        SetLastError(pal::ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    if (!S_ISCHR(st.st_mode)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    int flags = O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    const bool wantRead = (dwDesiredAccess & GENERIC_READ) != 0;
    const bool wantWrite = (dwDesiredAccess & GENERIC_WRITE) != 0;
    flags |= wantRead && wantWrite ? O_RDWR : wantWrite ? O_WRONLY : O_RDONLY;
    const int fd = open(path.c_str(), flags);
    if (fd < 0) {
        SetLastError(pal::ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    struct termios probe;
    if (tcgetattr(fd, &probe) != 0) {
        close(fd);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        close(fd);
        SetLastError(pal::ErrorFromErrno(err == EWOULDBLOCK ? EBUSY : err));
        return INVALID_HANDLE_VALUE;
    }
    // No open of ours holds it; other programs are asked next.
    pal::comm::DeviceLockFile lockFile;
    if (!pal::comm::ClaimDevice(fd, path, &lockFile)) {
        close(fd);
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    ioctl(fd, TIOCEXCL);  // keeps out other programs that do not take the lock
    pal::MakeRaw(fd);
    tcflush(fd, TCIOFLUSH);
    auto port =
        std::make_shared<pal::CommPort>(fd, (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0, std::move(lockFile));
    port->InitialiseShadow();
    if (!port->Start()) {
        port->OnClose();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return pal::InsertHandle(port);
}

/***********************************************************************
 *           ReadFile
 *
 * PARAMS
 *  hFile                [I] a port or disk-file handle
 *  lpBuffer             [O] receives the bytes
 *  nNumberOfBytesToRead [I] bytes wanted
 *  lpNumberOfBytesRead  [O] bytes read when the call completes at once
 *  lpOverlapped         [I/O] block for an overlapped read, or NULL
 *
 * RETURNS
 *  TRUE when done at once (the block and its event are set as well); FALSE
 *  with ERROR_IO_PENDING while it runs; FALSE with another error otherwise.
 *
 * NOTES
 *  A read ends when it has its bytes or by the port's COMMTIMEOUTS, as on
 *  Windows. A device that hangs up ends it with ERROR_GEN_FAILURE.
 */
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
    const std::shared_ptr<pal::KernelObject> object = pal::ReferenceHandle(hFile);
    const auto file = std::dynamic_pointer_cast<pal::DiskFile>(object);
    const auto port = std::dynamic_pointer_cast<pal::CommPort>(object);
    if (!file && !port) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (PAL_FAULT_POINT("ReadFile")) {
        SetLastError(ERROR_GEN_FAILURE);  // as for a device that stopped answering
        return FALSE;
    }
    if (lpBuffer == nullptr && nNumberOfBytesToRead != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lpNumberOfBytesRead) {
        *lpNumberOfBytesRead = 0;
    }
    if (file) {
        return pal::ReadDiskFile(*file, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
    }
    auto req = std::make_shared<pal::Request>();
    req->isRead = true;
    req->ov = lpOverlapped;
    req->event = lpOverlapped ? lpOverlapped->hEvent : nullptr;
    req->buffer = static_cast<unsigned char*>(lpBuffer);
    req->size = nNumberOfBytesToRead;
    return port->Submit(req, lpNumberOfBytesRead);
}

/***********************************************************************
 *           WriteFile
 *
 * PARAMS
 *  hFile                  [I] a port or disk-file handle
 *  lpBuffer               [I] the bytes
 *  nNumberOfBytesToWrite  [I] how many
 *  lpNumberOfBytesWritten [O] bytes written when the call completes at once
 *  lpOverlapped           [I/O] block for an overlapped write, or NULL
 *
 * RETURNS
 *  As ReadFile. The buffer must stay valid until the write has completed.
 */
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    const std::shared_ptr<pal::KernelObject> object = pal::ReferenceHandle(hFile);
    const auto file = std::dynamic_pointer_cast<pal::DiskFile>(object);
    const auto port = std::dynamic_pointer_cast<pal::CommPort>(object);
    if (!file && !port) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (PAL_FAULT_POINT("WriteFile")) {
        SetLastError(ERROR_GEN_FAILURE);  // as for a device that stopped answering
        return FALSE;
    }
    if (lpBuffer == nullptr && nNumberOfBytesToWrite != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lpNumberOfBytesWritten) {
        *lpNumberOfBytesWritten = 0;
    }
    if (file) {
        return pal::WriteDiskFile(*file, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped);
    }
    auto req = std::make_shared<pal::Request>();
    req->ov = lpOverlapped;
    req->event = lpOverlapped ? lpOverlapped->hEvent : nullptr;
    req->buffer = static_cast<unsigned char*>(const_cast<void*>(lpBuffer));
    req->size = nNumberOfBytesToWrite;
    return port->Submit(req, lpNumberOfBytesWritten);
}

/***********************************************************************
 *           GetOverlappedResult
 *
 * PARAMS
 *  hFile                      [I] the handle the I/O was started on
 *  lpOverlapped               [I] its block
 *  lpNumberOfBytesTransferred [O] bytes really transferred
 *  bWait                      [I] TRUE: wait until the I/O has completed
 *
 * RETURNS
 *  TRUE for a completed, successful I/O; FALSE with ERROR_IO_INCOMPLETE
 *  (still running, bWait FALSE), ERROR_OPERATION_ABORTED (cancelled or the
 *  handle closed) or ERROR_GEN_FAILURE (the device failed). The count is
 *  set in every completed case.
 *
 * NOTES
 *  Waits on the port's own completion signal rather than on hEvent, so a
 *  reset event does not make it wait forever.
 */
BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
    auto port = pal::PortFromHandle(hFile);
    if (!port) {
        return FALSE;
    }
    if (lpOverlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return port->Result(lpOverlapped, lpNumberOfBytesTransferred, bWait);
}

/***********************************************************************
 *           CancelIoEx
 *
 * PARAMS
 *  hFile        [I] the handle the I/O was started on
 *  lpOverlapped [I] the I/O to cancel, or NULL for all on hFile
 *
 * RETURNS
 *  TRUE when something was cancelled; FALSE with ERROR_NOT_FOUND otherwise.
 *
 * NOTES
 *  The cancelled I/O has completed with ERROR_OPERATION_ABORTED when this
 *  returns, with the bytes moved so far as its count; Windows may complete
 *  it a little later, so callers still reap it with GetOverlappedResult.
 */
BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
    auto port = pal::PortFromHandle(hFile);
    return port ? port->Cancel(lpOverlapped) : FALSE;
}

/***********************************************************************
 *           SetCommTimeouts / GetCommTimeouts
 *
 * PARAMS
 *  hFile          [I] a port handle
 *  lpCommTimeouts [I/O] the five time-outs in ms
 *
 * RETURNS
 *  TRUE; FALSE with ERROR_INVALID_HANDLE or ERROR_INVALID_PARAMETER (NULL).
 *  They apply to reads and writes started afterwards.
 */
BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    auto port = pal::PortFromHandle(hFile);
    if (!port) {
        return FALSE;
    }
    if (PAL_FAULT_POINT("SetCommTimeouts")) {
        SetLastError(ERROR_GEN_FAILURE);  // as for a device that stopped answering
        return FALSE;
    }
    if (!lpCommTimeouts) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return port->SetTimeouts(*lpCommTimeouts);
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    auto port = pal::PortFromHandle(hFile);
    if (!port) {
        return FALSE;
    }
    if (!lpCommTimeouts) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return port->GetTimeouts(lpCommTimeouts);
}

/***********************************************************************
 *           SetCommMask / GetCommMask
 *
 * PARAMS
 *  hFile     [I] a port handle
 *  dwEvtMask [I] EV_* bits; lpEvtMask [O] the stored bits
 *
 * RETURNS
 *  TRUE; FALSE with ERROR_INVALID_HANDLE.
 *
 * NOTES
 *  The mask is stored only: WaitCommEvent is not implemented.
 */
BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    auto port = pal::PortFromHandle(hFile);
    return port ? port->SetMask(dwEvtMask) : FALSE;
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    auto port = pal::PortFromHandle(hFile);
    if (!port) {
        return FALSE;
    }
    if (!lpEvtMask) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return port->GetMask(lpEvtMask);
}

/***********************************************************************
 *           GetCommState
 *
 * PARAMS
 *  hFile [I] a port handle
 *  lpDCB [O] the port's settings
 *
 * RETURNS
 *  TRUE; FALSE with ERROR_INVALID_HANDLE or ERROR_INVALID_PARAMETER.
 *
 * NOTES
 *  Speed, data bits, parity, stop bits, CTS and XON/XOFF flow control and
 *  the XON/XOFF characters are read from termios; the other members are
 *  those the last SetCommState gave (at first: binary, DTR and RTS on).
 */
BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
    auto port = pal::PortFromHandle(hFile);
    if (!port) {
        return FALSE;
    }
    if (PAL_FAULT_POINT("GetCommState")) {
        SetLastError(ERROR_GEN_FAILURE);  // as for a device that stopped answering
        return FALSE;
    }
    if (!lpDCB) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return port->GetState(lpDCB);
}

/***********************************************************************
 *           SetCommState
 *
 * PARAMS
 *  hFile [I] a port handle
 *  lpDCB [I] the settings to apply, whole
 *
 * RETURNS
 *  TRUE; FALSE with ERROR_INVALID_PARAMETER for a DCB that Windows refuses
 *  (XonChar equal to XoffChar, ByteSize outside 5-8, 5 data bits with 2 stop
 *  bits, 6-8 data bits with 1.5 stop bits, Parity above 4, StopBits above 2)
 *  and for a baud rate that has no termios speed.
 *
 * NOTES
 *  A device that does not take the frame makes the call fail with
 *  ERROR_INVALID_PARAMETER and keeps its old settings: a pseudo-terminal
 *  takes only 8 data bits without parity. The line stays raw. DTR/RTS are driven where the device has the lines;
 *  DSR flow control and the XON/XOFF limits are kept but have no effect.
 */
BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
    auto port = pal::PortFromHandle(hFile);
    if (!port) {
        return FALSE;
    }
    if (PAL_FAULT_POINT("SetCommState")) {
        SetLastError(ERROR_GEN_FAILURE);  // as for a device that stopped answering
        return FALSE;
    }
    if (!lpDCB) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return port->SetState(*lpDCB);
}

/***********************************************************************
 *           BuildCommDCBW
 *
 * PARAMS
 *  lpDef [I] "[COMn[:]] baud=b parity=p data=d stop=s ..." or the older
 *            "baud,parity,data[,stop[,x|p]]"
 *  lpDCB [I/O] receives the members that lpDef names
 *
 * RETURNS
 *  TRUE; FALSE with ERROR_INVALID_PARAMETER, the DCB untouched.
 *
 * NOTES
 *  See comm_dcb.h for the accepted syntax. A "COMn" prefix must name a port
 *  whose device exists.
 */
BOOL WINAPI BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB) {
    if (!lpDef || !lpDCB || !pal::comm::ParseDcbDefinition(lpDef, lpDCB)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

/***********************************************************************
 *           ClearCommError
 *
 * PARAMS
 *  hFile    [I] a port handle
 *  lpErrors [O] CE_* bits, or NULL
 *  lpStat   [O] status, or NULL
 *
 * RETURNS
 *  TRUE; FALSE with ERROR_INVALID_HANDLE, or ERROR_GEN_FAILURE when the
 *  device has hung up and nothing is left to read.
 *
 * NOTES
 *  cbInQue is what the device holds unread, cbOutQue what it has still to
 *  send. Line errors are not reported: lpErrors is always 0.
 */
BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    auto port = pal::PortFromHandle(hFile);
    return port ? port->ClearError(lpErrors, lpStat) : FALSE;
}
