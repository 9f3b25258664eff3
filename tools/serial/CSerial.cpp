// CSerial: the request/response channel over a numbered COM port (see
// CSerial.h). Reads and writes are overlapped so that each can be waited for
// with a bound; an operation still running when its wait ends is cancelled
// and reaped before its buffer or OVERLAPPED block is used again.
#include "tools/serial/CSerial.h"

#include "tools/WideText.h"

#include <chrono>
#include <cstring>
#include <memory>

namespace {

const int kBaudRate = 115200;
const DWORD kCommTimeoutMs = 1000;
const DWORD kEventMask = EV_RXCHAR | EV_CTS;
const DWORD kWriteWaitMs = 1000;
const DWORD kReadWaitMs = 2000;
const DWORD kReplyPauseMs = 200;
const int kSendDataBufferSize = 1024;
const int kRecvmsgBufferSize = 2048;
const int kFewestBytes = 2;
const size_t kNameUnits = 15;
const size_t kDefinitionUnits = 50;

// Gives each OVERLAPPED block a new manual-reset event. False when either
// cannot be created: then neither is kept and both blocks are left zeroed.
bool CreateOverlappedEvents(OVERLAPPED& readOverlapped, OVERLAPPED& writeOverlapped) {
    std::memset(&readOverlapped, 0, sizeof(readOverlapped));
    std::memset(&writeOverlapped, 0, sizeof(writeOverlapped));
    readOverlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    writeOverlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (readOverlapped.hEvent != NULL && writeOverlapped.hEvent != NULL) {
        return true;
    }
    if (readOverlapped.hEvent != NULL) {
        CloseHandle(readOverlapped.hEvent);
    }
    if (writeOverlapped.hEvent != NULL) {
        CloseHandle(writeOverlapped.hEvent);
    }
    std::memset(&readOverlapped, 0, sizeof(readOverlapped));
    std::memset(&writeOverlapped, 0, sizeof(writeOverlapped));
    return false;
}

COMMTIMEOUTS PortTimeouts() {
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = kCommTimeoutMs;
    timeouts.ReadTotalTimeoutMultiplier = kCommTimeoutMs;
    timeouts.ReadTotalTimeoutConstant = kCommTimeoutMs;
    timeouts.WriteTotalTimeoutMultiplier = kCommTimeoutMs;
    timeouts.WriteTotalTimeoutConstant = kCommTimeoutMs;
    return timeouts;
}

// The line as the channel wants it, before the definition string is applied
// over it: binary, 8N1 at 115200, DTR on, RTS off, no flow control.
void FillDcb(DCB& dcb) {
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = CBR_115200;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 0;
    dcb.fDummy2 = 0;
    dcb.wReserved = 0;
    dcb.XonLim = 256;
    dcb.XoffLim = 256;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    // Must differ from XonChar or SetCommState refuses the DCB; DC3 is
    // the usual XOFF.
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = 0;
    dcb.EofChar = 0x5C;
    dcb.EvtChar = 0;
    dcb.wReserved1 = 0;
}

// Sets the time-outs, the event mask and the line (baud, 8N1). The first
// step that fails is printed by name and the later ones are skipped.
void ApplyPortSettings(HANDLE comm, int baud) {
    WCHAR definition[kDefinitionUnits];
    HRESULT formatted = StringCchPrintfW(definition, kDefinitionUnits, L"baud=%d parity=N data=8 stop=1", baud);

    COMMTIMEOUTS timeouts = PortTimeouts();

    DCB dcb;
    std::memset(&dcb, 0, sizeof(dcb));
    if (!SetCommTimeouts(comm, &timeouts)) {
        wprintf(L"SetCommTimeouts()");
    } else if (!SetCommMask(comm, kEventMask)) {
        wprintf(L"SetCommMask()");
    } else if (!GetCommState(comm, &dcb)) {
        wprintf(L"GetCommState()");
    } else {
        FillDcb(dcb);
        if (FAILED(formatted) || !BuildCommDCBW(definition, &dcb)) {
            wprintf(L"BuildCommDCB()");
        } else if (!SetCommState(comm, &dcb)) {
            wprintf(L"SetCommState()");
        }
    }
}

}  // namespace

CSerial::CSerial() : opened(0), hComm(NULL), readOverlapped(), writeOverlapped() {}

CSerial::~CSerial() {}

HRESULT CSerial::Open(int port) { return OpenPort(port, kBaudRate) ? S_OK : E_FAIL; }

int CSerial::IsOpen() { return opened; }

int CSerial::OpenPort(int port, int baud) {
    if (opened == 1) {
        return 1;
    }

    // "\\.\COM" and at most 7 digits: a longer number does not fit and names
    // no port, so it is refused instead of being cut short.
    WCHAR name[kNameUnits];
    if (FAILED(StringCchPrintfW(name, kNameUnits, L"\\\\.\\COM%d", port))) {
        return 0;
    }

    return OpenNamedPort(name, baud);
}

int CSerial::OpenNamedPort(const WCHAR* name, int baud, bool requireComm) {
    hComm = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (hComm == NULL || hComm == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DCB probe;
    std::memset(&probe, 0, sizeof(probe));
    probe.DCBlength = sizeof(probe);
    if (requireComm && !GetCommState(hComm, &probe)) {
        CloseHandle(hComm);
        hComm = NULL;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }

    if (!CreateOverlappedEvents(readOverlapped, writeOverlapped)) {
        // Without both events no wait could be bounded: not an open port.
        CloseHandle(hComm);
        hComm = NULL;
        return 0;
    }

    // A setting that cannot be applied is printed; the port stays open.
    ApplyPortSettings(hComm, baud);

    opened = 1;
    return 1;
}

int CSerial::Close() {
    ClosePort();
    return 1;
}

int CSerial::ClosePort() {
    if (opened == 0 || hComm == NULL) {
        return 1;
    }
    if (readOverlapped.hEvent != NULL) {
        CloseHandle(readOverlapped.hEvent);
    }
    if (writeOverlapped.hEvent != NULL) {
        CloseHandle(writeOverlapped.hEvent);
    }
    CloseHandle(hComm);
    opened = 0;
    hComm = NULL;
    return 1;
}

void CSerial::WriteByte(unsigned char b) {
    if (WriteFile(hComm, &b, 1, NULL, &writeOverlapped)) {
        return;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return;
    }
    if (WaitForSingleObject(writeOverlapped.hEvent, kWriteWaitMs) != WAIT_OBJECT_0) {
        // b lives on this frame and the block is used by the next byte: end
        // the write before either goes away.
        CancelIoEx(hComm, &writeOverlapped);
    }
    DWORD written = 0;
    GetOverlappedResult(hComm, &writeOverlapped, &written, TRUE);
}

int CSerial::WriteBytes(const char* data, int len) {
    if (opened == 0 || hComm == NULL) {
        return 0;
    }
    for (int i = 0; i < len; ++i) {
        WriteByte(static_cast<unsigned char>(data[i]));
    }
    return len > 0 ? len : 0;
}

int CSerial::ReadBytes(char* buffer, int size) {
    if (opened == 0 || hComm == NULL) {
        return 0;
    }

    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof(status));
    if (!ClearCommError(hComm, &errors, &status)) {
        return 0;  // the count of waiting bytes is unknown: nothing to read
    }
    if (status.cbInQue == 0 || size <= 0) {
        return 0;
    }
    DWORD wanted = status.cbInQue < static_cast<DWORD>(size) ? status.cbInQue : static_cast<DWORD>(size);

    DWORD count = 0;
    if (ReadFile(hComm, buffer, wanted, &count, &readOverlapped)) {
        return static_cast<int>(count);
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return 0;
    }
    if (WaitForSingleObject(readOverlapped.hEvent, kReadWaitMs) != WAIT_OBJECT_0) {
        CancelIoEx(hComm, &readOverlapped);
    }
    // Only what the platform really delivered counts, also after a cancel.
    count = 0;
    GetOverlappedResult(hComm, &readOverlapped, &count, TRUE);
    return static_cast<int>(count);
}

HRESULT CSerial::SendData(const char* data, int len, std::string& response) {
    HRESULT result = E_FAIL;
    std::unique_ptr<char[]> buffer(new char[kSendDataBufferSize]);

    if (!IsOpen()) {
        return result;
    }
    if (WriteBytes(data, len) < kFewestBytes) {
        return result;
    }
    Sleep(kReplyPauseMs);
    int received = ReadBytes(buffer.get(), kSendDataBufferSize);
    if (received < kFewestBytes) {
        return result;
    }
    response.clear();
    response.append(buffer.get(), static_cast<size_t>(received));
    result = S_OK;
    return result;
}

HRESULT CSerial::Sendmsg(const char* data, int len) {
    if (IsOpen() == 1 && WriteBytes(data, len) == len) {
        return S_OK;
    }
    return E_FAIL;
}

HRESULT CSerial::Recvmsg(std::string& response) {
    HRESULT result = E_FAIL;
    std::unique_ptr<char[]> buffer(new char[kRecvmsgBufferSize]);

    if (IsOpen() == 1) {
        int received = ReadBytes(buffer.get(), kRecvmsgBufferSize);
        if (received >= kFewestBytes) {
            response.clear();
            response.append(buffer.get(), static_cast<size_t>(received));
            result = S_OK;
        }
    }
    return result;
}

void CSerial::Release() { delete this; }

HRESULT CSerial::OpenName(const WCHAR* name) {
    if (opened == 1) {
        return S_OK;
    }
    if (name == NULL || name[0] == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return E_FAIL;
    }
    // "COMn" alone names COM1 to COM9 only; the device namespace names all.
    WideText full = WideCopy(name);
    const bool com = (name[0] == L'C' || name[0] == L'c') && (name[1] == L'O' || name[1] == L'o') &&
                     (name[2] == L'M' || name[2] == L'm');
    if (com) {
        full.insert(0, u"\\\\.\\");
    }
    return OpenNamedPort(WidePtr(full), kBaudRate, true) ? S_OK : E_FAIL;
}

HRESULT CSerial::RecvWait(std::string& response, DWORD milliseconds) {
    if (opened == 0 || hComm == NULL) {
        return E_FAIL;
    }
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        // What is waiting is taken without waiting.
        char buffer[kRecvmsgBufferSize];
        const int waiting = ReadBytes(buffer, kRecvmsgBufferSize);
        if (waiting > 0) {
            response.append(buffer, static_cast<size_t>(waiting));
            while (const int more = ReadBytes(buffer, kRecvmsgBufferSize)) {
                response.append(buffer, static_cast<size_t>(more));
            }
            return S_OK;
        }
        const auto spent = static_cast<DWORD>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
        if (spent >= milliseconds) {
            return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
        }
        // One byte, read as it comes; the port's own time-outs end the read
        // after two seconds with nothing, and the loop asks again.
        char first = 0;
        DWORD count = 0;
        if (!ReadFile(hComm, &first, 1, &count, &readOverlapped)) {
            if (GetLastError() != ERROR_IO_PENDING) {
                return E_FAIL;
            }
            if (WaitForSingleObject(readOverlapped.hEvent, milliseconds - spent) != WAIT_OBJECT_0) {
                CancelIoEx(hComm, &readOverlapped);
            }
            count = 0;
            GetOverlappedResult(hComm, &readOverlapped, &count, TRUE);
        }
        if (count == 1) {
            response.push_back(first);
            while (const int more = ReadBytes(buffer, kRecvmsgBufferSize)) {
                response.append(buffer, static_cast<size_t>(more));
            }
            return S_OK;
        }
    }
}
