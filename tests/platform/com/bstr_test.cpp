// Conformance tables for BSTR: the 4-byte byte-length prefix in front of the
// characters, the terminator after them, lengths in characters and bytes, and
// the NULL cases. Written against Windows names only: the same tables run on
// Windows/Wine.
#include <cstring>

#include "conformance.h"

namespace {

DWORD PrefixOf(BSTR bstr) {
    DWORD prefix;
    std::memcpy(&prefix, reinterpret_cast<const unsigned char*>(bstr) - sizeof(DWORD), sizeof(prefix));
    return prefix;
}

struct AllocRow {
    int row;
    const OLECHAR* text;  // NULL: SysAllocString(NULL)
    UINT chars;
};

TEST(SysAllocString, copies_up_to_the_terminator_behind_a_byte_length_prefix) {
    const OLECHAR hi[] = {'h', 'i', 0};
    const OLECHAR empty[] = {0};
    const OLECHAR stopsAtNul[] = {'a', 'b', 0, 'c', 0};
    const AllocRow rows[] = {
        {1, hi, 2},
        {2, empty, 0},  // a valid zero-length BSTR, not NULL
        {3, stopsAtNul, 2},
    };
    for (const AllocRow& r : rows) {
        BSTR bstr = SysAllocString(r.text);
        CHECK_VALUE("SysAllocString", r.row, "allocated", bstr != nullptr, true);
        if (bstr == nullptr) {
            continue;
        }
        CHECK_VALUE("SysAllocString", r.row, "distinct from the source", bstr != r.text, true);
        CHECK_VALUE("SysAllocString", r.row, "prefix", PrefixOf(bstr), r.chars * sizeof(OLECHAR));
        CHECK_VALUE("SysAllocString", r.row, "SysStringLen", SysStringLen(bstr), r.chars);
        CHECK_VALUE("SysAllocString", r.row, "SysStringByteLen", SysStringByteLen(bstr), r.chars * sizeof(OLECHAR));
        CHECK_VALUE("SysAllocString", r.row, "characters", std::memcmp(bstr, r.text, r.chars * sizeof(OLECHAR)), 0);
        CHECK_VALUE("SysAllocString", r.row, "terminator", static_cast<int>(bstr[r.chars]), 0);
        SysFreeString(bstr);
    }
    CHECK_VALUE("SysAllocString", 4, "SysAllocString(NULL)", SysAllocString(nullptr), static_cast<BSTR>(nullptr));
}

TEST(SysAllocStringLen, keeps_embedded_nuls_and_terminates) {
    const OLECHAR text[] = {'a', 0, 'b', 'c'};
    BSTR bstr = SysAllocStringLen(text, 3);
    ASSERT_NE(bstr, nullptr);
    EXPECT_EQ(PrefixOf(bstr), 6u);
    EXPECT_EQ(SysStringLen(bstr), 3u);
    EXPECT_EQ(std::memcmp(bstr, text, 3 * sizeof(OLECHAR)), 0);
    EXPECT_EQ(bstr[3], 0) << "the terminator replaces the fourth source character";
    SysFreeString(bstr);

    // No source: room for the characters, still counted and terminated.
    bstr = SysAllocStringLen(nullptr, 5);
    ASSERT_NE(bstr, nullptr);
    EXPECT_EQ(SysStringLen(bstr), 5u);
    EXPECT_EQ(SysStringByteLen(bstr), 10u);
    EXPECT_EQ(bstr[5], 0);
    SysFreeString(bstr);
}

TEST(SysAllocStringByteLen, counts_bytes_and_terminates_odd_lengths) {
    BSTR bstr = SysAllocStringByteLen("abc", 3);
    ASSERT_NE(bstr, nullptr);
    EXPECT_EQ(PrefixOf(bstr), 3u);
    EXPECT_EQ(SysStringByteLen(bstr), 3u);
    EXPECT_EQ(SysStringLen(bstr), 1u) << "characters are whole WCHARs";
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(bstr);
    EXPECT_EQ(std::memcmp(bytes, "abc", 3), 0);
    EXPECT_EQ(bytes[3], 0);
    EXPECT_EQ(bytes[4], 0);
    SysFreeString(bstr);
}

TEST(SysStringLen, treats_null_as_empty) {
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);
}

}  // namespace
