// Fuzzes the MBIM device emulator's message handling: arbitrary host bytes,
// arbitrary fault switches, and arbitrary cuts of the byte stream. The first
// input byte picks the faults, the second the reply fragment limit, the third
// how many cuts follow. Properties: what the function writes back is a whole
// number of well-formed function messages (a known type, a length of at
// least a header and at most the largest transfer, nothing left over); and,
// for a stream whose every message length can be trusted, it does not depend
// on how the host's bytes were split. (After a length it cannot trust, the
// function drops what it holds and waits for the host's next write, so there
// the split matters by design.)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "function.h"

namespace {

using namespace emulator;

void Require(bool condition) {
    if (!condition) std::abort();
}

bool IsFunctionMessage(uint32_t type) {
    return type == kOpenDone || type == kCloseDone || type == kCommandDone || type == kFunctionError ||
           type == kIndicateStatus;
}

void RequireWellFormed(const std::string& out, size_t limit) {
    size_t at = 0;
    while (at < out.size()) {
        Require(out.size() - at >= kHeaderSize);
        const uint32_t length = GetU32(out, at + 4);
        Require(IsFunctionMessage(GetU32(out, at)));
        Require(length >= kHeaderSize && length <= out.size() - at);
        Require(length <= limit);
        at += length;
    }
}

// True when the stream walks from message to message by lengths the
// function accepts (a tail shorter than a header or than its length is fine).
bool LengthsTrusted(const std::string& stream) {
    size_t at = 0;
    while (stream.size() - at >= kHeaderSize) {
        const uint32_t length = GetU32(stream, at + 4);
        if (length < kHeaderSize || length > kMaxHostMessage) return false;
        if (length > stream.size() - at) return true;
        at += length;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    Faults faults;
    faults.silent = data[0] & 1;
    faults.indicateFirst = data[0] & 2;
    faults.wrongTid = data[0] & 4;
    faults.truncate = data[0] & 8;
    faults.removeAfter = (data[0] >> 4) & 3;
    if (data[0] & 0x40) faults.atStatus = data[0] >> 7 ? 2u : 9u;
    faults.fragmentLimit = data[1] == 0 ? 0 : kMinFragmentLimit + data[1];
    const size_t cuts = data[2] % 8;
    if (size < 3 + cuts) return 0;
    const std::string bytes(reinterpret_cast<const char*>(data) + 3 + cuts, size - 3 - cuts);
    mbnsim::ModemConfig modem;
    modem.echo = false;

    Function whole(faults, modem);
    const std::string answer = whole.Receive(bytes);

    Function pieces(faults, modem);
    std::string joined;
    size_t at = 0;
    for (size_t i = 0; i < cuts; ++i) {
        const size_t length = data[3 + i] % (bytes.size() - at + 1);
        joined += pieces.Receive(bytes.substr(at, length));
        at += length;
    }
    joined += pieces.Receive(bytes.substr(at));
    if (LengthsTrusted(bytes)) Require(joined == answer);
    RequireWellFormed(answer, kMaxHostMessage);
    RequireWellFormed(joined, kMaxHostMessage);
    return 0;
}
