// atcmd: sends an AT command to the modem through the MBIM channel and
// prints the modem's answer.
//
//   atcmd <AT command>
//   atcmd [options] [--] <AT command>
//   atcmd [options] -f FILE | -f -
//   atcmd [options] -l
//   atcmd -h | --help | --version
//
// The plain form is the program as it has always been: the command is the
// first argument followed by CR LF, standard output gets the answer up to its
// first zero byte, or "open fail" when the channel cannot be opened; failures
// are otherwise reported only in the log, and the exit status is 0 once a
// command was given. The options (options.h) add an answer wait, a choice of
// modem and service, an exit status that tells the outcome, the log on
// standard error, many commands through one channel, and a list of modems;
// they reach the channel through version 2 of its interface. A command line
// that cannot be used exits with 2 and one line on standard error.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "final_result.h"
#include "options.h"
#include "tools/interfaces.h"

namespace {

// The modem's AT-command device service.
const WCHAR AT_DEVICE_SERVICE_ID[] = L"{ffffffff-abca-4b11-a4e2-f2fc87f94488}";
const ULONG kAtCommandId = 1;
const char kTerminator[] = "\r\n";

// Exit statuses with --exit-status.
enum Status { kSucceeded = 0, kFailed = 1, kUnusable = 2, kUnreachable = 3, kNoAnswer = 4 };

const char kUsage[] = "usage: atcmd <AT command>\n";
const char kHelp[] =
    "       atcmd [options] [--] <AT command>\n"
    "       atcmd [options] -f FILE | -f -\n"
    "       atcmd [options] -l\n"
    "       atcmd -h | --help | --version\n"
    "\n"
    "Sends the AT command, followed by CR LF, to the modem through its MBIM\n"
    "AT device service and prints the answer as it came, without a line break\n"
    "of its own; \"open fail\" when the Mobile Broadband service cannot be\n"
    "reached. Without options the exit status is 0 once a command was given,\n"
    "and failures show in the log only. Logging: LOG_LV in kvconfig.ini beside\n"
    "the program (see atcmd(1)).\n"
    "\n"
    "  -t, --timeout SECONDS  wait this long for each answer (default 5, at most 600)\n"
    "  -d, --device ID        the modem interface with this ID (see --list); on Linux\n"
    "                         also an MBIM device path such as /dev/cdc-wdm0\n"
    "  -s, --service UUID     the device service that carries the AT text\n"
    "                         (default ffffffff-abca-4b11-a4e2-f2fc87f94488)\n"
    "  -l, --list             one line per modem: ID, manufacturer, model, ready state\n"
    "  -e, --exit-status      exit 0 when the answer ends in OK (or CONNECT, or the >\n"
    "                         prompt), 1 when it ends in an error result or in none,\n"
    "                         2 when a command could not be used, 3 when the modem\n"
    "                         could not be reached, 4 when no answer came in time\n"
    "  -v, --verbose          also write the log's lines to standard error\n"
    "  -f, --file FILE        send the commands of FILE (- for standard input), one\n"
    "                         per line, in order through one channel; empty lines\n"
    "                         are skipped\n"
    "  -h, --help             print this help and exit\n"
    "      --version          print the version and exit\n";

std::basic_string<WCHAR> Widened(const std::string& text) { return std::basic_string<WCHAR>(text.begin(), text.end()); }

const char* ReadyStateName(LONG state) {
    static const char* const kNames[] = {"off",           "initialized",    "sim-not-inserted",
                                         "bad-sim",       "failure",        "not-activated",
                                         "device-locked", "device-blocked", "no-esim-profile"};
    return state >= 0 && state < static_cast<LONG>(sizeof kNames / sizeof kNames[0]) ? kNames[state] : "unknown";
}

void Say(const std::string& text) { std::fprintf(stderr, "atcmd: %s\n", text.c_str()); }

std::string Hex(HRESULT hr) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08x", static_cast<unsigned int>(hr));
    return code;
}

std::string Seconds(unsigned long ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", ms / 1000.0);
    return text;
}

// The plain form: exactly what the program has always done.
int RunPlain(const std::string& argument) {
    std::string command = argument + kTerminator;
    std::string response;
    IGlobalTools::IMbimChannel* channel = NULL;

    void* object = NULL;
    if (CreateToolInstance(IID_IMbimChannel, &object)) {
        channel = static_cast<IGlobalTools::IMbimChannel*>(object);
    }
    if (channel == NULL) {
        return 0;
    }

    // The answer goes out as the modem sent it: a text-mode stdout would
    // turn each of its LFs into CR LF.
    _setmode(_fileno(stdout), _O_BINARY);

    if (channel->Open() != S_OK) {
        std::printf("open fail");
    } else if (channel->SendData(command.c_str(), static_cast<unsigned int>(command.size()), response, NULL,
                                 AT_DEVICE_SERVICE_ID, kAtCommandId) == S_OK) {
        std::printf("%s", response.c_str());
    }
    channel->Release();
    return 0;
}

class OptionRun {
public:
    explicit OptionRun(const Options& options)
        : options_(options),
          service_(Widened(options.service.empty() ? "{ffffffff-abca-4b11-a4e2-f2fc87f94488}" : options.service)),
          timeoutMs_(options.timeoutMs ? options.timeoutMs : 5000) {}

    int Run();

private:
    // Keeps the first failure; the exit status without -e stays 0.
    void Record(Status status) {
        if (status_ == kSucceeded) status_ = status;
    }
    int ExitStatus() const { return options_.exitStatus ? status_ : 0; }

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
    const std::basic_string<WCHAR> service_;
    const unsigned long timeoutMs_;
    IGlobalTools::IMbimChannel2* channel_ = NULL;
    Status status_ = kSucceeded;
};

int OptionRun::Run() {
    std::FILE* in = NULL;
    if (options_.hasCommandFile) {
        in = options_.commandFile == "-" ? stdin : std::fopen(options_.commandFile.c_str(), "rb");
        // A folder opens but cannot be read: the first read tells.
        const int first = in != NULL ? std::fgetc(in) : EOF;
        if (in == NULL || (first == EOF && std::ferror(in))) {
            Say("cannot read " + options_.commandFile + ": " + std::strerror(errno));
            if (in != NULL && in != stdin) std::fclose(in);
            return kUnusable;
        }
        std::ungetc(first, in);
    }
    if (options_.verbose) {
        void* object = NULL;
        if (CreateToolInstance(IID_ILog2, &object)) {
            auto* log = static_cast<IGlobalTools::ILog2*>(object);
            log->SetStandardErrorLevel(2);
            log->Release();
        }
    }
    // A device path chooses the MBIM port itself (Linux); its one interface
    // is then the first.
    const bool devicePath = !options_.device.empty() && options_.device[0] == '/';
    if (devicePath) SetEnvironmentVariableA("GLOBALTOOLS_MBN_PROVIDER", ("mbim:" + options_.device).c_str());

    void* object = NULL;
    if (CreateToolInstance(IID_IMbimChannel2, &object)) channel_ = static_cast<IGlobalTools::IMbimChannel2*>(object);
    if (channel_ == NULL) return options_.exitStatus ? kUnreachable : 0;
    channel_->SetAnswerTimeout(timeoutMs_);
    if (!options_.device.empty() && !devicePath) channel_->SelectInterface(Widened(options_.device).c_str());
    _setmode(_fileno(stdout), _O_BINARY);

    const HRESULT opened = channel_->Open();
    int result = 0;
    // A service that finds no modem at all lists none.
    if (options_.list && (opened == S_OK || opened == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))) {
        result = List();
    } else if (opened != S_OK || !DeviceFound()) {
        std::printf("open fail");
        if (opened != S_OK) Say("the Mobile Broadband service could not be reached (" + Hex(opened) + ")");
        Record(kUnreachable);
        result = ExitStatus();
    } else if (in != NULL) {
        SendFile(in);
        result = ExitStatus();
    } else {
        SendOne();
        result = ExitStatus();
    }
    channel_->Release();
    if (in != NULL && in != stdin) std::fclose(in);
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
    const std::basic_string<WCHAR> wanted = Widened(options_.device);
    for (const IGlobalTools::MbimInterfaceInfo& modem : modems) {
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
                                          service_.c_str(), kAtCommandId);
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
    if (channel_->OpenSession(service_.c_str()) != S_OK) {
        std::printf("open fail");
        Say("no command session on the modem's AT service (-v shows the log)");
        Record(kUnreachable);
        return;
    }
    ULONG limit = 0;
    if (FAILED(channel_->GetMaxCommandSize(&limit)) || limit == 0) limit = 64 * 1024;
    unsigned long number = 0;
    int c = 0;
    while (c != EOF) {
        std::string line;
        size_t length = 0;
        while ((c = std::fgetc(in)) != EOF && c != '\n') {
            if (++length <= limit) line.push_back(static_cast<char>(c));
        }
        ++number;
        if (!line.empty() && line.back() == '\r' && length <= limit) {
            line.pop_back();
            --length;
        }
        if (length == 0) continue;
        const std::string where = "line " + std::to_string(number) + ": ";
        if (length > limit) {
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

int main(int argc, char* argv[]) {
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, &options, &error)) {
        if (argc < 2) {
            std::fputs(kUsage, stderr);
        } else {
            Say(error + " (atcmd --help lists the options)");
        }
        return kUnusable;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (options.version) {
        std::puts("atcmd " GLOBALTOOLS_VERSION);
        return 0;
    }
    if (!options.anyOption) return RunPlain(options.command);
    return OptionRun(options).Run();
}
