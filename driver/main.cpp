// atcmd: sends one AT command to the modem through the MBIM channel and
// prints the modem's answer.
//
//   atcmd <AT command>
//   atcmd -h | --help | --version
//
// The command is the first argument followed by CR LF. Standard output gets
// the answer up to its first zero byte, or "open fail" when the channel
// cannot be opened; failures are otherwise reported only in the log. The exit
// status is 0 once a command was given, 2 when none was. Only the exact
// first arguments "-h", "--help" and "--version" are options; anything else,
// "-H" or "--help=x" included, is sent to the modem as a command.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/interfaces.h"

namespace {

// The modem's AT-command device service.
const WCHAR AT_DEVICE_SERVICE_ID[] = L"{ffffffff-abca-4b11-a4e2-f2fc87f94488}";
const ULONG kAtCommandId = 1;

const char kUsage[] = "usage: atcmd <AT command>\n";
const char kHelp[] =
    "       atcmd -h | --help | --version\n"
    "\n"
    "Sends the AT command, followed by CR LF, to the modem through its MBIM\n"
    "AT device service and prints the answer as it came, without a line break\n"
    "of its own; \"open fail\" when the Mobile Broadband service cannot be\n"
    "reached. The exit status is 0 once a command was given; failures show in\n"
    "the log only. Logging: LOG_LV in kvconfig.ini beside the program (see\n"
    "atcmd(1)).\n"
    "\n"
    "  -h, --help   print this help and exit\n"
    "  --version    print the version and exit\n";

bool Is(const char* argument, const char* option) { return std::strcmp(argument, option) == 0; }

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2 || argv[1] == NULL) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (Is(argv[1], "-h") || Is(argv[1], "--help")) {
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (Is(argv[1], "--version")) {
        std::puts("atcmd " GLOBALTOOLS_VERSION);
        return 0;
    }

    const std::string terminator("\r\n");
    std::string command(argv[1]);
    command += terminator;
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
