// Fuzzes BuildCommDCBW. The input is the DCB's starting bytes (sizeof(DCB),
// with the members a definition names brought into their valid ranges) and
// then the definition string, one byte per WCHAR. Properties: a refused
// string leaves every byte of the DCB as it was and sets
// ERROR_INVALID_PARAMETER; an accepted one round-trips, i.e. the members it
// produced, written out as a full definition and built onto the starting DCB
// again, give the very same DCB.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/winapi.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

std::vector<WCHAR> Widen(const std::string& text) {
    std::vector<WCHAR> wide(text.begin(), text.end());
    for (size_t i = 0; i < text.size(); ++i) wide[i] = static_cast<unsigned char>(text[i]);
    wide.push_back(0);
    return wide;
}

// Every member a definition can set, in the new form.
std::string Definition(const DCB& dcb) {
    static const char* const parities[] = {"n", "o", "e", "m", "s"};
    static const char* const stops[] = {"1", "1.5", "2"};
    static const char* const dtr[] = {"off", "on", "hs"};
    static const char* const rts[] = {"off", "on", "hs", "tg"};
    auto onOff = [](unsigned flag) { return flag ? "on" : "off"; };
    char text[256];
    std::snprintf(text, sizeof text, "baud=%u parity=%s data=%u stop=%s xon=%s odsr=%s octs=%s idsr=%s dtr=%s rts=%s",
                  static_cast<unsigned>(dcb.BaudRate), parities[dcb.Parity], static_cast<unsigned>(dcb.ByteSize),
                  stops[dcb.StopBits], onOff(dcb.fOutX), onOff(dcb.fOutxDsrFlow), onOff(dcb.fOutxCtsFlow),
                  onOff(dcb.fDsrSensitivity), dtr[dcb.fDtrControl], rts[dcb.fRtsControl]);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < sizeof(DCB)) return 0;
    DCB start;
    std::memcpy(&start, data, sizeof start);
    start.ByteSize = static_cast<BYTE>(5 + start.ByteSize % 4);
    start.Parity %= 5;
    start.StopBits = start.ByteSize == 5 ? start.StopBits % 2 : (start.StopBits % 2) * 2;
    start.fDtrControl %= 3;
    start.fInX = start.fOutX;  // the definitions set both together

    const std::vector<WCHAR> definition =
        Widen(std::string(reinterpret_cast<const char*>(data) + sizeof(DCB), size - sizeof(DCB)));
    DCB built;
    std::memcpy(&built, &start, sizeof built);
    SetLastError(0xdeadbeef);
    if (!BuildCommDCBW(definition.data(), &built)) {
        Require(GetLastError() == ERROR_INVALID_PARAMETER);
        Require(std::memcmp(&built, &start, sizeof built) == 0);
        return 0;
    }
    const std::vector<WCHAR> full = Widen(Definition(built));
    DCB again;
    std::memcpy(&again, &start, sizeof again);
    Require(BuildCommDCBW(full.data(), &again) == TRUE);
    Require(std::memcmp(&again, &built, sizeof built) == 0);
    return 0;
}
