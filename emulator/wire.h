// MBIM 1.0 control messages as bytes: the constants an MBIM function needs,
// little-endian helpers, UUIDs in wire order, and the builders for replies
// (whole messages, fragmented streams, information buffers with their
// offset/size references). Pure functions: no I/O, no state.
//
// Every message starts with a 12-byte header; COMMAND, COMMAND_DONE and
// INDICATE_STATUS add an 8-byte fragment header and then carry a piece of
// their stream:
//
//   offset  0  MessageType      u32
//           4  MessageLength    u32  whole message, header included
//           8  TransactionId    u32
//          12  TotalFragments   u32  (fragmented types only)
//          16  CurrentFragment  u32  0-based
//          20  stream piece
//
// All integers are little-endian 32-bit.
#ifndef EMULATOR_WIRE_H
#define EMULATOR_WIRE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace emulator {

enum MessageType : uint32_t {
    kOpen = 0x00000001,
    kClose = 0x00000002,
    kCommand = 0x00000003,
    kHostError = 0x00000004,
    kOpenDone = 0x80000001,
    kCloseDone = 0x80000002,
    kCommandDone = 0x80000003,
    kFunctionError = 0x80000004,
    kIndicateStatus = 0x80000007,
};

// ErrorStatusCode of HOST_ERROR / FUNCTION_ERROR.
enum ProtocolError : uint32_t {
    kErrorTimeoutFragment = 1,
    kErrorFragmentOutOfSequence = 2,
    kErrorLengthMismatch = 3,
    kErrorDuplicatedTid = 4,
    kErrorNotOpened = 5,
    kErrorUnknown = 6,
    kErrorCancel = 7,
    kErrorMaxTransfer = 8,
};

// Status of OPEN_DONE, CLOSE_DONE and COMMAND_DONE (the few we produce).
enum Status : uint32_t {
    kStatusSuccess = 0,
    kStatusNoDeviceSupport = 9,
    kStatusInvalidParameters = 21,
};

enum CommandType : uint32_t { kQuery = 0, kSet = 1 };

constexpr size_t kHeaderSize = 12;
constexpr size_t kFragmentHeaderSize = 8;
// DeviceServiceId, CID, CommandType/Status, InformationBufferLength.
constexpr size_t kCommandStreamFixed = 28;
// The smallest control transfer MBIM allows a host to announce in OPEN.
constexpr uint32_t kMinControlTransfer = 64;

// A UUID as it travels: the bytes in the order its string form prints them
// (not the memory layout of a Windows GUID, whose first fields are
// little-endian).
using Uuid = std::array<uint8_t, 16>;
// "a289cc33-bcbb-8b4f-b6b0-133ec2aae6df", braces optional. False when the
// text is not a UUID.
bool ParseUuid(const std::string& text, Uuid& uuid);
std::string FormatUuid(const Uuid& uuid);

extern const Uuid kBasicConnect;  // a289cc33-bcbb-8b4f-b6b0-133ec2aae6df
extern const Uuid kAtService;     // ffffffff-abca-4b11-a4e2-f2fc87f94488

// BASIC_CONNECT command IDs the function answers.
constexpr uint32_t kCidDeviceCaps = 1;
constexpr uint32_t kCidSubscriberReadyStatus = 2;
constexpr uint32_t kCidDeviceServices = 16;
constexpr uint32_t kCidDeviceServiceSubscribeList = 19;
// The AT service's one command: SET with the command bytes.
constexpr uint32_t kCidAtCommand = 1;

void PutU32(std::string& out, uint32_t value);
uint32_t GetU32(const std::string& bytes, size_t offset);        // offset + 4 <= size
void SetU32(std::string& bytes, size_t offset, uint32_t value);  // overwrites; offset + 4 <= size
void PutUuid(std::string& out, const Uuid& uuid);
Uuid GetUuid(const std::string& bytes, size_t offset);  // offset + 16 <= size

// ASCII text as the UTF-16LE an MBIM string carries.
std::string Utf16(const std::string& ascii);

// A message without fragment header: header plus one u32 (OPEN_DONE,
// CLOSE_DONE, FUNCTION_ERROR status; OPEN's MaxControlTransfer) or nothing.
std::string SimpleMessage(uint32_t type, uint32_t transactionId);
std::string SimpleMessage(uint32_t type, uint32_t transactionId, uint32_t value);

// COMMAND_DONE / INDICATE_STATUS streams (the part the fragments share).
std::string CommandDoneStream(const Uuid& service, uint32_t cid, uint32_t status, const std::string& buffer);
std::string IndicateStatusStream(const Uuid& service, uint32_t cid, const std::string& buffer);
std::string CommandStream(const Uuid& service, uint32_t cid, uint32_t commandType, const std::string& buffer);

// The stream cut into messages of at most maxTransfer bytes each (headers
// included), numbered 0..n-1. maxTransfer must leave room for one byte:
// kHeaderSize + kFragmentHeaderSize + 1 or more. An empty stream gives one
// message without a piece.
std::vector<std::string> Fragment(uint32_t type, uint32_t transactionId, const std::string& stream, size_t maxTransfer);

// An information buffer: a fixed part of u32 values and (offset, size)
// references, then the data they point at, each item padded to 4 bytes.
// Offsets count from the start of the buffer; an empty item is (0, 0).
class InfoBuffer {
public:
    void U32(uint32_t value);
    void Ref(const std::string& bytes);
    std::string Finish() const;

private:
    std::string fixed_;
    std::vector<std::pair<size_t, std::string>> refs_;  // position in fixed_, bytes
};

}  // namespace emulator

#endif  // EMULATOR_WIRE_H
