// Fuzzes the SAFEARRAY and BSTR functions against a small model. The input is
// a sequence of operations on up to four arrays (bytes, 32- and 64-bit
// integers, BSTRs, interfaces; any lower bound, up to 16 elements): create,
// put, get, bounds, access/unaccess, destroy, and BSTR allocation. After each
// call the result and the values read back must be the model's, every
// interface's reference count must be what the model says the arrays hold,
// and at the end nothing is left allocated (LeakSanitizer).
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/winapi.h"
#include "com_test_objects.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

const VARTYPE kTypes[] = {VT_UI1, VT_I4, VT_I8, VT_BSTR, VT_UNKNOWN};
const size_t kObjects = 3;

struct ModelArray {
    SAFEARRAY* psa = nullptr;
    VARTYPE vt = VT_EMPTY;
    LONG lower = 0;
    ULONG count = 0;
    ULONG locks = 0;
    std::vector<std::string> bytes;  // plain and BSTR elements ("\xFF" marks a NULL BSTR)
    std::vector<int> objects;        // interface elements: index or -1
};

struct World {
    std::vector<ModelArray> arrays = std::vector<ModelArray>(4);
    comtest::CountingUnknown objects[kObjects];

    LONG ExpectedRefs(size_t object) const {
        LONG refs = 1;
        for (const ModelArray& a : arrays)
            for (int held : a.objects) refs += held == static_cast<int>(object);
        return refs;
    }
    void CheckRefs() const {
        for (size_t i = 0; i < kObjects; ++i) Require(objects[i].Refs() == ExpectedRefs(i));
    }
};

const std::string kNullBstr = "\xFF";

ULONG Size(VARTYPE vt) {
    switch (vt) {
    case VT_UI1: return 1;
    case VT_I4: return 4;
    case VT_I8: return 8;
    default: return sizeof(void*);
    }
}

BSTR MakeBstr(const std::string& bytes) {
    if (bytes == kNullBstr) return nullptr;
    BSTR b = SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()));
    Require(b != nullptr && SysStringByteLen(b) == bytes.size() && SysStringLen(b) == bytes.size() / 2);
    Require(std::memcmp(b, bytes.data(), bytes.size()) == 0);
    Require(reinterpret_cast<const unsigned char*>(b)[bytes.size()] == 0);  // terminated
    return b;
}

bool SameBstr(BSTR b, const std::string& bytes) {
    if (bytes == kNullBstr) return b == nullptr;
    return b != nullptr && SysStringByteLen(b) == bytes.size() && std::memcmp(b, bytes.data(), bytes.size()) == 0;
}

// An index near the bounds: inside, just outside, or far away.
bool PickIndex(FuzzedDataProvider& in, const ModelArray& a, LONG& index, bool& inside) {
    const int64_t offset = in.ConsumeIntegralInRange<int64_t>(-2, static_cast<int64_t>(a.count) + 1);
    const int64_t wanted = static_cast<int64_t>(a.lower) + offset;
    if (wanted < INT32_MIN || wanted > INT32_MAX) return false;
    index = static_cast<LONG>(wanted);
    inside = offset >= 0 && offset < static_cast<int64_t>(a.count);
    return true;
}

void Create(FuzzedDataProvider& in, ModelArray& a) {
    if (a.psa) return;
    a.vt = in.PickValueInArray(kTypes);
    a.lower = in.ConsumeBool() ? in.ConsumeIntegral<LONG>() : in.PickValueInArray<LONG>({INT_MIN, INT_MAX, 0, -1});
    a.count = in.ConsumeIntegralInRange<ULONG>(0, 16);
    SAFEARRAYBOUND bound = {a.count, a.lower};
    a.psa = SafeArrayCreate(a.vt, 1, &bound);
    Require(a.psa != nullptr && SafeArrayGetDim(a.psa) == 1 && SafeArrayGetElemsize(a.psa) == Size(a.vt));
    VARTYPE vt = VT_EMPTY;
    Require(SafeArrayGetVartype(a.psa, &vt) == S_OK && vt == a.vt);
    a.locks = 0;
    a.bytes.assign(a.count, a.vt == VT_BSTR ? kNullBstr : std::string(Size(a.vt), '\0'));
    a.objects.assign(a.vt == VT_UNKNOWN ? a.count : 0, -1);
}

void Put(FuzzedDataProvider& in, World& world, ModelArray& a) {
    LONG index;
    bool inside;
    if (!a.psa || !PickIndex(in, a, index, inside)) return;
    const size_t cell = static_cast<size_t>(static_cast<int64_t>(index) - a.lower);
    HRESULT hr;
    if (a.vt == VT_BSTR) {
        const std::string value =
            in.ConsumeBool() ? kNullBstr : in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 9));
        BSTR b = MakeBstr(value);
        hr = SafeArrayPutElement(a.psa, &index, b);
        SysFreeString(b);  // the array keeps its own copy
        if (inside) a.bytes[cell] = value;
    } else if (a.vt == VT_UNKNOWN) {
        const int object = in.ConsumeIntegralInRange<int>(-1, kObjects - 1);
        hr = SafeArrayPutElement(a.psa, &index, object < 0 ? nullptr : &world.objects[object]);
        if (inside) a.objects[cell] = object;
    } else {
        const std::string value = in.ConsumeBytesAsString(Size(a.vt));
        if (value.size() != Size(a.vt)) return;
        hr = SafeArrayPutElement(a.psa, &index, const_cast<char*>(value.data()));
        if (inside) a.bytes[cell] = value;
    }
    Require(hr == (inside ? S_OK : DISP_E_BADINDEX));
}

void Get(FuzzedDataProvider& in, World& world, ModelArray& a) {
    LONG index;
    bool inside;
    if (!a.psa || !PickIndex(in, a, index, inside)) return;
    const size_t cell = inside ? static_cast<size_t>(static_cast<int64_t>(index) - a.lower) : 0;
    unsigned char out[8];
    std::memset(out, 0xA5, sizeof out);
    const HRESULT hr = SafeArrayGetElement(a.psa, &index, out);
    Require(hr == (inside ? S_OK : DISP_E_BADINDEX));
    if (!inside) {
        for (unsigned char byte : out) Require(byte == 0xA5);
        return;
    }
    if (a.vt == VT_BSTR) {
        BSTR b;
        std::memcpy(&b, out, sizeof b);
        Require(SameBstr(b, a.bytes[cell]));
        SysFreeString(b);
    } else if (a.vt == VT_UNKNOWN) {
        IUnknown* item;
        std::memcpy(&item, out, sizeof item);
        const int object = a.objects[cell];
        Require(item == (object < 0 ? nullptr : &world.objects[object]));
        if (item) {
            Require(world.objects[object].Refs() == world.ExpectedRefs(static_cast<size_t>(object)) + 1);
            item->Release();
        }
    } else {
        Require(std::memcmp(out, a.bytes[cell].data(), Size(a.vt)) == 0);
    }
}

void Bounds(FuzzedDataProvider& in, ModelArray& a) {
    if (!a.psa) return;
    const UINT nDim = in.ConsumeIntegralInRange<UINT>(0, 2);
    LONG lower = 0x5A5A5A5A;
    LONG upper = 0x5A5A5A5A;
    const HRESULT lowerHr = SafeArrayGetLBound(a.psa, nDim, &lower);
    const HRESULT upperHr = SafeArrayGetUBound(a.psa, nDim, &upper);
    if (nDim != 1) {
        Require(lowerHr == DISP_E_BADINDEX && upperHr == DISP_E_BADINDEX && lower == 0x5A5A5A5A && upper == 0x5A5A5A5A);
        return;
    }
    const int64_t expected = static_cast<int64_t>(a.lower) + a.count - 1;
    Require(lowerHr == S_OK && lower == a.lower);
    if (expected < INT32_MIN || expected > INT32_MAX) {
        Require(upperHr == DISP_E_OVERFLOW && upper == 0x5A5A5A5A);
    } else {
        Require(upperHr == S_OK && upper == expected);
    }
}

void Access(FuzzedDataProvider& in, ModelArray& a) {
    if (!a.psa) return;
    if (in.ConsumeBool()) {
        void* data = nullptr;
        Require(SafeArrayAccessData(a.psa, &data) == S_OK && data != nullptr);
        ++a.locks;
        if (a.vt != VT_BSTR && a.vt != VT_UNKNOWN) {
            for (ULONG i = 0; i < a.count; ++i)
                Require(std::memcmp(static_cast<char*>(data) + i * Size(a.vt), a.bytes[i].data(), Size(a.vt)) == 0);
        }
    } else {
        Require(SafeArrayUnaccessData(a.psa) == (a.locks ? S_OK : E_UNEXPECTED));
        if (a.locks) --a.locks;
    }
}

void Destroy(ModelArray& a) {
    if (!a.psa) return;
    if (a.locks) {
        Require(SafeArrayDestroy(a.psa) == DISP_E_ARRAYISLOCKED);
        return;
    }
    Require(SafeArrayDestroy(a.psa) == S_OK);
    a = ModelArray();
}

void Strings(FuzzedDataProvider& in) {
    std::string text = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 16) * 2);
    text.resize(text.size() / 2 * 2);  // whole UTF-16 units
    std::vector<OLECHAR> units(text.size() / 2 + 1, 0);
    std::memcpy(units.data(), text.data(), text.size());
    BSTR counted = SysAllocStringLen(units.data(), static_cast<UINT>(text.size() / 2));
    Require(counted && SysStringLen(counted) == text.size() / 2 && std::memcmp(counted, text.data(), text.size()) == 0);
    BSTR terminated = SysAllocString(units.data());
    size_t untilNul = 0;
    while (units[untilNul]) ++untilNul;
    Require(terminated && SysStringLen(terminated) == untilNul && terminated[untilNul] == 0);
    SysFreeString(counted);
    SysFreeString(terminated);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    World world;
    for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
        ModelArray& a = world.arrays[in.ConsumeIntegralInRange<size_t>(0, 3)];
        switch (in.ConsumeIntegralInRange<int>(0, 6)) {
        case 0: Create(in, a); break;
        case 1: Put(in, world, a); break;
        case 2: Get(in, world, a); break;
        case 3: Bounds(in, a); break;
        case 4: Access(in, a); break;
        case 5: Destroy(a); break;
        default: Strings(in); break;
        }
        world.CheckRefs();
    }
    for (ModelArray& a : world.arrays) {
        while (a.psa && a.locks) {
            Require(SafeArrayUnaccessData(a.psa) == S_OK);
            --a.locks;
        }
        Destroy(a);
    }
    world.CheckRefs();
    return 0;
}
