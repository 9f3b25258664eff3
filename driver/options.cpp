// atcmd's command line (see options.h).
#include "options.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

struct KnownOption {
    char shortName;
    const char* longName;
    bool takesValue;
};

const KnownOption kOptions[] = {
    {'t', "timeout", true}, {'d', "device", true},       {'s', "service", true},  {'f', "file", true},
    {'l', "list", false},   {'e', "exit-status", false}, {'v', "verbose", false}, {'h', "help", false},
    {0, "version", false},  {'p', "port", true},         {1, "shared", false},    {2, "probe-ports", false},
};

// Long-only options have codes below ' ' in place of a letter.
const KnownOption* FindShort(char name) {
    if (static_cast<unsigned char>(name) <= ' ') return nullptr;
    for (const KnownOption& option : kOptions)
        if (option.shortName == name) return &option;
    return nullptr;
}

const KnownOption* FindLong(const std::string& name) {
    for (const KnownOption& option : kOptions)
        if (name == option.longName) return &option;
    return nullptr;
}

std::string Spelled(const KnownOption& option) { return std::string("--") + option.longName; }

// Seconds, decimals allowed, above 0 and at most kMaxTimeoutSeconds.
bool ParseTimeout(const std::string& text, unsigned long* ms) {
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.')) return false;
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 || seconds > kMaxTimeoutSeconds)
        return false;
    *ms = static_cast<unsigned long>(std::ceil(seconds * 1000));
    return true;
}

// A UUID with or without braces, in the brace form the API takes.
bool ParseService(std::string text, std::string* service) {
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    *service = "{" + text + "}";
    return true;
}

bool Apply(const KnownOption& option, const std::string& value, Options* options, std::string* error) {
    const std::string name = Spelled(option);
    switch (option.shortName) {
    case 't':
        if (!ParseTimeout(value, &options->timeoutMs)) {
            *error = name + " takes seconds above 0 and at most " + std::to_string(kMaxTimeoutSeconds) + ", not '" +
                     value + "'";
            return false;
        }
        return true;
    case 'd':
        if (value.empty()) {
            *error = name + " takes an interface ID or a device path";
            return false;
        }
        options->device = value;
        return true;
    case 's':
        if (!ParseService(value, &options->service)) {
            *error = name + " takes a UUID such as ffffffff-abca-4b11-a4e2-f2fc87f94488, not '" + value + "'";
            return false;
        }
        return true;
    case 'f':
        if (value.empty()) {
            *error = name + " takes a file name, or - for standard input";
            return false;
        }
        options->commandFile = value;
        options->hasCommandFile = true;
        return true;
    case 'p':
        if (value.empty()) {
            *error = name + " takes a port name such as COM3";
            return false;
        }
        options->port = value;
        return true;
    case 1: options->shared = true; return true;
    case 2: options->probePorts = true; return true;
    case 'l': options->list = true; return true;
    case 'e': options->exitStatus = true; return true;
    case 'v': options->verbose = true; return true;
    case 'h': options->help = true; return true;
    default: options->version = true; return true;
    }
}

}  // namespace

bool ParseOptions(int argc, char* argv[], Options* options, std::string* error) {
    *options = Options();
    if (argc < 2 || argv[1] == nullptr) {
        *error = "no AT command";
        return false;
    }
    if (argv[1][0] != '-') {
        options->command = argv[1];
        options->hasCommand = true;
        return true;
    }
    options->anyOption = true;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') break;
        if (arg[1] == '-') {
            const size_t equals = arg.find('=');
            const KnownOption* option =
                FindLong(arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2));
            if (option == nullptr) {
                *error = "unknown option " + arg.substr(0, equals);
                return false;
            }
            std::string value;
            if (option->takesValue && equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (option->takesValue) {
                if (i + 1 >= argc) {
                    *error = Spelled(*option) + " needs a value";
                    return false;
                }
                value = argv[++i];
            } else if (equals != std::string::npos) {
                *error = Spelled(*option) + " takes no value";
                return false;
            }
            if (!Apply(*option, value, options, error)) return false;
            continue;
        }
        for (size_t at = 1; at < arg.size(); ++at) {
            const KnownOption* option = FindShort(arg[at]);
            if (option == nullptr) {
                *error = std::string("unknown option -") + arg[at];
                return false;
            }
            std::string value;
            if (option->takesValue) {
                if (at + 1 < arg.size()) {
                    value = arg.substr(at + 1);
                } else if (i + 1 < argc) {
                    value = argv[++i];
                } else {
                    *error = Spelled(*option) + " needs a value";
                    return false;
                }
                at = arg.size();
            }
            if (!Apply(*option, value, options, error)) return false;
        }
    }
    if (options->help || options->version) return true;
    if (i < argc) {
        options->command = argv[i++];
        options->hasCommand = true;
    }
    if (i < argc) {
        *error = "one AT command at a time (-f reads several), not also '" + std::string(argv[i]) + "'";
        return false;
    }
    const int uses = (options->hasCommand ? 1 : 0) + (options->hasCommandFile ? 1 : 0) + (options->list ? 1 : 0);
    if (uses == 0) {
        *error = "no AT command";
        return false;
    }
    if (uses > 1) {
        *error = "give one of an AT command, --file and --list";
        return false;
    }
    if (!options->port.empty() && (options->list || !options->device.empty() || !options->service.empty())) {
        *error = "--port goes with neither --list, --device nor --service";
        return false;
    }
    if (options->shared && options->port.empty()) {
        *error = "--shared goes with --port";
        return false;
    }
    if (options->probePorts && !options->list) {
        *error = "--probe-ports goes with --list";
        return false;
    }
    return true;
}
