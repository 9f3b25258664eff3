// atcmd's command line. A first argument that does not begin with '-' is the
// AT command and nothing else is read, as the program has always done (no AT
// command begins with '-'). Otherwise options come first, short or long
// (-t 5, -t5, --timeout 5, --timeout=5; flags may be bundled, -ev), "--" ends
// them, and the AT command is the one argument that follows.
#ifndef DRIVER_OPTIONS_H
#define DRIVER_OPTIONS_H

#include <string>

struct Options {
    bool help = false;
    bool version = false;
    bool list = false;            // -l, --list
    bool exitStatus = false;      // -e, --exit-status
    bool verbose = false;         // -v, --verbose
    unsigned long timeoutMs = 0;  // -t, --timeout (0: not given)
    std::string device;           // -d, --device
    std::string service;          // -s, --service, as "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"
    std::string commandFile;      // -f, --file ("-": standard input)
    std::string port;             // -p, --port
    bool shared = false;          // --shared
    bool probePorts = false;      // --probe-ports
    bool hasCommandFile = false;
    std::string command;
    bool hasCommand = false;
    bool anyOption = false;  // false: the plain `atcmd <AT command>` form
};

// The longest answer wait -t takes, in seconds.
constexpr unsigned kMaxTimeoutSeconds = 600;

// Reads argv into *options. False when the command line cannot be used, with
// a one-line reason in *error (no line end).
bool ParseOptions(int argc, char* argv[], Options* options, std::string* error);

#endif  // DRIVER_OPTIONS_H
