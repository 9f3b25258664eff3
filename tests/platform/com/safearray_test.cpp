// Conformance tables for SAFEARRAY: creation and descriptor layout, bounds,
// element access with the ownership rules for interfaces and BSTRs, locking
// through AccessData/UnaccessData, and destruction. Interface elements are
// counting objects, so every AddRef must be matched by a Release.
// Written against Windows names only: the same tables run on Windows/Wine.
#include <climits>
#include <cstring>
#include <vector>

// gtest and the standard headers first: the Windows SDK's strsafe.h, which
// the platform header brings, deprecates C functions that <string> names.
#include "conformance.h"
#include "com_test_objects.h"

namespace {

using comtest::CountingUnknown;

struct CreateRow {
    int row;
    VARTYPE vt;
    UINT cDims;
    bool created;
    ULONG cbElements;
    USHORT fFeatures;
};

TEST(SafeArrayCreate, describes_the_element_type_or_refuses_it) {
    const CreateRow rows[] = {
        {1, VT_UI1, 1, true, 1, FADF_HAVEVARTYPE},
        {2, VT_I4, 1, true, 4, FADF_HAVEVARTYPE},
        {3, VT_I2, 1, true, 2, FADF_HAVEVARTYPE},
        {4, VT_R8, 1, true, 8, FADF_HAVEVARTYPE},
        {5, VT_UNKNOWN, 1, true, sizeof(IUnknown*), FADF_UNKNOWN | FADF_HAVEIID},
        {6, VT_BSTR, 1, true, sizeof(BSTR), FADF_BSTR | FADF_HAVEVARTYPE},
        {7, VT_EMPTY, 1, false, 0, 0},
        {8, VT_NULL, 1, false, 0, 0},
        {9, VT_UI1 | VT_ARRAY, 1, false, 0, 0},
        {10, VT_UI1 | VT_BYREF, 1, false, 0, 0},
        {11, VT_UI1, 0, false, 0, 0},
        {12, VT_UI1, 2, true, 1, FADF_HAVEVARTYPE},
    };
    for (const CreateRow& r : rows) {
        SAFEARRAYBOUND bounds[2] = {{3, 0}, {2, 1}};
        SAFEARRAY* psa = SafeArrayCreate(r.vt, r.cDims, bounds);
        CHECK_VALUE("SafeArrayCreate", r.row, "created", psa != nullptr, r.created);
        if (psa == nullptr) {
            continue;
        }
        CHECK_VALUE("SafeArrayCreate", r.row, "cDims", psa->cDims, r.cDims);
        CHECK_VALUE("SafeArrayCreate", r.row, "cbElements", psa->cbElements, r.cbElements);
        CHECK_VALUE("SafeArrayCreate", r.row, "fFeatures", psa->fFeatures, r.fFeatures);
        CHECK_VALUE("SafeArrayCreate", r.row, "cLocks", psa->cLocks, 0u);
        CHECK_VALUE("SafeArrayCreate", r.row, "pvData set", psa->pvData != nullptr, true);
        CHECK_VALUE("SafeArrayCreate", r.row, "SafeArrayGetDim", SafeArrayGetDim(psa), r.cDims);
        CHECK_VALUE("SafeArrayCreate", r.row, "SafeArrayGetElemsize", SafeArrayGetElemsize(psa), r.cbElements);
        VARTYPE vt = VT_ILLEGAL;
        CHECK_HR("SafeArrayGetVartype", r.row, SafeArrayGetVartype(psa, &vt), S_OK);
        CHECK_VALUE("SafeArrayGetVartype", r.row, "vt", vt, r.vt);
        // Elements start zeroed.
        size_t bytes = r.cbElements * (r.cDims == 2 ? 6 : 3);
        std::vector<unsigned char> zero(bytes, 0);
        CHECK_VALUE("SafeArrayCreate", r.row, "data zeroed", std::memcmp(psa->pvData, zero.data(), bytes), 0);
        CHECK_HR("SafeArrayDestroy", r.row, SafeArrayDestroy(psa), S_OK);
    }
}

TEST(SafeArrayCreate, keeps_bounds_last_dimension_first) {
    SAFEARRAYBOUND bounds[2] = {{3, 1}, {4, 10}};
    SAFEARRAY* psa = SafeArrayCreate(VT_UI1, 2, bounds);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(psa->rgsabound[0].cElements, 4u);
    EXPECT_EQ(psa->rgsabound[0].lLbound, 10);
    EXPECT_EQ(psa->rgsabound[1].cElements, 3u);
    EXPECT_EQ(psa->rgsabound[1].lLbound, 1);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

struct BoundRow {
    int row;
    LONG lLbound;
    ULONG cElements;
    UINT nDim;
    HRESULT expected;
    LONG lower;
    LONG upper;
};

TEST(SafeArrayGetBounds, are_one_based_and_give_upper_as_lower_plus_count_minus_one) {
    const BoundRow rows[] = {
        {1, 0, 5, 1, S_OK, 0, 4},
        {2, 5, 2, 1, S_OK, 5, 6},
        {3, -3, 4, 1, S_OK, -3, 0},
        // An empty array: upper bound below the lower one, still S_OK.
        {4, 0, 0, 1, S_OK, 0, -1},
        {5, 0, 5, 0, DISP_E_BADINDEX, 0, 0},
        {6, 0, 5, 2, DISP_E_BADINDEX, 0, 0},
    };
    for (const BoundRow& r : rows) {
        SAFEARRAYBOUND bound = {r.cElements, r.lLbound};
        SAFEARRAY* psa = SafeArrayCreate(VT_UI1, 1, &bound);
        ASSERT_NE(psa, nullptr) << "row " << r.row;
        for (unsigned char fill : {0x00, 0xFF}) {
            LONG lower;
            LONG upper;
            std::memset(&lower, fill, sizeof(lower));
            std::memset(&upper, fill, sizeof(upper));
            LONG untouched = lower;
            CHECK_HR("SafeArrayGetLBound", r.row, SafeArrayGetLBound(psa, r.nDim, &lower), r.expected);
            CHECK_HR("SafeArrayGetUBound", r.row, SafeArrayGetUBound(psa, r.nDim, &upper), r.expected);
            if (SUCCEEDED(r.expected)) {
                CHECK_VALUE("SafeArrayGetLBound", r.row, "lower", lower, r.lower);
                CHECK_VALUE("SafeArrayGetUBound", r.row, "upper", upper, r.upper);
            } else {
                CHECK_VALUE("SafeArrayGetLBound", r.row, "lower untouched", lower, untouched);
                CHECK_VALUE("SafeArrayGetUBound", r.row, "upper untouched", upper, untouched);
            }
        }
        EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
    }
}

TEST(SafeArrayGetBounds, number_dimensions_in_creation_order) {
    SAFEARRAYBOUND bounds[2] = {{3, 1}, {4, 10}};
    SAFEARRAY* psa = SafeArrayCreate(VT_I4, 2, bounds);
    ASSERT_NE(psa, nullptr);
    LONG value = 0;
    EXPECT_EQ(SafeArrayGetLBound(psa, 1, &value), S_OK);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(SafeArrayGetUBound(psa, 1, &value), S_OK);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(SafeArrayGetLBound(psa, 2, &value), S_OK);
    EXPECT_EQ(value, 10);
    EXPECT_EQ(SafeArrayGetUBound(psa, 2, &value), S_OK);
    EXPECT_EQ(value, 13);
    EXPECT_EQ(SafeArrayGetUBound(psa, 3, &value), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

// Bounds at the ends of a LONG: an upper bound that would lie outside one is
// reported, not wrapped (the empty array at INT_MIN is the one below).
TEST(SafeArrayGetBounds, upper_bound_outside_a_long_is_an_overflow) {
    const BoundRow rows[] = {
        {1, INT_MAX, 1, 1, S_OK, INT_MAX, INT_MAX},
        {2, INT_MAX, 2, 1, DISP_E_OVERFLOW, INT_MAX, 0},
        {3, INT_MIN, 1, 1, S_OK, INT_MIN, INT_MIN},
        {4, INT_MIN, 0, 1, DISP_E_OVERFLOW, INT_MIN, 0},
    };
    for (const BoundRow& r : rows) {
        SAFEARRAYBOUND bound = {r.cElements, r.lLbound};
        SAFEARRAY* psa = SafeArrayCreate(VT_UI1, 1, &bound);
        ASSERT_NE(psa, nullptr) << "row " << r.row;
        LONG upper = 0x5A5A5A5A;
        CHECK_HR("SafeArrayGetUBound", r.row, SafeArrayGetUBound(psa, 1, &upper), r.expected);
        CHECK_VALUE("SafeArrayGetUBound", r.row, "upper", upper, SUCCEEDED(r.expected) ? r.upper : 0x5A5A5A5A);
        EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
    }
}

struct IndexRow {
    int row;
    LONG index;
    HRESULT expected;
};

TEST(SafeArrayPutElement, accepts_indices_within_the_bounds_only) {
    const IndexRow rows[] = {
        {1, 4, DISP_E_BADINDEX},  // one below the lower bound
        {2, 5, S_OK},
        {3, 7, S_OK},
        {4, 8, DISP_E_BADINDEX},  // one above the upper bound
        {5, -1, DISP_E_BADINDEX},
    };
    SAFEARRAYBOUND bound = {3, 5};
    SAFEARRAY* psa = SafeArrayCreate(VT_UI1, 1, &bound);
    ASSERT_NE(psa, nullptr);
    for (const IndexRow& r : rows) {
        LONG index = r.index;
        BYTE in = static_cast<BYTE>(0xA0 + r.row);
        CHECK_HR("SafeArrayPutElement", r.row, SafeArrayPutElement(psa, &index, &in), r.expected);
        for (unsigned char fill : {0x00, 0xFF}) {
            BYTE out = fill;
            CHECK_HR("SafeArrayGetElement", r.row, SafeArrayGetElement(psa, &index, &out), r.expected);
            CHECK_VALUE("SafeArrayGetElement", r.row, "value", static_cast<int>(out),
                        static_cast<int>(SUCCEEDED(r.expected) ? in : fill));
        }
    }
    // Only the two cells put are set; index 6 is still zero.
    const BYTE* data = static_cast<const BYTE*>(psa->pvData);
    EXPECT_EQ(data[0], 0xA2);
    EXPECT_EQ(data[1], 0x00);
    EXPECT_EQ(data[2], 0xA3);
    EXPECT_EQ(psa->cLocks, 0u) << "Put/GetElement must unlock";
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArrayPutElement, rejects_missing_arguments) {
    SAFEARRAYBOUND bound = {2, 0};
    SAFEARRAY* psa = SafeArrayCreate(VT_I4, 1, &bound);
    ASSERT_NE(psa, nullptr);
    LONG index = 0;
    LONG value = 7;
    CHECK_HR("SafeArrayPutElement", 1, SafeArrayPutElement(nullptr, &index, &value), E_INVALIDARG);
    CHECK_HR("SafeArrayPutElement", 2, SafeArrayPutElement(psa, nullptr, &value), E_INVALIDARG);
    CHECK_HR("SafeArrayGetElement", 3, SafeArrayGetElement(nullptr, &index, &value), E_INVALIDARG);
    CHECK_HR("SafeArrayGetElement", 4, SafeArrayGetElement(psa, nullptr, &value), E_INVALIDARG);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArrayPutElement, lays_out_the_first_dimension_fastest) {
    SAFEARRAYBOUND bounds[2] = {{3, 1}, {2, 0}};
    SAFEARRAY* psa = SafeArrayCreate(VT_UI1, 2, bounds);
    ASSERT_NE(psa, nullptr);
    for (LONG j = 0; j < 2; ++j) {
        for (LONG i = 1; i <= 3; ++i) {
            LONG indices[2] = {i, j};
            BYTE value = static_cast<BYTE>(10 * j + i);
            ASSERT_EQ(SafeArrayPutElement(psa, indices, &value), S_OK);
        }
    }
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
    const BYTE expected[6] = {1, 2, 3, 11, 12, 13};
    EXPECT_EQ(std::memcmp(data, expected, sizeof(expected)), 0);
    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArrayInterfaces, put_and_get_add_references_that_destroy_and_replacement_give_back) {
    CountingUnknown first;
    CountingUnknown second;
    SAFEARRAYBOUND bound = {2, 0};
    SAFEARRAY* psa = SafeArrayCreate(VT_UNKNOWN, 1, &bound);
    ASSERT_NE(psa, nullptr);
    LONG index0 = 0;
    LONG index1 = 1;

    ASSERT_EQ(SafeArrayPutElement(psa, &index0, static_cast<IUnknown*>(&first)), S_OK);
    EXPECT_EQ(first.Refs(), 2) << "the array holds its own reference";
    // Putting the same object again stays balanced.
    ASSERT_EQ(SafeArrayPutElement(psa, &index0, static_cast<IUnknown*>(&first)), S_OK);
    EXPECT_EQ(first.Refs(), 2);

    IUnknown* got = nullptr;
    ASSERT_EQ(SafeArrayGetElement(psa, &index0, &got), S_OK);
    EXPECT_EQ(got, static_cast<IUnknown*>(&first));
    EXPECT_EQ(first.Refs(), 3) << "GetElement hands out a reference";
    got->Release();

    // An empty cell comes back as NULL.
    got = static_cast<IUnknown*>(&second);
    ASSERT_EQ(SafeArrayGetElement(psa, &index1, &got), S_OK);
    EXPECT_EQ(got, nullptr);

    // Replacing releases the old element.
    ASSERT_EQ(SafeArrayPutElement(psa, &index0, static_cast<IUnknown*>(&second)), S_OK);
    EXPECT_EQ(first.Refs(), 1);
    EXPECT_EQ(second.Refs(), 2);
    // NULL is a value too, and releases what was there.
    ASSERT_EQ(SafeArrayPutElement(psa, &index0, nullptr), S_OK);
    EXPECT_EQ(second.Refs(), 1);

    ASSERT_EQ(SafeArrayPutElement(psa, &index0, static_cast<IUnknown*>(&first)), S_OK);
    ASSERT_EQ(SafeArrayPutElement(psa, &index1, static_cast<IUnknown*>(&first)), S_OK);
    EXPECT_EQ(first.Refs(), 3);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
    EXPECT_EQ(first.Refs(), 1) << "SafeArrayDestroy releases every element";
    EXPECT_EQ(second.Refs(), 1);
}

TEST(SafeArrayStrings, put_copies_and_get_returns_a_new_copy_with_embedded_nuls) {
    const OLECHAR text[] = {'a', 0, 'b'};
    BSTR original = SysAllocStringLen(text, 3);
    ASSERT_NE(original, nullptr);
    SAFEARRAYBOUND bound = {1, 0};
    SAFEARRAY* psa = SafeArrayCreate(VT_BSTR, 1, &bound);
    ASSERT_NE(psa, nullptr);
    LONG index = 0;

    ASSERT_EQ(SafeArrayPutElement(psa, &index, original), S_OK);
    BSTR stored = static_cast<BSTR*>(psa->pvData)[0];
    ASSERT_NE(stored, nullptr);
    EXPECT_NE(stored, original) << "the array keeps its own copy";
    EXPECT_EQ(SysStringLen(stored), 3u);
    EXPECT_EQ(std::memcmp(stored, text, sizeof(text)), 0);
    SysFreeString(original);

    BSTR got = nullptr;
    ASSERT_EQ(SafeArrayGetElement(psa, &index, &got), S_OK);
    ASSERT_NE(got, nullptr);
    EXPECT_NE(got, stored) << "the caller gets a copy to free";
    EXPECT_EQ(SysStringLen(got), 3u);
    EXPECT_EQ(std::memcmp(got, text, sizeof(text)), 0);
    SysFreeString(got);

    // Replacing frees the old copy (the sanitizer builds catch a leak) and
    // SafeArrayDestroy frees the last one.
    BSTR replacement = SysAllocString(L"xyz");
    ASSERT_EQ(SafeArrayPutElement(psa, &index, replacement), S_OK);
    SysFreeString(replacement);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArrayAccessData, locks_once_per_call_and_unaccess_needs_a_lock) {
    SAFEARRAYBOUND bound = {4, 0};
    SAFEARRAY* psa = SafeArrayCreate(VT_UI1, 1, &bound);
    ASSERT_NE(psa, nullptr);
    void* data = nullptr;
    CHECK_HR("SafeArrayAccessData", 1, SafeArrayAccessData(psa, &data), S_OK);
    CHECK_VALUE("SafeArrayAccessData", 1, "data", data, psa->pvData);
    CHECK_VALUE("SafeArrayAccessData", 1, "cLocks", psa->cLocks, 1u);
    CHECK_HR("SafeArrayAccessData", 2, SafeArrayAccessData(psa, &data), S_OK);
    CHECK_VALUE("SafeArrayAccessData", 2, "cLocks", psa->cLocks, 2u);

    // Elements may be put while the array is locked.
    LONG index = 2;
    BYTE value = 0x5A;
    CHECK_HR("SafeArrayPutElement", 3, SafeArrayPutElement(psa, &index, &value), S_OK);
    CHECK_VALUE("SafeArrayPutElement", 3, "byte", static_cast<int>(static_cast<BYTE*>(data)[2]), 0x5A);
    CHECK_VALUE("SafeArrayPutElement", 3, "cLocks", psa->cLocks, 2u);

    CHECK_HR("SafeArrayUnaccessData", 4, SafeArrayUnaccessData(psa), S_OK);
    CHECK_HR("SafeArrayUnaccessData", 5, SafeArrayUnaccessData(psa), S_OK);
    CHECK_VALUE("SafeArrayUnaccessData", 5, "cLocks", psa->cLocks, 0u);
    CHECK_HR("SafeArrayUnaccessData", 6, SafeArrayUnaccessData(psa), E_UNEXPECTED);
    CHECK_VALUE("SafeArrayUnaccessData", 6, "cLocks", psa->cLocks, 0u);

    CHECK_HR("SafeArrayAccessData", 7, SafeArrayAccessData(psa, nullptr), E_INVALIDARG);
    CHECK_HR("SafeArrayAccessData", 8, SafeArrayAccessData(nullptr, &data), E_INVALIDARG);
    CHECK_VALUE("SafeArrayAccessData", 8, "cLocks", psa->cLocks, 0u);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArrayAccessData, gives_a_pointer_for_an_empty_array) {
    SAFEARRAYBOUND bound = {0, 0};
    SAFEARRAY* psa = SafeArrayCreate(VT_UI1, 1, &bound);
    ASSERT_NE(psa, nullptr);
    void* data = nullptr;
    EXPECT_EQ(SafeArrayAccessData(psa, &data), S_OK);
    EXPECT_NE(data, nullptr);
    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArrayDestroy, refuses_a_locked_array_and_frees_nothing) {
    CountingUnknown element;
    SAFEARRAYBOUND bound = {1, 0};
    SAFEARRAY* psa = SafeArrayCreate(VT_UNKNOWN, 1, &bound);
    ASSERT_NE(psa, nullptr);
    LONG index = 0;
    ASSERT_EQ(SafeArrayPutElement(psa, &index, static_cast<IUnknown*>(&element)), S_OK);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);

    CHECK_HR("SafeArrayDestroy", 1, SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
    CHECK_VALUE("SafeArrayDestroy", 1, "element refs", element.Refs(), 2);
    // Still a whole array: the element is readable.
    IUnknown* got = nullptr;
    CHECK_HR("SafeArrayGetElement", 2, SafeArrayGetElement(psa, &index, &got), S_OK);
    CHECK_VALUE("SafeArrayGetElement", 2, "element", got, static_cast<IUnknown*>(&element));
    if (got != nullptr) {
        got->Release();
    }

    ASSERT_EQ(SafeArrayUnaccessData(psa), S_OK);
    CHECK_HR("SafeArrayDestroy", 3, SafeArrayDestroy(psa), S_OK);
    CHECK_VALUE("SafeArrayDestroy", 3, "element refs", element.Refs(), 1);
    CHECK_HR("SafeArrayDestroy", 4, SafeArrayDestroy(nullptr), S_OK);
}

}  // namespace
