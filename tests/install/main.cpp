// Uses the installed component library the way a program outside this
// repository would: through tools/interfaces.h and CreateToolInstance only.
// Usage: use_tools <log file>. Exits 0 when every check holds, otherwise
// prints what failed and exits 1.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "tools/interfaces.h"

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "failed: %s\n", what);
        ++failures;
    }
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: use_tools <log file>\n");
        return 2;
    }
    const std::string logFile = argv[1];

    // The channels are created and released without being opened: that
    // needs a modem.
    const GUID* channelIds[] = {&IID_IDeviceMsg, &IID_IMbimChannel};
    for (const GUID* id : channelIds) {
        void* object = NULL;
        if (CreateToolInstance(*id, &object) == 1) {
            Check(object != NULL, "a channel object");
            if (IsEqualGUID(*id, IID_IDeviceMsg)) {
                static_cast<IGlobalTools::IDeviceMsg*>(object)->Release();
            } else {
                static_cast<IGlobalTools::IMbimChannel*>(object)->Release();
            }
        }
    }

    void* object = NULL;
    Check(CreateToolInstance(IID_IAtParser, &object) == 1, "IID_IAtParser yields a parser");
    if (object != NULL) {
        IGlobalTools::IAtParser* parser = static_cast<IGlobalTools::IAtParser*>(object);
        const char wrapped[] = {0x02, 0x00, 0x00, 0x00, 'O', 'K', '\r', '\n'};
        std::string answer;
        parser->Parse(wrapped, sizeof(wrapped), answer);
        Check(answer == "OK", "the parser unwraps a length-prefixed answer");
        parser->Release();
    }

    object = NULL;
    Check(CreateToolInstance(IID_ILog, &object) == 1, "IID_ILog yields the shared logger");
    if (object != NULL) {
        IGlobalTools::ILog* shared = static_cast<IGlobalTools::ILog*>(object);
        Check(shared == GetSharedLog(), "GetSharedLog returns the same logger");
        shared->Release();
        shared->Release();
    }

    object = NULL;
    Check(CreateToolInstance(IID_ILogEx, &object) == 1, "IID_ILogEx yields a private logger");
    if (object != NULL) {
        IGlobalTools::ILogEx* log = static_cast<IGlobalTools::ILogEx*>(object);
        log->SetLogPath(logFile.c_str());
        log->Log(0, "installed package %s", "works");
        log->Release();
        const std::string text = ReadAll(logFile);
        Check(text.find(" : installed package works\r\n") != std::string::npos, "the private logger writes its line");
    }

    Check(CreateToolInstance(GUID(), &object) == 0, "an unknown ID yields nothing");
    return failures == 0 ? 0 : 1;
}
