// ptymodem: the pseudo-terminal test modem as a program of its own, for
// tests that run elsewhere (a Windows build under Wine). It links <path> to
// the pty's slave device, e.g. a Wine prefix's dosdevices/com5, prints the
// device, and answers until the line is hung up (AT+SIMHANGUP) or the program
// is ended. With --persist a hung-up modem is replaced by a fresh one on a
// new pty and <path> follows it.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "pty_modem.h"

int main(int argc, char** argv) {
    std::string link;
    bool persist = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--link") == 0 && i + 1 < argc) {
            link = argv[++i];
        } else if (std::strcmp(argv[i], "--persist") == 0) {
            persist = true;
        } else {
            std::fprintf(stderr, "usage: %s --link <path> [--persist]\n", argv[0]);
            return 2;
        }
    }
    if (link.empty()) {
        std::fprintf(stderr, "usage: %s --link <path> [--persist]\n", argv[0]);
        return 2;
    }
    do {
        testsupport::PtyModem modem;
        if (!modem.Start()) {
            std::perror("ptymodem: no pseudo-terminal");
            return 1;
        }
        const std::string temporary = link + ".new";
        unlink(temporary.c_str());
        if (symlink(modem.SlavePath().c_str(), temporary.c_str()) != 0 ||
            rename(temporary.c_str(), link.c_str()) != 0) {
            std::perror("ptymodem: cannot link");
            return 1;
        }
        std::printf("%s\n", modem.SlavePath().c_str());
        std::fflush(stdout);
        modem.WaitUntilClosed();
    } while (persist);
    return 0;
}
