// Fuzzes the answer parser with arbitrary bytes. Properties: an answer whose
// 4-byte count covers the bytes that follow gives exactly that payload, any
// other answer passes through whole, what the caller already holds is kept,
// and a payload the modem wraps comes back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "modem.h"
#include "tools/interfaces.h"

namespace {

IGlobalTools::IAtParser* Parser() {
    static IGlobalTools::IAtParser* parser = [] {
        void* object = nullptr;
        if (!CreateToolInstance(IID_IAtParser, &object)) std::abort();
        return static_cast<IGlobalTools::IAtParser*>(object);
    }();
    return parser;
}

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string held = "held:";
    std::string out = held;
    Parser()->Parse(input.data(), static_cast<unsigned int>(input.size()), out);
    Require(out.compare(0, held.size(), held) == 0);
    const std::string parsed = out.substr(held.size());

    if (size >= 4) {
        const uint32_t count = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                               static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
        if (count <= size - 4) {
            Require(parsed == input.substr(4, count));
        } else {
            Require(parsed == input);
        }
    } else {
        Require(parsed == input);
    }

    std::string unwrapped;
    const std::string wrapped = mbnsim::LengthPrefixed(input);
    Parser()->Parse(wrapped.data(), static_cast<unsigned int>(wrapped.size()), unwrapped);
    Require(unwrapped == input);
    return 0;
}
