// Fuzzes the simulated modem's command interpreter. The first input byte
// picks the modem's starting settings, the next ones where the rest is cut
// into fragments. Properties: the answer does not depend on how the bytes are
// split, and the answer stays within a fixed size per input byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "modem.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    mbnsim::ModemConfig config;
    config.echo = data[0] & 1;
    config.cmee = (data[0] >> 1) % 3;
    config.simInserted = (data[0] & 8) == 0;
    const size_t cuts = data[1] % 8;
    if (size < 2 + cuts) return 0;
    const std::string bytes(reinterpret_cast<const char*>(data) + 2 + cuts, size - 2 - cuts);

    mbnsim::Modem whole(config);
    const std::string answer = whole.Feed(bytes);

    mbnsim::Modem pieces(config);
    std::string joined;
    size_t at = 0;
    for (size_t i = 0; i < cuts; ++i) {
        size_t length = bytes.empty() ? 0 : data[2 + i] % (bytes.size() - at + 1);
        joined += pieces.Feed(bytes.substr(at, length));
        at += length;
    }
    joined += pieces.Feed(bytes.substr(at));
    Require(joined == answer);

    // Each input byte brings at most one command, and the longest answer to
    // one (ATI's identification) is well below this.
    Require(answer.size() <= 256 * bytes.size());
    return 0;
}
