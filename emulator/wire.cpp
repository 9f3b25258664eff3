// MBIM message bytes: little-endian fields, UUIDs from their string form,
// fragmentation of a stream, information buffers with references.
#include "wire.h"

#include <algorithm>

namespace emulator {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

Uuid MustParse(const char* text) {
    Uuid uuid{};
    ParseUuid(text, uuid);
    return uuid;
}

size_t Padded(size_t size) { return (size + 3) & ~static_cast<size_t>(3); }

}  // namespace

const Uuid kBasicConnect = MustParse("a289cc33-bcbb-8b4f-b6b0-133ec2aae6df");
const Uuid kAtService = MustParse("ffffffff-abca-4b11-a4e2-f2fc87f94488");

bool ParseUuid(const std::string& text, Uuid& uuid) {
    std::string body = text;
    if (body.size() == 38 && body.front() == '{' && body.back() == '}') body = body.substr(1, 36);
    if (body.size() != 36) return false;
    size_t out = 0;
    for (size_t i = 0; i < body.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (body[i] != '-') return false;
            ++i;
            continue;
        }
        const int high = HexDigit(body[i]);
        const int low = HexDigit(body[i + 1]);
        if (high < 0 || low < 0) return false;
        uuid[out++] = static_cast<uint8_t>(high * 16 + low);
        i += 2;
    }
    return out == uuid.size();
}

std::string FormatUuid(const Uuid& uuid) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < uuid.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += kHex[uuid[i] >> 4];
        text += kHex[uuid[i] & 15];
    }
    return text;
}

void PutU32(std::string& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

void SetU32(std::string& bytes, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint32_t GetU32(const std::string& bytes, size_t offset) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[offset + static_cast<size_t>(i)]);
    return value;
}

void PutUuid(std::string& out, const Uuid& uuid) { out.append(uuid.begin(), uuid.end()); }

Uuid GetUuid(const std::string& bytes, size_t offset) {
    Uuid uuid{};
    for (size_t i = 0; i < uuid.size(); ++i) uuid[i] = static_cast<uint8_t>(bytes[offset + i]);
    return uuid;
}

std::string Utf16(const std::string& ascii) {
    std::string out;
    for (char c : ascii) {
        out.push_back(c);
        out.push_back('\0');
    }
    return out;
}

std::string SimpleMessage(uint32_t type, uint32_t transactionId) {
    std::string out;
    PutU32(out, type);
    PutU32(out, static_cast<uint32_t>(kHeaderSize));
    PutU32(out, transactionId);
    return out;
}

std::string SimpleMessage(uint32_t type, uint32_t transactionId, uint32_t value) {
    std::string out;
    PutU32(out, type);
    PutU32(out, static_cast<uint32_t>(kHeaderSize + 4));
    PutU32(out, transactionId);
    PutU32(out, value);
    return out;
}

std::string CommandDoneStream(const Uuid& service, uint32_t cid, uint32_t status, const std::string& buffer) {
    std::string out;
    PutUuid(out, service);
    PutU32(out, cid);
    PutU32(out, status);
    PutU32(out, static_cast<uint32_t>(buffer.size()));
    return out + buffer;
}

std::string IndicateStatusStream(const Uuid& service, uint32_t cid, const std::string& buffer) {
    std::string out;
    PutUuid(out, service);
    PutU32(out, cid);
    PutU32(out, static_cast<uint32_t>(buffer.size()));
    return out + buffer;
}

std::string CommandStream(const Uuid& service, uint32_t cid, uint32_t commandType, const std::string& buffer) {
    return CommandDoneStream(service, cid, commandType, buffer);  // same layout, third field differs in meaning
}

std::vector<std::string> Fragment(uint32_t type, uint32_t transactionId, const std::string& stream,
                                  size_t maxTransfer) {
    const size_t piece = maxTransfer - kHeaderSize - kFragmentHeaderSize;
    const size_t total = stream.empty() ? 1 : (stream.size() + piece - 1) / piece;
    std::vector<std::string> messages;
    for (size_t i = 0; i < total; ++i) {
        const std::string part = stream.substr(std::min(stream.size(), i * piece), piece);
        std::string message;
        PutU32(message, type);
        PutU32(message, static_cast<uint32_t>(kHeaderSize + kFragmentHeaderSize + part.size()));
        PutU32(message, transactionId);
        PutU32(message, static_cast<uint32_t>(total));
        PutU32(message, static_cast<uint32_t>(i));
        messages.push_back(message + part);
    }
    return messages;
}

void InfoBuffer::U32(uint32_t value) { PutU32(fixed_, value); }

void InfoBuffer::Ref(const std::string& bytes) {
    refs_.emplace_back(fixed_.size(), bytes);
    PutU32(fixed_, 0);  // offset, set by Finish
    PutU32(fixed_, static_cast<uint32_t>(bytes.size()));
}

std::string InfoBuffer::Finish() const {
    std::string fixed = fixed_;
    std::string data;
    for (const auto& [position, bytes] : refs_) {
        if (bytes.empty()) continue;  // (0, 0)
        const uint32_t offset = static_cast<uint32_t>(fixed_.size() + data.size());
        SetU32(fixed, position, offset);
        data += bytes;
        data.resize(Padded(data.size()), '\0');
    }
    return fixed + data;
}

}  // namespace emulator
