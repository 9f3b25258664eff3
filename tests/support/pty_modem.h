// The pseudo-terminal modem (POSIX only): a thread on the master side of a
// pty that answers the commands of modem_script.h on the slave side, and the
// COM folder entries that map a COM number to the slave.
#ifndef TESTS_SUPPORT_PTY_MODEM_H
#define TESTS_SUPPORT_PTY_MODEM_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace testsupport {

class PtyModem {
public:
    PtyModem() = default;
    ~PtyModem();
    PtyModem(const PtyModem&) = delete;
    PtyModem& operator=(const PtyModem&) = delete;

    // Opens a pty whose line is raw at 9600 baud and starts answering.
    // False when no pty can be had.
    bool Start();
    // The slave device, e.g. /dev/pts/3.
    const std::string& SlavePath() const { return slavePath_; }
    // Closes the line at once, as AT+SIMHANGUP does.
    void HangUp();
    // Ends the modem and closes the line; safe to call twice.
    void Stop();
    // Blocks until the modem has closed its line (hang-up or Stop).
    void WaitUntilClosed();
    // Commands taken so far.
    int CommandCount() const { return commands_.load(); }

private:
    void Run();
    bool Pause(int ms);
    bool Send(const std::string& bytes);
    void Answer(const std::string& command, bool* hangUp);

    int master_ = -1;
    int slaveHold_ = -1;  // keeps the line open between clients
    int control_[2] = {-1, -1};
    std::string slavePath_;
    std::thread thread_;
    std::atomic<int> commands_{0};
    int delayMs_ = 0;
    bool echo_ = false;
    // A RING promised by AT+SIMRING, due at this time (0: none).
    long long ringDueMs_ = 0;
};

// Makes COM number port name device in the COM folder $GLOBALTOOLS_DOSDEVICES,
// creating a private folder for this process (and setting the variable) the
// first time. Returns false when the entry cannot be made.
bool MapComPort(int port, const std::string& device);
void UnmapComPort(int port);

}  // namespace testsupport

#endif  // TESTS_SUPPORT_PTY_MODEM_H
