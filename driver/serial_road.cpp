// The serial road of an option run (--port): the library's serial channel,
// version 2, on a COM port or (Linux) a terminal device. The channel's read
// never waits for a whole answer, so the road reads until the answer holds a
// final result code (final_result.h) or the answer wait runs out, and prints
// the bytes as the modem sent them, echo and zero bytes included, up to the
// end of the final result's line.
#include <cctype>
#include <chrono>
#include <string>
#include <vector>

#include "final_result.h"
#include "road.h"
#include "tools/WideText.h"
#include "tools/interfaces.h"

namespace {

// Serial AT commands end in CR (the line terminator of V.250).
const char kTerminator[] = "\r";
// How long a run waits for a port another run of ours holds.
const unsigned long kPortWaitMs = 10000;
// The most of one answer kept: a modem that floods bytes without a final
// result code is cut off here.
const size_t kMaxAnswerBytes = 1024 * 1024;
// Before each command after the first, what the modem sent since the last
// answer (a late line, an unsolicited RING) is read and dropped, until the
// line has been quiet this long, and never for longer than the cap.
const DWORD kQuietMs = 10;
const unsigned long kDrainCapMs = 500;
// --probe-ports: the names tried, and how long each may take to answer AT.
const int kProbedComNumbers = 32;
const DWORD kProbeAnswerMs = 300;
const char* const kLinuxPortPatterns[] = {"/dev/ttyUSB%d", "/dev/ttyACM%d", "/dev/wwan0at%d"};

using Clock = std::chrono::steady_clock;

// "COMn" or "\\.\COMn", letters in either case.
bool IsComName(const std::string& name) {
    const std::string bare = name.compare(0, 4, "\\\\.\\") == 0 ? name.substr(4) : name;
    return bare.size() > 3 && std::toupper(static_cast<unsigned char>(bare[0])) == 'C' &&
           std::toupper(static_cast<unsigned char>(bare[1])) == 'O' &&
           std::toupper(static_cast<unsigned char>(bare[2])) == 'M';
}

unsigned long MsSince(Clock::time_point start) {
    return static_cast<unsigned long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class SerialRun {
public:
    explicit SerialRun(const Options& options)
        : options_(options),
          timeoutMs_(options.timeoutMs ? options.timeoutMs : 5000),
          outcome_(options.exitStatus),
          log_(GetSharedLog()) {}
    ~SerialRun() {
        if (channel_ != NULL) {
            channel_->Close();
            channel_->Release();
        }
        log_->Release();
    }

    int Run();

private:
    bool OpenPort();
    void Drain();
    void SendCommand(const std::string& text, const std::string& where);
    // Reads into answer until a final result code or the wait runs out.
    FinalResult ReadAnswer(std::string& answer, size_t* end, unsigned long waitMs);

    const Options& options_;
    const unsigned long timeoutMs_;
    Outcome outcome_;
    IGlobalTools::IDeviceMsg2* channel_ = NULL;
    IGlobalTools::ILog* log_;
};

bool SerialRun::OpenPort() {
    void* object = NULL;
    if (CreateToolInstance(IID_IDeviceMsg2, &object)) channel_ = static_cast<IGlobalTools::IDeviceMsg2*>(object);
    if (channel_ == NULL) return false;
    if (options_.shared) SetEnvironmentVariableA("GLOBALTOOLS_SERIAL_SHARED", "1");
    const WideText name = Widened(options_.port);
    const Clock::time_point start = Clock::now();
    DWORD error = 0;
    // Another run of ours on the port (or, on Windows, any program) is
    // waited for, within a bound: on a port name, where "access denied"
    // means the port is taken (for a folder it means the folder).
    const std::string& port = options_.port;
    const bool portName = IsComName(port) || port.compare(0, 5, "/dev/") == 0;
    for (;;) {
        if (channel_->OpenName(WidePtr(name)) == S_OK) return true;
        error = GetLastError();
        if (error != ERROR_ACCESS_DENIED || !portName || MsSince(start) >= kPortWaitMs) break;
        Sleep(100);
    }
    if (error == ERROR_ACCESS_DENIED && portName) {
        Say(port + " is in use by another program, or may not be opened (waited " + Seconds(kPortWaitMs) + ")");
    } else if (error == ERROR_ACCESS_DENIED) {
        Say(port + " is no serial port, or may not be opened");
    } else if (error == ERROR_SHARING_VIOLATION) {
        Say(port + " is open in another program; --shared opens it anyway");
    } else if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        Say(port + " is no serial port");
    } else {
        Say(port + " cannot be opened (error " + std::to_string(error) + ")");
    }
    return false;
}

void SerialRun::Drain() {
    const Clock::time_point start = Clock::now();
    std::string dropped;
    while (MsSince(start) < kDrainCapMs && channel_->RecvWait(dropped, kQuietMs) == S_OK) dropped.clear();
}

FinalResult SerialRun::ReadAnswer(std::string& answer, size_t* end, unsigned long waitMs) {
    const Clock::time_point start = Clock::now();
    for (;;) {
        const FinalResult result = FindFinalResult(answer, false, end);
        if (result != FinalResult::None || answer.size() >= kMaxAnswerBytes) return result;
        const unsigned long spent = MsSince(start);
        // At the end a last line without its line end counts too: nothing
        // more is coming to extend it.
        if (spent >= waitMs || channel_->RecvWait(answer, waitMs - spent) == E_FAIL)
            return FindFinalResult(answer, true, end);
    }
}

void SerialRun::SendCommand(const std::string& text, const std::string& where) {
    const std::string command = text + kTerminator;
    log_->Log(2, "[serial] %s: %d bytes sent", options_.port.c_str(), static_cast<int>(command.size()));
    if (channel_->Sendmsg(command.data(), static_cast<int>(command.size())) != S_OK) {
        Say(where + "the command could not be written to " + options_.port);
        outcome_.Record(kUnreachable);
        return;
    }
    std::string answer;
    size_t end = 0;
    const FinalResult result = ReadAnswer(answer, &end, timeoutMs_);
    // Bytes past the final result's line are not this command's answer.
    if (result != FinalResult::None) answer.resize(end);
    if (answer.size() > kMaxAnswerBytes) answer.resize(kMaxAnswerBytes);
    log_->Log(2, "[serial] %s: %d bytes answered, final result %s", options_.port.c_str(),
              static_cast<int>(answer.size()), result == FinalResult::None ? "none" : "found");
    std::fwrite(answer.data(), 1, answer.size(), stdout);
    std::fflush(stdout);
    if (result == FinalResult::None) {
        Say(where + (answer.size() >= kMaxAnswerBytes
                         ? "the answer passed " + std::to_string(kMaxAnswerBytes) + " bytes without a final result code"
                         : "no final result code within " + Seconds(timeoutMs_) + " (-t sets the wait)"));
        outcome_.Record(kNoAnswer);
        return;
    }
    outcome_.Record(result == FinalResult::Success ? kSucceeded : kFailed);
}

int SerialRun::Run() {
    std::FILE* in = NULL;
    if (options_.hasCommandFile && (in = OpenCommandFile(options_.commandFile)) == NULL) return kUnusable;
    if (options_.verbose) LogToStandardError();
    _setmode(_fileno(stdout), _O_BINARY);
    if (!OpenPort()) {
        std::printf("open fail");
        outcome_.Record(kUnreachable);
    } else if (in == NULL) {
        SendCommand(options_.command, "");
    } else {
        CommandLines lines(in, kMaxAnswerBytes);
        std::string line;
        bool tooLong = false;
        bool first = true;
        while (lines.Next(&line, &tooLong)) {
            const std::string where = "line " + std::to_string(lines.Number()) + ": ";
            if (tooLong) {
                Say(where + "the command is more than " + std::to_string(kMaxAnswerBytes) + " bytes");
                outcome_.Record(kUnusable);
                continue;
            }
            if (!first) Drain();
            first = false;
            SendCommand(line, where);
        }
    }
    CloseCommandFile(in);
    return outcome_.ExitStatus();
}

}  // namespace

int RunSerial(const Options& options) { return SerialRun(options).Run(); }

// The serial ports that answer AT with OK: COM1 to COM32 and, where the
// platform opens device paths, the usual Linux AT ports. A port that cannot
// be opened (missing, or held by another program) is passed over unprobed.
void ProbeSerialPorts() {
    std::vector<std::string> names;
    for (int n = 1; n <= kProbedComNumbers; ++n) names.push_back("COM" + std::to_string(n));
    for (const char* pattern : kLinuxPortPatterns) {
        for (int n = 0; n < 8; ++n) {
            char name[32];
            std::snprintf(name, sizeof name, pattern, n);
            names.push_back(name);
        }
    }
    for (const std::string& name : names) {
        void* object = NULL;
        if (!CreateToolInstance(IID_IDeviceMsg2, &object)) return;
        auto* channel = static_cast<IGlobalTools::IDeviceMsg2*>(object);
        const WideText wide = Widened(name);
        if (channel->OpenName(WidePtr(wide)) == S_OK) {
            const std::string at = std::string("AT") + kTerminator;
            std::string answer;
            const Clock::time_point start = Clock::now();
            if (channel->Sendmsg(at.data(), static_cast<int>(at.size())) == S_OK) {
                while (FindFinalResult(answer, false) == FinalResult::None && MsSince(start) < kProbeAnswerMs &&
                       channel->RecvWait(answer, kProbeAnswerMs - MsSince(start)) == S_OK) {}
            }
            if (FindFinalResult(answer, false) == FinalResult::Success)
                std::printf("%s\tserial AT port\n", name.c_str());
            channel->Close();
        }
        channel->Release();
    }
}
