// The test modem on Windows: the modem runs outside the program (ptymodem on
// the host, seen by Wine as a COM port) and the runner names its COM number
// in GLOBALTOOLS_TEST_COM (GLOBALTOOLS_TEST_COM2 for the second one). Without
// the variable no modem is available and modem tests skip. The modem lives
// across tests, so each test starts by resetting it: its delay back to 0,
// the line to 115200 8N1, and whatever an earlier test left unread drained.
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/winapi.h"
#include "test_modem.h"

namespace testsupport {
namespace {

class ExternalTestModem : public TestModem {
public:
    explicit ExternalTestModem(int port) : port_(port) {}
    int ComPort() const override { return port_; }
    bool OwnsModem() const override { return false; }

private:
    int port_;
};

void ResetModem(int port) {
    const std::string text = "\\\\.\\COM" + std::to_string(port);
    WCHAR name[32] = {};
    for (size_t i = 0; i < text.size() && i + 1 < 32; ++i) {
        name[i] = static_cast<WCHAR>(text[i]);
    }
    HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        return;
    }
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (GetCommState(h, &dcb)) {
        dcb.BaudRate = CBR_115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fOutX = 0;
        dcb.fInX = 0;
        dcb.fOutxCtsFlow = 0;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        SetCommState(h, &dcb);
    }
    COMMTIMEOUTS t = {MAXDWORD, 0, 0, 0, 1000};
    SetCommTimeouts(h, &t);
    DWORD n = 0;
    WriteFile(h, "AT+SIMDELAY=0\r", 14, &n, NULL);
    // Read until the answer to the reset has come and the line is quiet.
    std::string seen;
    int quiet = 0;
    for (int i = 0; i < 60 && quiet < 3; ++i) {
        Sleep(50);
        char buffer[4096];
        n = 0;
        if (!ReadFile(h, buffer, sizeof buffer, &n, NULL)) {
            break;
        }
        seen.append(buffer, n);
        const bool answered = seen.size() >= 6 && seen.compare(seen.size() - 6, 6, "\r\nOK\r\n") == 0;
        quiet = (n == 0 && answered) ? quiet + 1 : 0;
    }
    CloseHandle(h);
}

bool UnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

}  // namespace

std::unique_ptr<TestModem> StartTestModem(int slot) {
    const char* value = std::getenv(slot == 0 ? "GLOBALTOOLS_TEST_COM" : "GLOBALTOOLS_TEST_COM2");
    const int port = value ? std::atoi(value) : 0;
    if (port <= 0) {
        return nullptr;
    }
    ResetModem(port);
    return std::make_unique<ExternalTestModem>(port);
}

int MissingComPort() {
    const char* value = std::getenv("GLOBALTOOLS_TEST_MISSING_COM");
    return value && std::atoi(value) > 0 ? std::atoi(value) : 199;
}

const KnownDifferences& Differences() {
    static const KnownDifferences wine = {true, true, true, true, true};
    static const KnownDifferences windows = {false, false, false, false, false};
    return UnderWine() ? wine : windows;
}

}  // namespace testsupport
