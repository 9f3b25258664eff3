// The emulated MBIM function: message framing on a byte stream, OPEN/CLOSE,
// reassembly of fragmented commands, the BASIC_CONNECT queries, the AT
// service and the fault switches. See function.h.
#include "function.h"

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
}

void Function::Log(const std::string& text) const {
    if (log_) log_(text);
}

std::string Function::Receive(const std::string& bytes) {
    std::string out;
    if (removed_) return out;
    input_ += bytes;
    while (!removed_ && input_.size() >= kHeaderSize) {
        const uint32_t length = GetU32(input_, 4);
        if (length < kHeaderSize || length > kMaxHostMessage) {
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
        if (input_.size() < length) break;
        const std::string message = input_.substr(0, length);
        input_.erase(0, length);
        OnMessage(message, out);
    }
    return out;
}

void Function::OnMessage(const std::string& message, std::string& out) {
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
        out += SimpleMessage(kCloseDone, transactionId, kStatusSuccess);
        return;
    case kCommand:
        if (!opened_) {
            Log("COMMAND tid " + std::to_string(transactionId) + " before OPEN");
            Error(transactionId, kErrorNotOpened, out);
            return;
        }
        OnCommandFragment(message, out);
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

void Function::OnCommandFragment(const std::string& message, std::string& out) {
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
            if (pending.stream.size() > kMaxCommandStream) {
                Error(transactionId, kErrorMaxTransfer, out);
                pending_.reset();
                return;
            }
            if (++pending.next < pending.total) return;
            const std::string stream = std::move(pending.stream);
            pending_.reset();
            OnCommand(transactionId, stream, out);
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
        OnCommand(transactionId, piece, out);
        return;
    }
    pending_ = Pending{transactionId, total, 1, piece};
}

void Function::OnCommand(uint32_t transactionId, const std::string& stream, std::string& out) {
    if (stream.size() < kCommandStreamFixed || GetU32(stream, 24) > stream.size() - kCommandStreamFixed) {
        Error(transactionId, kErrorLengthMismatch, out);
        return;
    }
    const Uuid service = GetUuid(stream, 0);
    const uint32_t cid = GetU32(stream, 16);
    const uint32_t type = GetU32(stream, 20);
    const std::string buffer = stream.substr(kCommandStreamFixed, GetU32(stream, 24));
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
        answer = buffer;
    } else if (service == kAtService && type == kSet && cid == kCidAtCommand) {
        OnAtCommand(transactionId, buffer, out);
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
