// CSerial: the request/response channel over a numbered COM port. Open takes
// the port for this object alone and sets it to 115200 baud 8N1; SendData
// writes a command one byte at a time, pauses 200 ms and takes what has
// arrived; Sendmsg and Recvmsg do the two halves on their own. Every call
// finishes its I/O or its bounded wait on the caller's thread. Version 2 of
// its interface opens a port by name and reads with a wait for the first
// byte.
#ifndef TOOLS_SERIAL_CSERIAL_H
#define TOOLS_SERIAL_CSERIAL_H

#include <string>

#include "tools/interfaces.h"

class CSerial : public IGlobalTools::IDeviceMsg2 {
public:
    CSerial();
    // Releases nothing: a holder that opened the port calls Close first.
    ~CSerial() override;

    // S_OK when the object holds an open port afterwards (also when it held
    // one already: the port is then kept as it is), E_FAIL otherwise.
    HRESULT Open(int port) override;
    // Writes len bytes, pauses 200 ms, reads up to 1024 bytes into response.
    // E_FAIL when fewer than 2 bytes go out or fewer than 2 come back.
    HRESULT SendData(const char* data, int len, std::string& response) override;
    // Writes len bytes; S_OK when all len were submitted.
    HRESULT Sendmsg(const char* data, int len) override;
    // Takes up to 2048 waiting bytes without waiting for more; E_FAIL below 2.
    HRESULT Recvmsg(std::string& response) override;
    // Gives back the port and its events; always 1.
    int Close() override;
    void Release() override;

    HRESULT OpenName(const WCHAR* name) override;
    HRESULT RecvWait(std::string& response, DWORD milliseconds) override;

    int IsOpen();
    int OpenPort(int port, int baud);
    // OpenPort's work on a device name; with requireComm, a handle that is
    // no communications device (a disk file) is let go and refused with
    // ERROR_FILE_NOT_FOUND before any setting is tried.
    int OpenNamedPort(const WCHAR* name, int baud, bool requireComm = false);
    int ClosePort();
    void WriteByte(unsigned char b);
    int WriteBytes(const char* data, int len);
    int ReadBytes(char* buffer, int size);

    // The object's state, in this order; the constructor sets every field
    // (the factory's zero-filled storage is not relied on).
    int opened;
    HANDLE hComm;
    OVERLAPPED readOverlapped;
    OVERLAPPED writeOverlapped;
};

#endif  // TOOLS_SERIAL_CSERIAL_H
