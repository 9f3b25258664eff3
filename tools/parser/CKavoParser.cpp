// CKavoParser: decides whether an answer is length-prefixed and, if it is,
// keeps only the payload.
//
// A wrapped answer, as the modem lays it out:
//
//   offset 0        4                      4+N           len
//          +--------+----------------------+-------------+
//          | N (LE) |  N payload bytes     | ignored ... |
//          +--------+----------------------+-------------+
//
// The buffer is taken as wrapped when it holds the 4 count bytes and all N
// payload bytes. Anything else (shorter than a count, or a count that claims
// more bytes than arrived, as plain text almost always does) is an answer that
// is not wrapped and is appended whole. Nothing outside data[0, len) is read.
#include "tools/parser/CKavoParser.h"

namespace {

const unsigned int kCountSize = 4;

unsigned int ReadCount(const unsigned char* bytes) {
    return static_cast<unsigned int>(bytes[0]) | (static_cast<unsigned int>(bytes[1]) << 8) |
           (static_cast<unsigned int>(bytes[2]) << 16) | (static_cast<unsigned int>(bytes[3]) << 24);
}

}  // namespace

CKavoParser::CKavoParser() {}

CKavoParser::~CKavoParser() {}

void CKavoParser::Parse(const char* data, unsigned int len, std::string& out) {
    if (len == 0) {
        return;
    }
    if (len < kCountSize) {
        // Too short to hold a count: see ParserPassesThrough.short_buffers.
        out.append(data, len);
        return;
    }

    unsigned int count = ReadCount(reinterpret_cast<const unsigned char*>(data));
    // len - 4 cannot wrap here, and comparing against it (not count + 4)
    // keeps a count near 0xFFFFFFFF from overflowing.
    if (len - kCountSize >= count) {
        out.append(data + kCountSize, count);
    } else {
        // The count claims more than arrived, either because the answer is
        // not wrapped (len <= count) or because it was cut short (len - 4 <
        // count < len): both are kept whole. See ParserPassesThrough.
        out.append(data, len);
    }
}

void CKavoParser::Release() { delete this; }
