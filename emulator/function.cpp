// The emulated MBIM function: message framing on a byte stream, OPEN/CLOSE,
// reassembly of fragmented commands, the BASIC_CONNECT queries, the AT
// service and the fault switches. See function.h.
#include "function.h"

#include <algorithm>
#include <cstdio>

#include "basic_connect.h"

namespace emulator {

namespace {

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

}  // namespace

const char kIndicationBytes[] = "\r\n+SIMIND: 1\r\n";

uint32_t WrongTransactionId(uint32_t transactionId) {
    const uint32_t wrong = transactionId ^ 0x40000000u;
    return wrong != 0 ? wrong : 1;
}

Function::Function(const Faults& faults, const ModemConfig& modem) : faults_(faults), modem_(modem) {
    // A cut that leaves no room for a byte of the stream would never end.
    if (faults_.fragmentLimit != 0 && faults_.fragmentLimit < kMinFragmentLimit)
        faults_.fragmentLimit = kMinFragmentLimit;
    if (faults_.maxMessage != 0 && faults_.maxMessage < kMinControlTransfer) faults_.maxMessage = kMinControlTransfer;
}

void Function::Log(const std::string& text) const {
    if (log_) log_(text);
}

std::string Function::Receive(const std::string& bytes) {
    std::string out;
    if (removed_) return out;
    input_ += bytes;
    while (!removed_) {
        if (skip_ != 0) {
            const size_t dropped = std::min(skip_, input_.size());
            input_.erase(0, dropped);
            skip_ -= dropped;
            if (skip_ != 0) break;
        }
        if (input_.size() < kHeaderSize) break;
        const uint32_t length = GetU32(input_, 4);
        if (length < kHeaderSize || (length > kMaxHostMessage && faults_.maxMessage == 0)) {
            // The stream cannot be followed past a length it cannot trust:
            // drop what is buffered and hope the host's next write starts a
            // message.
            const uint32_t transactionId = GetU32(input_, 8);
            Log("message length " + std::to_string(length) + " refused; " + std::to_string(input_.size()) +
                " bytes dropped");
            Error(transactionId, length < kHeaderSize ? kErrorLengthMismatch : kErrorMaxTransfer, out);
            input_.clear();
            pending_.reset();
            break;
        }
        // Like Linux cdc-wdm, a device with a smaller maximum takes the first
        // bytes of a longer message as the whole transfer; the rest of the
        // message never reaches it.
        const size_t arrives = std::min<size_t>(length, MaxMessage());
        if (input_.size() < arrives) break;
        const std::string message = input_.substr(0, arrives);
        input_.erase(0, arrives);
        if (arrives < length) {
            skip_ = length - arrives;
            Log("message of " + std::to_string(length) + " bytes cut to " + std::to_string(arrives) +
                " (--max-message)");
        }
        OnMessage(message, arrives < length, out);
    }
    return out;
}

std::vector<Function::Delayed> Function::TakeDelayed() {
    std::vector<Delayed> taken;
    taken.swap(delayed_);
    return taken;
}

void Function::OnMessage(const std::string& message, bool cut, std::string& out) {
    const uint32_t type = GetU32(message, 0);
    const uint32_t transactionId = GetU32(message, 8);
    switch (type) {
    case kOpen: {
        if (message.size() < kHeaderSize + 4) {
            Error(transactionId, kErrorLengthMismatch, out);
            return;
        }
        const uint32_t maxTransfer = GetU32(message, kHeaderSize);
        Log("OPEN tid " + std::to_string(transactionId) + " MaxControlTransfer " + std::to_string(maxTransfer));
        if (faults_.silentOpen) {
            Log("OPEN left unanswered (--silent-open)");
            return;
        }
        pending_.reset();
        if (maxTransfer < kMinControlTransfer) {
            opened_ = false;
            out += SimpleMessage(kOpenDone, transactionId, kStatusInvalidParameters);
            return;
        }
        opened_ = true;
        hostMaxTransfer_ = maxTransfer;
        out += SimpleMessage(kOpenDone, transactionId, kStatusSuccess);
        return;
    }
    case kClose:
        Log("CLOSE tid " + std::to_string(transactionId));
        opened_ = false;
        pending_.reset();
        if (faults_.silentClose) {
            Log("CLOSE left unanswered (--silent-close)");
            return;
        }
        out += SimpleMessage(kCloseDone, transactionId, kStatusSuccess);
        return;
    case kCommand:
        if (!opened_) {
            Log("COMMAND tid " + std::to_string(transactionId) + " before OPEN");
            Error(transactionId, kErrorNotOpened, out);
            return;
        }
        OnCommandFragment(message, cut, out);
        return;
    case kHostError:
        Log("HOST_ERROR tid " + std::to_string(transactionId));
        if (pending_ && pending_->transactionId == transactionId) pending_.reset();
        return;
    default:
        Log("unknown message type " + Hex(type));
        Error(transactionId, kErrorUnknown, out);
        return;
    }
}

void Function::OnCommandFragment(const std::string& message, bool cut, std::string& out) {
    const uint32_t transactionId = GetU32(message, 8);
    if (message.size() < kHeaderSize + kFragmentHeaderSize) {
        Error(transactionId, kErrorLengthMismatch, out);
        return;
    }
    const uint32_t total = GetU32(message, kHeaderSize);
    const uint32_t current = GetU32(message, kHeaderSize + 4);
    const std::string piece = message.substr(kHeaderSize + kFragmentHeaderSize);
    if (pending_) {
        Pending& pending = *pending_;
        if (transactionId == pending.transactionId && total == pending.total && current == pending.next) {
            pending.stream += piece;
            pending.cut = pending.cut || cut;
            if (pending.stream.size() > kMaxCommandStream) {
                Error(transactionId, kErrorMaxTransfer, out);
                pending_.reset();
                return;
            }
            if (++pending.next < pending.total) return;
            const std::string stream = std::move(pending.stream);
            const bool streamCut = pending.cut;
            pending_.reset();
            OnCommand(transactionId, stream, streamCut, out);
            return;
        }
        // The message being reassembled is lost; a new first fragment still
        // starts its own message.
        Log("fragment " + std::to_string(current) + "/" + std::to_string(total) + " tid " +
            std::to_string(transactionId) + " out of sequence");
        Error(pending.transactionId, kErrorFragmentOutOfSequence, out);
        pending_.reset();
        if (current != 0) return;
    }
    if (total == 0 || current >= total) {
        Error(transactionId, kErrorLengthMismatch, out);
        return;
    }
    if (current != 0) {
        Log("fragment " + std::to_string(current) + " tid " + std::to_string(transactionId) + " without its first");
        Error(transactionId, kErrorFragmentOutOfSequence, out);
        return;
    }
    if (total == 1) {
        OnCommand(transactionId, piece, cut, out);
        return;
    }
    pending_ = Pending{transactionId, total, 1, piece, cut};
}

void Function::OnCommand(uint32_t transactionId, const std::string& stream, bool cut, std::string& out) {
    if (stream.size() < kCommandStreamFixed) {
        Error(transactionId, kErrorLengthMismatch, out);
        return;
    }
    size_t bufferLength = GetU32(stream, 24);
    if (bufferLength > stream.size() - kCommandStreamFixed) {
        if (!cut) {
            Error(transactionId, kErrorLengthMismatch, out);
            return;
        }
        bufferLength = stream.size() - kCommandStreamFixed;
        Log("information buffer of " + std::to_string(GetU32(stream, 24)) + " bytes cut to " +
            std::to_string(bufferLength));
    }
    const Uuid service = GetUuid(stream, 0);
    const uint32_t cid = GetU32(stream, 16);
    const uint32_t type = GetU32(stream, 20);
    const std::string buffer = stream.substr(kCommandStreamFixed, bufferLength);
    Log(std::string(type == kSet ? "SET " : "QUERY ") + FormatUuid(service) + " CID " + std::to_string(cid) + " tid " +
        std::to_string(transactionId) + ", " + std::to_string(buffer.size()) + " bytes");

    std::optional<std::string> answer;
    if (service == kBasicConnect && type == kQuery) {
        if (cid == kCidDeviceCaps) answer = DeviceCapsInfo(modem_.State());
        if (cid == kCidSubscriberReadyStatus) answer = SubscriberReadyStatusInfo(modem_.State());
        if (cid == kCidDeviceServices) answer = DeviceServicesInfo();
    } else if (service == kBasicConnect && type == kSet && cid == kCidDeviceServiceSubscribeList) {
        // The function sends no indications of its own accord, so the list
        // is only confirmed: the answer is the list as set.
        if (!faults_.refuseSubscribe) answer = buffer;
    } else if (service == kAtService && type == kSet && cid == kCidAtCommand) {
        if (faults_.delayMs == 0) {
            OnAtCommand(transactionId, buffer, out);
            return;
        }
        std::string late;
        OnAtCommand(transactionId, buffer, late);
        if (!late.empty()) {
            Log("AT answer held back " + std::to_string(faults_.delayMs) + " ms (--delay)");
            delayed_.push_back({std::move(late), faults_.delayMs});
        }
        return;
    }
    if (answer) {
        Reply(kCommandDone, transactionId, CommandDoneStream(service, cid, kStatusSuccess, *answer), out);
    } else {
        Log("not supported");
        Reply(kCommandDone, transactionId, CommandDoneStream(service, cid, kStatusNoDeviceSupport, ""), out);
    }
}

void Function::OnAtCommand(uint32_t transactionId, const std::string& buffer, std::string& out) {
    ++atCommands_;
    if (faults_.removeAfter != 0 && atCommands_ == faults_.removeAfter) {
        Log("AT command " + std::to_string(atCommands_) + ": the device goes away (--remove-after)");
        removed_ = true;
        return;
    }
    if (faults_.unsolicitedError) {
        // The command is lost with the reset; the error names no transaction.
        Log("AT command " + std::to_string(atCommands_) + ": the function resets (--unsolicited-error)");
        opened_ = false;
        Error(0, kErrorNotOpened, out);
        return;
    }
    const std::string answer = modem_.Feed(buffer);
    if (faults_.silent) {
        Log("AT answer withheld (--silent)");
        return;
    }
    if (faults_.indicateFirst) {
        Reply(kIndicateStatus, 0, IndicateStatusStream(kAtService, kCidAtCommand, kIndicationBytes), out);
    }
    const uint32_t status = faults_.atStatus.value_or(kStatusSuccess);
    const uint32_t replyId = faults_.wrongTid ? WrongTransactionId(transactionId) : transactionId;
    // The transaction ID stays right: a host that matches replies on it
    // alone takes this one for its answer.
    const Uuid& replyService = faults_.wrongService ? kBasicConnect : kAtService;
    const uint32_t replyCid = faults_.wrongCid ? kWrongCid : kCidAtCommand;
    Reply(kCommandDone, replyId, CommandDoneStream(replyService, replyCid, status, faults_.atStatus ? "" : answer), out,
          faults_.truncate);
}

void Function::Reply(uint32_t type, uint32_t transactionId, const std::string& stream, std::string& out,
                     bool truncateLast) {
    size_t maxTransfer = hostMaxTransfer_;
    if (faults_.fragmentLimit != 0 && faults_.fragmentLimit < maxTransfer) maxTransfer = faults_.fragmentLimit;
    std::vector<std::string> messages = Fragment(type, transactionId, stream, maxTransfer);
    if (truncateLast) {
        // Half the last piece goes missing, yet the stream still declares it:
        // MessageLength stays true to the bytes sent, so the host can read on
        // past the message, but the reassembled command cannot be parsed.
        std::string& last = messages.back();
        const size_t piece = last.size() - kHeaderSize - kFragmentHeaderSize;
        last.resize(last.size() - (piece + 1) / 2);
        SetU32(last, 4, static_cast<uint32_t>(last.size()));
    }
    Log("reply " + Hex(type) + " tid " + std::to_string(transactionId) + ": " + std::to_string(messages.size()) +
        " message(s), " + std::to_string(stream.size()) + " stream bytes");
    for (const std::string& message : messages) out += message;
}

void Function::Error(uint32_t transactionId, uint32_t code, std::string& out) {
    Log("FUNCTION_ERROR " + std::to_string(code) + " tid " + std::to_string(transactionId));
    out += SimpleMessage(kFunctionError, transactionId, code);
}

}  // namespace emulator
