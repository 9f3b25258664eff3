// The OLE Automation subset for the POSIX build, declared as the Windows SDK
// declares it (wtypes.h, oaidl.h, oleauto.h): BSTR strings and SAFEARRAYs of
// plain values, strings and interface pointers.
// Implements: SysAllocString, SysAllocStringLen, SysAllocStringByteLen,
//   SysFreeString, SysStringLen, SysStringByteLen, SafeArrayCreate,
//   SafeArrayDestroy, SafeArrayGetDim, SafeArrayGetElemsize,
//   SafeArrayGetVartype, SafeArrayGetLBound, SafeArrayGetUBound,
//   SafeArrayPutElement, SafeArrayGetElement, SafeArrayAccessData,
//   SafeArrayUnaccessData.
// Not implemented: VARIANT and its functions (so arrays of VT_VARIANT,
//   VT_DECIMAL and VT_RECORD cannot be created), SafeArrayCreateVector, the
//   lock/copy/redim family, BSTR caching (see docs/platform-coverage.md).
#ifndef PLATFORM_POSIX_OLEAUTO_H
#define PLATFORM_POSIX_OLEAUTO_H

#include "platform/posix/base.h"
#include "platform/posix/com.h"

typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
// A BSTR points at the first character; its byte length sits in the four
// bytes before it (see platform/src/bstr.cpp for the layout).
typedef OLECHAR* BSTR;

typedef short VARIANT_BOOL;
#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)
static_assert(sizeof(VARIANT_BOOL) == 2, "VARIANT_BOOL is 16-bit");

typedef unsigned short VARTYPE;

enum VARENUM {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_PTR = 26,
    VT_SAFEARRAY = 27,
    VT_CARRAY = 28,
    VT_USERDEFINED = 29,
    VT_LPSTR = 30,
    VT_LPWSTR = 31,
    VT_RECORD = 36,
    VT_INT_PTR = 37,
    VT_UINT_PTR = 38,
    VT_FILETIME = 64,
    VT_BLOB = 65,
    VT_CLSID = 72,
    VT_VECTOR = 0x1000,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_RESERVED = 0x8000,
    VT_ILLEGAL = 0xffff,
    VT_ILLEGALMASKED = 0xfff,
    VT_TYPEMASK = 0xfff
};

// The count comes first, then the lower bound.
typedef struct tagSAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
} SAFEARRAYBOUND, *LPSAFEARRAYBOUND;

// The descriptor that every SAFEARRAY* points at; rgsabound has cDims
// entries. Depending on fFeatures, the 16 bytes before the descriptor hold
// the element IID (FADF_HAVEIID) or, in their last four, the VARTYPE
// (FADF_HAVEVARTYPE), as on Windows.
typedef struct tagSAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    PVOID pvData;
    SAFEARRAYBOUND rgsabound[1];
} SAFEARRAY, *LPSAFEARRAY;

static_assert(sizeof(SAFEARRAYBOUND) == 8, "SAFEARRAYBOUND layout");
static_assert(offsetof(SAFEARRAY, pvData) == (sizeof(void*) == 8 ? 16 : 12), "SAFEARRAY layout");
static_assert(offsetof(SAFEARRAY, rgsabound) == (sizeof(void*) == 8 ? 24 : 16), "SAFEARRAY layout");
static_assert(sizeof(SAFEARRAY) == (sizeof(void*) == 8 ? 32 : 24), "SAFEARRAY layout");

#define FADF_AUTO 0x1
#define FADF_STATIC 0x2
#define FADF_EMBEDDED 0x4
#define FADF_FIXEDSIZE 0x10
#define FADF_RECORD 0x20
#define FADF_HAVEIID 0x40
#define FADF_HAVEVARTYPE 0x80
#define FADF_BSTR 0x100
#define FADF_UNKNOWN 0x200
#define FADF_DISPATCH 0x400
#define FADF_VARIANT 0x800
#define FADF_RESERVED 0xf008

extern "C" {

BSTR WINAPI SysAllocString(const OLECHAR* psz);
BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui);
BSTR WINAPI SysAllocStringByteLen(LPCSTR psz, UINT len);
void WINAPI SysFreeString(BSTR bstrString);
UINT WINAPI SysStringLen(BSTR pbstr);
UINT WINAPI SysStringByteLen(BSTR bstr);

SAFEARRAY* WINAPI SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
HRESULT WINAPI SafeArrayDestroy(SAFEARRAY* psa);
UINT WINAPI SafeArrayGetDim(SAFEARRAY* psa);
UINT WINAPI SafeArrayGetElemsize(SAFEARRAY* psa);
HRESULT WINAPI SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
HRESULT WINAPI SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
HRESULT WINAPI SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
HRESULT WINAPI SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
HRESULT WINAPI SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
HRESULT WINAPI SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
HRESULT WINAPI SafeArrayUnaccessData(SAFEARRAY* psa);

}  // extern "C"

#endif  // PLATFORM_POSIX_OLEAUTO_H
