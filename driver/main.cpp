// atcmd: sends one AT command to the modem through the MBIM channel and
// prints the modem's answer.
//
//   atcmd <AT command>
//
// The command is the first argument followed by CR LF. Standard output gets
// the answer up to its first zero byte, or "open fail" when the channel
// cannot be opened; failures are otherwise reported only in the log. The exit
// status is 0 once a command was given, 2 when none was.
#include <cstdio>
#include <string>

#include "tools/interfaces.h"

namespace {

// The modem's AT-command device service.
const WCHAR AT_DEVICE_SERVICE_ID[] = L"{ffffffff-abca-4b11-a4e2-f2fc87f94488}";
const ULONG kAtCommandId = 1;

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 2 || argv[1] == NULL) {
        std::fputs("usage: atcmd <AT command>\n", stderr);
        return 2;
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
    } else if (channel->SendData(command.c_str(), static_cast<unsigned int>(command.size()), response,
                                 NULL, AT_DEVICE_SERVICE_ID, kAtCommandId) == S_OK) {
        std::printf("%s", response.c_str());
    }
    channel->Release();
    return 0;
}
