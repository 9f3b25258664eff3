// The simulated modem: a V.250/27.007 command interpreter with the
// answers of a small LTE modem. The simulated Mobile Broadband service puts it
// behind its AT device service; the MBIM device emulator behind real MBIM
// framing.
#ifndef MODEM_MODEM_H
#define MODEM_MODEM_H

#include <cstddef>
#include <string>

namespace mbnsim {

// The modem's identity and its settings after power-on (ATZ returns to them).
struct ModemConfig {
    bool echo = true;         // ATE1 is the V.250 factory default
    int cmee = 0;             // +CMEE mode: 0 ERROR, 1 numeric, 2 verbose
    bool simInserted = true;  // false: +CPIN?, +CIMI give +CME ERROR 10
    std::string manufacturer = "Simulated";
    std::string model = "MBIM AT Simulator";
    std::string revision = "SIM 1.0";
    std::string imei = "490154203237518";
    std::string imsi = "001010123456789";
    std::string operatorName = "Simulated Network";
    int rssi = 20;  // +CSQ
};

// The V.250 command interpreter. Feed takes bytes as a terminal would send
// them and returns what the modem writes back: for each command line ending in
// CR, the echo (ATE1) and the information text and final result code. Bytes
// before "AT" and line feeds are skipped; an unfinished line is kept for the
// next Feed. Not thread-safe (the service serialises its use).
class Modem {
public:
    explicit Modem(ModemConfig config = ModemConfig());
    std::string Feed(const std::string& bytes);
    void Reset();  // ATZ: the configured defaults again
    const ModemConfig& State() const { return state_; }

private:
    bool RunLine(const std::string& line, std::string& out);
    // One command of the line at body[i]; i moves past it. False with the
    // error result written when it fails.
    bool RunBasicCommand(const std::string& body, size_t& i, std::string& out);
    bool RunExtendedCommand(const std::string& body, size_t& i, std::string& out);
    // How an extended command is written: +NAME, +NAME?, +NAME=? or
    // +NAME=args.
    enum class Mode : char { Action = 'a', Read = 'r', Test = 't', Set = 's' };
    bool RunExtended(const std::string& name, Mode mode, const std::string& args, std::string& out);
    void Info(std::string& out, const std::string& text) const;
    void Final(std::string& out, const char* verbose, int numeric) const;
    void CmeError(std::string& out, int code, const char* text) const;

    ModemConfig defaults_;
    ModemConfig state_;
    bool verbose_ = true;  // ATV
    bool quiet_ = false;   // ATQ
    std::string pending_;
};

// Wraps an answer in the length-prefixed layout:
//   bytes 0..3  payload length N, unsigned 32-bit little-endian
//   bytes 4..   the N payload bytes
std::string LengthPrefixed(const std::string& payload);

}  // namespace mbnsim

#endif  // MODEM_MODEM_H
