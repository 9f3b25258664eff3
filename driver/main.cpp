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
#include <cstdio>
#include <string>

#include "options.h"
#include "road.h"
#include "tools/interfaces.h"

namespace {

// The modem's AT-command device service.
const WCHAR AT_DEVICE_SERVICE_ID[] = L"{ffffffff-abca-4b11-a4e2-f2fc87f94488}";
const ULONG kAtCommandId = 1;
const char kTerminator[] = "\r\n";

const char kUsage[] = "usage: atcmd <AT command>\n";
const char kHelp[] =
    "       atcmd [options] [--] <AT command>\n"
    "       atcmd [options] -f FILE | -f -\n"
    "       atcmd [options] -l [--probe-ports]\n"
    "       atcmd -h | --help | --version\n"
    "\n"
    "Sends the AT command, followed by CR LF, to the modem through its MBIM\n"
    "AT device service and prints the answer as it came, without a line break\n"
    "of its own; \"open fail\" when the Mobile Broadband service (with --port,\n"
    "the port) cannot be reached. Without options the exit status is 0 once a\n"
    "command was given, and failures show in the log only. Logging: LOG_LV in\n"
    "kvconfig.ini beside the program (see atcmd(1)).\n"
    "\n"
    "  -t, --timeout SECONDS  wait this long for each answer (default 5, at most 600)\n"
    "  -d, --device ID        the modem interface with this ID (see --list); on Linux\n"
    "                         also an MBIM device path such as /dev/cdc-wdm0\n"
    "  -s, --service UUID     the device service that carries the AT text\n"
    "                         (default ffffffff-abca-4b11-a4e2-f2fc87f94488)\n"
    "  -l, --list             one line per modem: ID, manufacturer, model, ready state\n"
    "  -e, --exit-status      exit 0 when the answer ends in OK (or CONNECT, or the >\n"
    "                         prompt), 1 when it ends in an error result or (MBIM)\n"
    "                         in none, 2 when a command could not be used, 3 when\n"
    "                         the modem could not be reached, 4 when no answer (with\n"
    "                         --port: no final result code) came in time\n"
    "  -v, --verbose          also write the log's lines to standard error\n"
    "  -f, --file FILE        send the commands of FILE (- for standard input), one\n"
    "                         per line, in order through one channel; empty lines\n"
    "                         are skipped\n"
    "  -p, --port NAME        use the serial AT port NAME (COM3; on Linux also a\n"
    "                         device such as /dev/ttyUSB2) instead of MBIM: the\n"
    "                         command goes out followed by CR, and the answer is\n"
    "                         read up to its final result code\n"
    "      --shared           with --port: open the port although another program\n"
    "                         has it open (Linux)\n"
    "      --probe-ports      with --list: also list the serial ports that answer AT\n"
    "                         (writes AT to each port that opens)\n"
    "  -h, --help             print this help and exit\n"
    "      --version          print the version and exit\n";

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
    return options.port.empty() ? RunMbim(options) : RunSerial(options);
}
