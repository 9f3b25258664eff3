// The simulated modem's command interpreter: a small V.250 command line
// parser (basic commands, extended commands separated by ';') with the
// 27.007 identification, SIM, signal and operator queries, and the
// length-prefixed wrapping some devices apply to their answers.
//
// Result framing follows V.250: with ATV1 every information text and the final
// result code are headed and trailed by CR LF ("\r\nOK\r\n"); with ATV0
// information text is trailed by CR LF and the result is a digit and CR
// ("0\r"); ATQ1 suppresses result codes. Errors of the mobile equipment follow
// +CMEE: plain ERROR (0), "+CME ERROR: <n>" (1) or "+CME ERROR: <text>" (2).
// Unknown commands and syntax errors always give plain ERROR.
#include "modem.h"

#include <cctype>

namespace mbnsim {

namespace {

constexpr size_t kMaxLine = 2048;

// 27.007 error codes the modem reports.
constexpr int kCmeNotAllowed = 3;
constexpr int kCmeSimNotInserted = 10;
constexpr int kCmeIncorrectParameters = 50;

char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

bool ParseNumber(const std::string& text, int& value) {
    if (text.empty() || text.size() > 6) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

// A basic command's number at body[i], i moved past its digits: none means
// 0; false for one too long to be a setting.
bool ReadNumber(const std::string& body, size_t& i, int& value) {
    std::string digits;
    while (i < body.size() && std::isdigit(static_cast<unsigned char>(body[i]))) digits += body[i++];
    if (digits.empty()) {
        value = 0;
        return true;
    }
    return ParseNumber(digits, value);
}

// The characters an extended command's name may use after its '+'.
bool IsNameCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '!' || c == '%' || c == '-' || c == '.' || c == '/' ||
           c == ':' || c == '_';
}

}  // namespace

std::string LengthPrefixed(const std::string& payload) {
    const uint32_t n = static_cast<uint32_t>(payload.size());
    std::string out;
    out.reserve(payload.size() + 4);
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((n >> shift) & 0xFF));
    out += payload;
    return out;
}

Modem::Modem(ModemConfig config) : defaults_(std::move(config)), state_(defaults_) {}

void Modem::Reset() {
    state_ = defaults_;
    verbose_ = true;
    quiet_ = false;
}

std::string Modem::Feed(const std::string& bytes) {
    std::string out;
    for (char c : bytes) {
        if (c == '\n') continue;  // a terminal's CR LF: the LF starts no command
        if (c == '\b') {
            if (!pending_.empty()) pending_.pop_back();
            continue;
        }
        if (c != '\r') {
            if (pending_.size() <= kMaxLine) pending_.push_back(c);
            continue;
        }
        std::string line;
        line.swap(pending_);
        // Anything before the "AT" prefix is noise on the line.
        size_t at = std::string::npos;
        for (size_t i = 0; i + 1 < line.size(); ++i) {
            if (Upper(line[i]) == 'A' && Upper(line[i + 1]) == 'T') {
                at = i;
                break;
            }
        }
        if (at == std::string::npos) continue;
        if (state_.echo) out += line.substr(at) + "\r";
        if (line.size() > kMaxLine) {
            Final(out, "ERROR", 4);
            continue;
        }
        if (RunLine(line.substr(at + 2), out)) Final(out, "OK", 0);
    }
    return out;
}

void Modem::Info(std::string& out, const std::string& text) const {
    if (verbose_)
        out += "\r\n" + text + "\r\n";
    else
        out += text + "\r\n";
}

void Modem::Final(std::string& out, const char* verbose, int numeric) const {
    if (quiet_) return;
    if (verbose_)
        out += std::string("\r\n") + verbose + "\r\n";
    else
        out += std::to_string(numeric) + "\r";
}

void Modem::CmeError(std::string& out, int code, const char* text) const {
    if (state_.cmee == 1)
        Info(out, "+CME ERROR: " + std::to_string(code));
    else if (state_.cmee == 2)
        Info(out, std::string("+CME ERROR: ") + text);
    else
        Final(out, "ERROR", 4);
}

// Runs the commands after "AT". Returns true when all succeeded (the caller
// then writes OK); on the first failure the error result is already written
// and the rest of the line is not executed.
bool Modem::RunLine(const std::string& body, std::string& out) {
    size_t i = 0;
    while (i < body.size()) {
        const char c = body[i];
        if (c == ' ' || c == ';') {
            ++i;
            continue;
        }
        const bool ok = c == '+' ? RunExtendedCommand(body, i, out) : RunBasicCommand(body, i, out);
        if (!ok) return false;
    }
    return true;
}

// Extended command: +NAME[=?|?|=args], ended by ';' or the line. Its syntax
// is checked here; RunExtended answers it.
bool Modem::RunExtendedCommand(const std::string& body, size_t& i, std::string& out) {
    size_t j = i + 1;
    std::string name = "+";
    while (j < body.size() && IsNameCharacter(body[j])) name += Upper(body[j++]);
    Mode mode = Mode::Action;
    std::string args;
    if (j < body.size() && body[j] == '=') {
        if (j + 1 < body.size() && body[j + 1] == '?') {
            mode = Mode::Test;
            j += 2;
        } else {
            mode = Mode::Set;
            ++j;
            bool quoted = false;
            while (j < body.size() && (quoted || body[j] != ';')) {
                if (body[j] == '"') quoted = !quoted;
                args += body[j++];
            }
        }
    } else if (j < body.size() && body[j] == '?') {
        mode = Mode::Read;
        ++j;
    }
    while (j < body.size() && body[j] == ' ') ++j;
    if (name.size() == 1 || (j < body.size() && body[j] != ';')) {
        Final(out, "ERROR", 4);
        return false;
    }
    i = j;
    return RunExtended(name, mode, args, out);
}

// Basic command: a letter, or '&' and a letter, with an optional number.
bool Modem::RunBasicCommand(const std::string& body, size_t& i, std::string& out) {
    const char c = Upper(body[i++]);
    int value = 0;
    bool ok = true;
    switch (c) {
    case 'E':
        ok = ReadNumber(body, i, value) && value <= 1;
        if (ok) state_.echo = value == 1;
        break;
    case 'V':
        ok = ReadNumber(body, i, value) && value <= 1;
        if (ok) verbose_ = value == 1;
        break;
    case 'Q':
        ok = ReadNumber(body, i, value) && value <= 1;
        if (ok) quiet_ = value == 1;
        break;
    case 'Z':
        ok = ReadNumber(body, i, value) && value == 0;
        if (ok) Reset();
        break;
    case 'H':
    case 'L':
    case 'M':
    case 'X':
        ok = ReadNumber(body, i, value);  // hook, speaker and result-set options mean nothing here
        break;
    case 'I':
        ok = ReadNumber(body, i, value) && value == 0;
        if (ok)
            Info(out, "Simulated MBIM LTE modem - not a real device\r\nManufacturer: " + state_.manufacturer +
                          "\r\nModel: " + state_.model + "\r\nRevision: " + state_.revision +
                          "\r\nIMEI: " + state_.imei);
        break;
    case '&': {
        const char what = i < body.size() ? Upper(body[i++]) : '\0';
        ok = (what == 'F' || what == 'C' || what == 'D' || what == 'K') && ReadNumber(body, i, value);
        if (ok && what == 'F') ok = value == 0;
        if (ok && what == 'F') Reset();
        break;
    }
    default: ok = false; break;
    }
    if (!ok) Final(out, "ERROR", 4);
    return ok;
}

bool Modem::RunExtended(const std::string& name, Mode mode, const std::string& args, std::string& out) {
    auto identity = [&](const std::string& value) {
        if (mode == Mode::Action) {
            Info(out, value);
            return true;
        }
        if (mode == Mode::Test) return true;
        Final(out, "ERROR", 4);
        return false;
    };
    if (name == "+CGMI" || name == "+GMI") return identity(state_.manufacturer);
    if (name == "+CGMM" || name == "+GMM") return identity(state_.model);
    if (name == "+CGMR" || name == "+GMR") return identity(state_.revision);
    if (name == "+CGSN" || name == "+GSN") return identity(state_.imei);
    if (name == "+GCAP") return identity("+GCAP: +CGSM");
    if (name == "+CIMI") {
        if (mode == Mode::Action && !state_.simInserted) {
            CmeError(out, kCmeSimNotInserted, "SIM not inserted");
            return false;
        }
        return identity(state_.imsi);
    }
    if (name == "+CSQ") {
        if (mode == Mode::Test) {
            Info(out, "+CSQ: (0-31,99),(0-7,99)");
            return true;
        }
        return identity("+CSQ: " + std::to_string(state_.rssi) + ",99");
    }
    if (name == "+CPIN") {
        if (mode == Mode::Test) return true;
        if (!state_.simInserted) {
            CmeError(out, kCmeSimNotInserted, "SIM not inserted");
            return false;
        }
        if (mode == Mode::Read) {
            Info(out, "+CPIN: READY");
            return true;
        }
        // No PIN is asked for, so entering one is not allowed.
        CmeError(out, kCmeNotAllowed, "operation not allowed");
        return false;
    }
    if (name == "+COPS") {
        if (mode == Mode::Read) {
            Info(out, state_.simInserted ? "+COPS: 0,0,\"" + state_.operatorName + "\",7" : "+COPS: 0");
            return true;
        }
        if (mode == Mode::Test) {
            Info(out, "+COPS: (2,\"" + state_.operatorName + "\",\"SimNet\",\"00101\",7),,(0-4),(0-2)");
            return true;
        }
        int value = 0;
        if (mode == Mode::Set && ParseNumber(args.substr(0, args.find(',')), value) && value == 0) return true;
        CmeError(out, kCmeNotAllowed, "operation not allowed");
        return false;
    }
    if (name == "+CFUN") {
        if (mode == Mode::Read) {
            Info(out, "+CFUN: 1");
            return true;
        }
        if (mode == Mode::Test) {
            Info(out, "+CFUN: (0,1,4),(0,1)");
            return true;
        }
        CmeError(out, kCmeNotAllowed, "operation not allowed");
        return false;
    }
    if (name == "+CMEE") {
        if (mode == Mode::Read) {
            Info(out, "+CMEE: " + std::to_string(state_.cmee));
            return true;
        }
        if (mode == Mode::Test) {
            Info(out, "+CMEE: (0-2)");
            return true;
        }
        int value = 0;
        if (mode == Mode::Action || (ParseNumber(args, value) && value <= 2)) {
            state_.cmee = value;
            return true;
        }
        CmeError(out, kCmeIncorrectParameters, "Incorrect parameters");
        return false;
    }
    Final(out, "ERROR", 4);
    return false;
}

}  // namespace mbnsim
