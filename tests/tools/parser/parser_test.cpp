// Golden-byte tests of CKavoParser: which answers are unwrapped, which pass
// through whole, and that no answer makes it read past its own bytes.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tools/parser/CKavoParser.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Parses a copy of the bytes held in a heap block of exactly their size, so
// that under the address sanitizer any read past the end is caught.
std::string ParseExact(const Bytes& bytes, std::string out = std::string()) {
    std::unique_ptr<char[]> exact(new char[bytes.size() == 0 ? 1 : bytes.size()]);
    for (size_t i = 0; i < bytes.size(); ++i) {
        exact[i] = static_cast<char>(bytes[i]);
    }
    CKavoParser* parser = new CKavoParser();
    IGlobalTools::IAtParser* asInterface = parser;
    asInterface->Parse(exact.get(), static_cast<unsigned int>(bytes.size()), out);
    asInterface->Release();
    return out;
}

std::string Str(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace

TEST(ParserUnwraps, payload_following_its_count) {
    const Bytes answer = {
        0x04, 0x00, 0x00, 0x00,  // count: 4
        0x4F, 0x4B, 0x0D, 0x0A,  // payload: "OK\r\n"
    };
    EXPECT_EQ(ParseExact(answer), Str({0x4F, 0x4B, 0x0D, 0x0A}));
}

TEST(ParserUnwraps, drops_bytes_after_the_payload) {
    const Bytes answer = {
        0x02, 0x00, 0x00, 0x00,  // count: 2
        0x4F, 0x4B,              // payload: "OK"
        0x0D, 0x0A, 0x58,        // trailing bytes, not part of the answer
    };
    EXPECT_EQ(ParseExact(answer), "OK");
}

TEST(ParserUnwraps, reads_the_count_little_endian) {
    Bytes answer = {
        0x04, 0x01, 0x00, 0x00,  // count: 0x104 = 260
    };
    for (int i = 0; i < 0x104; ++i) {
        answer.push_back(static_cast<unsigned char>('a' + i % 26));  // payload
    }
    answer.push_back('!');  // trailing byte
    const std::string parsed = ParseExact(answer);
    ASSERT_EQ(parsed.size(), 0x104u);
    EXPECT_EQ(parsed, Str(Bytes(answer.begin() + 4, answer.end() - 1)));
}

TEST(ParserUnwraps, keeps_zero_bytes_of_the_payload) {
    const Bytes answer = {
        0x03, 0x00, 0x00, 0x00,  // count: 3
        0x00, 0x41, 0x00,        // payload with zero bytes
    };
    EXPECT_EQ(ParseExact(answer), Str({0x00, 0x41, 0x00}));
}

TEST(ParserUnwraps, zero_count_gives_nothing) {
    const Bytes exactlyACount = {0x00, 0x00, 0x00, 0x00};  // count: 0, no payload
    const Bytes zeroCountAndMore = {
        0x00, 0x00, 0x00, 0x00,  // count: 0
        0x4F, 0x4B,              // trailing bytes
    };
    EXPECT_EQ(ParseExact(exactlyACount), "");
    EXPECT_EQ(ParseExact(zeroCountAndMore), "");
}

TEST(ParserUnwraps, appends_to_what_out_already_holds) {
    const Bytes answer = {
        0x02, 0x00, 0x00, 0x00,  // count: 2
        0x4F, 0x4B,              // payload: "OK"
    };
    EXPECT_EQ(ParseExact(answer, "before:"), "before:OK");
}

TEST(ParserPassesThrough, plain_text_whose_first_bytes_read_as_a_huge_count) {
    const Bytes answer = {
        0x0D, 0x0A, 0x4F, 0x4B,  // read as count 0x4B4F0A0D, far above 6
        0x0D, 0x0A,              // rest of "\r\nOK\r\n"
    };
    EXPECT_EQ(ParseExact(answer), Str(answer));
}

TEST(ParserPassesThrough, length_equal_to_its_count) {
    const Bytes answer = {
        0x08, 0x00, 0x00, 0x00,  // count: 8, the whole buffer's length
        0x41, 0x42, 0x43, 0x44,  // four more bytes
    };
    EXPECT_EQ(ParseExact(answer), Str(answer));
}

TEST(ParserPassesThrough, non_zero_fourth_byte_means_plain_text) {
    const std::string text = "+CSQ: 20,99\r\n\r\nOK\r\n";  // fourth byte 'Q' -> count >= 0x1000000
    EXPECT_EQ(ParseExact(Bytes(text.begin(), text.end())), text);
}

TEST(ParserPassesThrough, empty_buffer_gives_nothing) {
    EXPECT_EQ(ParseExact(Bytes()), "");
    EXPECT_EQ(ParseExact(Bytes(), "kept"), "kept");
}

TEST(ParserPassesThrough, short_buffers) {
    // One to three bytes hold no complete count: appended whole.
    const Bytes one = {0x4F};                // "O"
    const Bytes two = {0x01, 0x00};          // half a count
    const Bytes three = {0x00, 0x00, 0x00};  // three quarters of a zero count
    EXPECT_EQ(ParseExact(one), Str(one));
    EXPECT_EQ(ParseExact(two), Str(two));
    EXPECT_EQ(ParseExact(three), Str(three));
}

TEST(ParserPassesThrough, count_that_runs_past_the_end) {
    // Longer than the count, but the payload the count claims would run past
    // the end: appended whole, and under the address sanitizer no byte past
    // the buffer is read.
    const Bytes oneShort = {
        0x05, 0x00, 0x00, 0x00,  // count: 5
        0x41, 0x42, 0x43, 0x44,  // only 4 payload bytes arrived (len 8 > 5)
    };
    const Bytes threeShort = {
        0x04, 0x00, 0x00, 0x00,  // count: 4
        0x41,                    // only 1 payload byte arrived (len 5 > 4)
    };
    EXPECT_EQ(ParseExact(oneShort), Str(oneShort));
    EXPECT_EQ(ParseExact(threeShort), Str(threeShort));
}

TEST(ParserPassesThrough, count_near_the_top_of_its_range) {
    const Bytes answer = {
        0xFC, 0xFF, 0xFF, 0xFF,  // count: 0xFFFFFFFC; count + 4 would wrap to 0
        0x41, 0x42,              // two bytes
    };
    EXPECT_EQ(ParseExact(answer), Str(answer));
}
