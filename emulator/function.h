// An MBIM function as a pure state machine: the bytes a host writes go in,
// the bytes the function writes back come out. It splits the byte stream into
// messages, reassembles fragmented commands, answers OPEN/CLOSE and the
// BASIC_CONNECT queries, passes AT service commands to the simulated modem
// and fragments its replies to the host's maximum transfer. Fault switches
// make it misbehave the way real devices do. No I/O, no clock, no threads:
// the emulator program (main.cpp) moves the bytes, and writes the replies the
// function holds back (TakeDelayed) when they are due.
#ifndef EMULATOR_FUNCTION_H
#define EMULATOR_FUNCTION_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "wire.h"
#include "modem.h"

namespace emulator {

using mbnsim::Modem;
using mbnsim::ModemConfig;

// How the function misbehaves. "AT command" means COMMAND SET CID 1 on the
// AT service.
struct Faults {
    std::optional<uint32_t> atStatus;  // AT commands: COMMAND_DONE with this status, empty buffer
    bool silent = false;               // AT commands: no answer at all
    bool silentOpen = false;           // OPEN: no answer
    bool indicateFirst = false;        // INDICATE_STATUS on the AT service before each AT reply
    size_t fragmentLimit = 0;          // replies cut to at most this many bytes (0: host's maximum;
                                       // below kMinFragmentLimit: that minimum)
    unsigned removeAfter = 0;          // the device goes away on this AT command (1-based; 0: never)
    bool wrongTid = false;             // AT replies carry another transaction ID
    bool wrongService = false;         // AT replies name BASIC_CONNECT, with the right transaction ID
    bool wrongCid = false;             // AT replies name another CID, with the right transaction ID
    bool truncate = false;             // the last fragment of an AT reply is cut short
    unsigned delayMs = 0;              // AT commands: what they get is handed out by TakeDelayed, due this
                                       // many milliseconds after the command (0: answered at once)
    size_t maxMessage = 0;             // the device's maximum control message: a host message above it is
                                       // cut to it and the rest skipped (0: above kMaxHostMessage refused;
                                       // below kMinControlTransfer: that minimum)
    bool refuseSubscribe = false;      // SET DEVICE_SERVICE_SUBSCRIBE_LIST: COMMAND_DONE NO_DEVICE_SUPPORT
    bool silentClose = false;          // CLOSE: no answer, though the function closes
    bool unsolicitedError = false;     // AT commands: FUNCTION_ERROR NOT_OPENED with transaction ID 0, and
                                       // the function is closed, as one that has just reset
};

// The smallest message that still carries a byte of a stream.
constexpr size_t kMinFragmentLimit = kHeaderSize + kFragmentHeaderSize + 1;
// Largest message the function accepts from the host: libmbim's own cut.
// Above it, FUNCTION_ERROR MAX_TRANSFER, unless Faults::maxMessage is set.
constexpr size_t kMaxHostMessage = 4096;
// Bound on a reassembled command stream.
constexpr size_t kMaxCommandStream = 64 * 1024;
// The bytes of the indication --indicate-first sends.
extern const char kIndicationBytes[];
// The transaction ID a --wrong-tid reply carries instead of the right one.
uint32_t WrongTransactionId(uint32_t transactionId);
// The CID a --wrong-cid reply names instead of kCidAtCommand.
constexpr uint32_t kWrongCid = kCidAtCommand + 1;

class Function {
public:
    // The modem gets the configuration as given: an AT device service for
    // programs has echo off, so callers normally pass echo = false.
    Function(const Faults& faults, const ModemConfig& modem);

    // Takes bytes the host wrote (any split: several messages, or part of
    // one) and returns the bytes to write back, in order. After the device
    // has gone, nothing more is answered.
    std::string Receive(const std::string& bytes);

    // Bytes held back by --delay: one entry for each AT command that got an
    // answer, in the order of the commands, to be written delayMs after the
    // Receive call that took the command. Handed out once.
    struct Delayed {
        std::string bytes;
        unsigned delayMs = 0;
    };
    std::vector<Delayed> TakeDelayed();

    // True once --remove-after struck: the caller closes the port and ends.
    bool Removed() const { return removed_; }
    // The host's MaxControlTransfer from its last OPEN (0 before).
    uint32_t HostMaxTransfer() const { return hostMaxTransfer_; }
    // The largest host message the function takes whole.
    size_t MaxMessage() const { return faults_.maxMessage != 0 ? faults_.maxMessage : kMaxHostMessage; }
    unsigned AtCommands() const { return atCommands_; }

    // Where the function says what it does (the program's -v).
    void SetLog(std::function<void(const std::string&)> log) { log_ = std::move(log); }

private:
    // cut: the message lost its tail to the maximum message size, so its
    // information buffer is what arrived of it.
    void OnMessage(const std::string& message, bool cut, std::string& out);
    void OnCommandFragment(const std::string& message, bool cut, std::string& out);
    void OnCommand(uint32_t transactionId, const std::string& stream, bool cut, std::string& out);
    void OnAtCommand(uint32_t transactionId, const std::string& buffer, std::string& out);
    void Reply(uint32_t type, uint32_t transactionId, const std::string& stream, std::string& out,
               bool truncateLast = false);
    void Error(uint32_t transactionId, uint32_t code, std::string& out);
    void Log(const std::string& text) const;

    Faults faults_;
    Modem modem_;
    std::string input_;  // bytes of a message not yet complete
    size_t skip_ = 0;    // bytes of a cut message still to come, to be dropped
    std::vector<Delayed> delayed_;
    bool opened_ = false;
    bool removed_ = false;
    uint32_t hostMaxTransfer_ = 0;
    unsigned atCommands_ = 0;

    // A fragmented command being reassembled.
    struct Pending {
        uint32_t transactionId = 0;
        uint32_t total = 0;
        uint32_t next = 0;
        std::string stream;
        bool cut = false;
    };
    std::optional<Pending> pending_;
    std::function<void(const std::string&)> log_;
};

}  // namespace emulator

#endif  // EMULATOR_FUNCTION_H
