// The MBIM road of an option run: the answer wait, the modem and service
// chosen, the list of modems, the outcome of each command, and commands from
// a file through one session, all through version 2 of the channel.
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "final_result.h"
#include "road.h"
#include "tools/WideText.h"
#include "tools/interfaces.h"

namespace {

const ULONG kAtCommandId = 1;
const char kTerminator[] = "\r\n";
const char kAtServiceId[] = "{ffffffff-abca-4b11-a4e2-f2fc87f94488}";

const char* ReadyStateName(LONG state) {
    static const char* const kNames[] = {"off",           "initialized",    "sim-not-inserted",
                                         "bad-sim",       "failure",        "not-activated",
                                         "device-locked", "device-blocked", "no-esim-profile"};
    return state >= 0 && state < static_cast<LONG>(sizeof kNames / sizeof kNames[0]) ? kNames[state] : "unknown";
}

class OptionRun {
public:
    explicit OptionRun(const Options& options)
        : options_(options),
          service_(Widened(options.service.empty() ? kAtServiceId : options.service)),
          timeoutMs_(options.timeoutMs ? options.timeoutMs : 5000),
          outcome_(options.exitStatus) {}

    int Run();

private:
    void Record(Status status) { outcome_.Record(status); }
    int ExitStatus() const { return outcome_.ExitStatus(); }

    bool CommandTooLong(const std::string& command, const std::string& where);
    void Explain(HRESULT hr, const std::string& command, const std::string& where);
    void Classify(const std::string& answer) {
        Record(ClassifyAnswer(answer) == FinalResult::Success ? kSucceeded : kFailed);
    }
    int List();
    bool DeviceFound();
    void SendOne();
    void SendFile(std::FILE* in);

    const Options& options_;
    const WideText service_;
    const unsigned long timeoutMs_;
    IGlobalTools::IMbimChannel2* channel_ = NULL;
    Outcome outcome_;
};

int OptionRun::Run() {
    std::FILE* in = NULL;
    if (options_.hasCommandFile && (in = OpenCommandFile(options_.commandFile)) == NULL) return kUnusable;
    if (options_.verbose) LogToStandardError();
    // A device path chooses the MBIM port itself (Linux); its one interface
    // is then the first.
    const bool devicePath = !options_.device.empty() && options_.device[0] == '/';
    if (devicePath) SetEnvironmentVariableA("GLOBALTOOLS_MBN_PROVIDER", ("mbim:" + options_.device).c_str());

    void* object = NULL;
    if (CreateToolInstance(IID_IMbimChannel2, &object)) channel_ = static_cast<IGlobalTools::IMbimChannel2*>(object);
    if (channel_ == NULL) return options_.exitStatus ? kUnreachable : 0;
    channel_->SetAnswerTimeout(timeoutMs_);
    if (!options_.device.empty() && !devicePath) channel_->SelectInterface(WidePtr(Widened(options_.device)));
    _setmode(_fileno(stdout), _O_BINARY);

    const HRESULT opened = channel_->Open();
    int result = 0;
    // A service that finds no modem at all lists none.
    if (options_.list && (opened == S_OK || opened == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))) {
        result = List();
        if (options_.probePorts) ProbeSerialPorts();
    } else if (opened != S_OK || !DeviceFound()) {
        std::printf("open fail");
        if (opened != S_OK) Say("the Mobile Broadband service could not be reached (" + Hex(opened) + ")");
        Record(kUnreachable);
        result = ExitStatus();
        if (options_.list && options_.probePorts) ProbeSerialPorts();
    } else if (in != NULL) {
        SendFile(in);
        result = ExitStatus();
    } else {
        SendOne();
        result = ExitStatus();
    }
    channel_->Release();
    CloseCommandFile(in);
    return result;
}

// The interfaces of a service that could be reached; none is not a failure.
int OptionRun::List() {
    std::vector<IGlobalTools::MbimInterfaceInfo> modems;
    channel_->ListInterfaces(modems);
    for (const IGlobalTools::MbimInterfaceInfo& modem : modems) {
        std::printf("%s\t%s\t%s\t%s\n", modem.interfaceId.c_str(),
                    modem.manufacturer.empty() ? "-" : modem.manufacturer.c_str(),
                    modem.model.empty() ? "-" : modem.model.c_str(), ReadyStateName(modem.readyState));
    }
    return 0;
}

// An interface ID given with -d names a modem the service lists.
bool OptionRun::DeviceFound() {
    if (options_.device.empty()) return true;
    std::vector<IGlobalTools::MbimInterfaceInfo> modems;
    channel_->ListInterfaces(modems);
    // A device path leaves the service that one port (Linux); a service that
    // lists other modems has not taken it.
    if (options_.device[0] == '/') {
        if (modems.size() == 1) return true;
        Say("no modem at " + options_.device + " (a device path chooses an MBIM port on Linux)");
        return false;
    }
    for (const IGlobalTools::MbimInterfaceInfo& modem : modems) {
        const std::string& wanted = options_.device;
        if (modem.interfaceId.size() != wanted.size()) continue;
        bool same = true;
        for (size_t i = 0; i < wanted.size() && same; ++i)
            same = std::tolower(static_cast<unsigned char>(modem.interfaceId[i])) ==
                   std::tolower(static_cast<unsigned char>(options_.device[i]));
        if (same) return true;
    }
    Say("no modem interface " + options_.device + " (atcmd --list shows them)");
    return false;
}

// A command the modem cannot take is not sent; the reason names the limit.
bool OptionRun::CommandTooLong(const std::string& command, const std::string& where) {
    ULONG limit = 0;
    if (FAILED(channel_->GetMaxCommandSize(&limit)) || limit == 0 || command.size() < limit) return false;
    Say(where + "the command is " + std::to_string(command.size()) +
        " bytes with its CR LF; the modem takes fewer than " + std::to_string(limit));
    Record(kUnusable);
    return true;
}

void OptionRun::Explain(HRESULT hr, const std::string& command, const std::string& where) {
    const HRESULT last = channel_->GetLastExchangeStatus();
    if (last == HRESULT_FROM_WIN32(ERROR_TIMEOUT)) {
        Say(where + "no answer within " + Seconds(timeoutMs_) + " (-t sets the wait)");
        Record(kNoAnswer);
        return;
    }
    if (hr == E_INVALIDARG && CommandTooLong(command, where)) return;
    Say(where + "the command was not sent or not answered (" + Hex(last) + "; -v shows the log)");
    Record(kUnreachable);
}

void OptionRun::SendOne() {
    const std::string command = options_.command + kTerminator;
    std::string response;
    const HRESULT hr = channel_->SendData(command.c_str(), static_cast<unsigned int>(command.size()), response, NULL,
                                          WidePtr(service_), kAtCommandId);
    if (hr == S_OK) {
        std::printf("%s", response.c_str());
        Classify(response);
    } else {
        Explain(hr, command, "");
    }
}

// One session for the whole file. Lines longer than the modem takes are read
// to their end but not kept.
void OptionRun::SendFile(std::FILE* in) {
    if (channel_->OpenSession(WidePtr(service_)) != S_OK) {
        std::printf("open fail");
        Say("no command session on the modem's AT service (-v shows the log)");
        Record(kUnreachable);
        return;
    }
    ULONG limit = 0;
    if (FAILED(channel_->GetMaxCommandSize(&limit)) || limit == 0) limit = 64 * 1024;
    CommandLines lines(in, limit);
    std::string line;
    bool tooLong = false;
    while (lines.Next(&line, &tooLong)) {
        const std::string where = "line " + std::to_string(lines.Number()) + ": ";
        if (tooLong) {
            Say(where + "the command is more than " + std::to_string(limit) + " bytes; the modem takes fewer");
            Record(kUnusable);
            continue;
        }
        const std::string command = line + kTerminator;
        if (CommandTooLong(command, where)) continue;
        HRESULT hr = channel_->Sendmsg(command.c_str(), static_cast<unsigned int>(command.size()), kAtCommandId);
        std::string answer;
        if (hr == S_OK) hr = channel_->Recvmsg(answer);
        if (hr == S_OK) {
            std::printf("%s", answer.c_str());
            std::fflush(stdout);
            Classify(answer);
        } else {
            Explain(hr, command, where);
        }
    }
    channel_->CloseSession();
}

}  // namespace

int RunMbim(const Options& options) { return OptionRun(options).Run(); }
