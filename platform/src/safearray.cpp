// SAFEARRAYs for the POSIX build: self-describing arrays of plain values,
// BSTRs and interface pointers, with the element ownership rules of
// oleaut32 (the array owns its strings and one reference per interface).
// Implements: SafeArrayCreate, SafeArrayDestroy, SafeArrayGetDim,
//   SafeArrayGetElemsize, SafeArrayGetVartype, SafeArrayGetLBound,
//   SafeArrayGetUBound, SafeArrayPutElement, SafeArrayGetElement,
//   SafeArrayAccessData, SafeArrayUnaccessData.
// Not implemented: VT_VARIANT, VT_DECIMAL and VT_RECORD elements (no VARIANT
//   support), SafeArrayCreateVector, SafeArrayLock/Unlock as exports,
//   SafeArrayCopy, SafeArrayRedim, static or embedded arrays.
//
// Memory layout of one array (two heap blocks):
//
//   descriptor block (malloc)
//   +------------------------------+------------------------------------+
//   | 16 hidden bytes              | SAFEARRAY                          |
//   |  FADF_HAVEIID: element IID   |  cDims, fFeatures, cbElements,     |
//   |  FADF_HAVEVARTYPE: VARTYPE   |  cLocks, pvData,                   |
//   |   as a DWORD in the last 4   |  rgsabound[cDims] (last dimension  |
//   +------------------------------+   first, as Windows stores them)   |
//                                  ^+------------------------------------+
//                                  SAFEARRAY* (what callers hold)
//
//   data block (calloc): the elements, the first dimension varying fastest;
//   never NULL, even for zero elements.
//
// Windows keeps the bounds in reverse order: rgsabound[0] describes the last
// dimension, and nDim 1 (or rgIndices[0]) means rgsabound[cDims - 1]. A
// one-dimensional array, the only kind this system passes around, looks the
// same either way.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/winapi.h"

namespace {

const size_t kHidden = sizeof(GUID);
const ULONG kMaxLocks = 0xFFFF;

const IID kIidIDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Element size of each base type this layer supports; 0 for the others.
ULONG ElementSize(VARTYPE vt) {
    switch (vt) {
    case VT_I1:
    case VT_UI1: return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: return 2;
    case VT_I4:
    case VT_UI4:
    case VT_R4:
    case VT_ERROR:
    case VT_INT:
    case VT_UINT: return 4;
    case VT_R8:
    case VT_I8:
    case VT_UI8:
    case VT_CY:
    case VT_DATE: return 8;
    case VT_INT_PTR:
    case VT_UINT_PTR: return sizeof(ULONG_PTR);
    case VT_BSTR: return sizeof(BSTR);
    case VT_UNKNOWN:
    case VT_DISPATCH: return sizeof(IUnknown*);
    default: return 0;
    }
}

unsigned char* HiddenBytes(SAFEARRAY* psa) { return reinterpret_cast<unsigned char*>(psa) - kHidden; }

bool HoldsInterfaces(const SAFEARRAY* psa) { return (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) != 0; }

bool HoldsStrings(const SAFEARRAY* psa) { return (psa->fFeatures & FADF_BSTR) != 0; }

// Bound of dimension nDim (1-based, as callers count).
SAFEARRAYBOUND& Bound(SAFEARRAY* psa, UINT nDim) { return psa->rgsabound[psa->cDims - nDim]; }

size_t ElementCount(SAFEARRAY* psa) {
    size_t count = 1;
    for (USHORT i = 0; i < psa->cDims; ++i) {
        count *= psa->rgsabound[i].cElements;
    }
    return count;
}

// cLocks is changed atomically, as Windows does with interlocked operations,
// so that two threads reading the same array do not corrupt the count.
HRESULT Lock(SAFEARRAY* psa) {
    ULONG locks = __atomic_add_fetch(&psa->cLocks, 1, __ATOMIC_ACQ_REL);
    if (locks > kMaxLocks) {
        __atomic_sub_fetch(&psa->cLocks, 1, __ATOMIC_ACQ_REL);
        return E_UNEXPECTED;
    }
    return S_OK;
}

HRESULT Unlock(SAFEARRAY* psa) {
    ULONG locks = __atomic_load_n(&psa->cLocks, __ATOMIC_ACQUIRE);
    do {
        if (locks == 0) {
            return E_UNEXPECTED;
        }
    } while (!__atomic_compare_exchange_n(&psa->cLocks, &locks, locks - 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
    return S_OK;
}

// Address of the element at rgIndices (rgIndices[0] for dimension 1), or
// NULL when an index lies outside its dimension.
unsigned char* ElementAt(SAFEARRAY* psa, const LONG* rgIndices) {
    size_t offset = 0;
    size_t stride = 1;
    for (UINT dim = 1; dim <= psa->cDims; ++dim) {
        const SAFEARRAYBOUND& bound = Bound(psa, dim);
        int64_t rel = static_cast<int64_t>(rgIndices[dim - 1]) - bound.lLbound;
        if (rel < 0 || rel >= static_cast<int64_t>(bound.cElements)) {
            return nullptr;
        }
        offset += static_cast<size_t>(rel) * stride;
        stride *= bound.cElements;
    }
    return static_cast<unsigned char*>(psa->pvData) + offset * psa->cbElements;
}

// Gives back what the array owns in every element and leaves them zero.
void ClearElements(SAFEARRAY* psa) {
    size_t count = ElementCount(psa);
    if (HoldsInterfaces(psa)) {
        IUnknown** items = static_cast<IUnknown**>(psa->pvData);
        for (size_t i = 0; i < count; ++i) {
            if (items[i] != nullptr) {
                IUnknown* item = items[i];
                items[i] = nullptr;
                item->Release();
            }
        }
    } else if (HoldsStrings(psa)) {
        BSTR* items = static_cast<BSTR*>(psa->pvData);
        for (size_t i = 0; i < count; ++i) {
            SysFreeString(items[i]);
            items[i] = nullptr;
        }
    }
}

BSTR CopyBstr(BSTR source) {
    if (source == nullptr) {
        return nullptr;
    }
    return SysAllocStringByteLen(reinterpret_cast<LPCSTR>(source), SysStringByteLen(source));
}

}  // namespace

/******************************************************************************
 *  SafeArrayCreate
 *
 *  PARAMS
 *   vt        [I] element type.
 *   cDims     [I] number of dimensions, at least 1.
 *   rgsabound [I] cDims bounds, dimension 1 first.
 *
 *  RETURNS
 *   A new array with zeroed elements and cLocks 0, or NULL for an invalid
 *   type (VT_EMPTY, VT_NULL, VT_ARRAY or VT_BYREF set...), cDims 0, no
 *   bounds, a size that does not fit in memory, or no memory.
 *
 *  NOTES
 *   fFeatures is what Windows sets: FADF_HAVEVARTYPE for plain types,
 *   FADF_BSTR|FADF_HAVEVARTYPE, FADF_UNKNOWN|FADF_HAVEIID,
 *   FADF_DISPATCH|FADF_HAVEIID. VT_VARIANT, VT_DECIMAL and VT_RECORD, valid
 *   on Windows, give NULL here.
 */
SAFEARRAY* WINAPI SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
    ULONG cbElements = ElementSize(vt);
    if (cbElements == 0 || cDims == 0 || cDims > USHRT_MAX || rgsabound == nullptr) {
        return nullptr;
    }
    size_t count = 1;
    for (UINT i = 0; i < cDims; ++i) {
        size_t n = rgsabound[i].cElements;
        if (n != 0 && count > SIZE_MAX / n) {
            return nullptr;
        }
        count *= n;
    }
    if (count > SIZE_MAX / cbElements || PAL_FAULT_POINT("SafeArrayCreate")) {
        return nullptr;
    }

    size_t descriptorSize = sizeof(SAFEARRAY) + (cDims - 1) * sizeof(SAFEARRAYBOUND);
    unsigned char* block = static_cast<unsigned char*>(std::calloc(1, kHidden + descriptorSize));
    if (block == nullptr) {
        return nullptr;
    }
    // A zero-element array still gets a data block, so AccessData hands out
    // a non-NULL pointer as Windows does.
    void* data = std::calloc(count == 0 ? 1 : count, cbElements);
    if (data == nullptr) {
        std::free(block);
        return nullptr;
    }

    SAFEARRAY* psa = reinterpret_cast<SAFEARRAY*>(block + kHidden);
    psa->cDims = static_cast<USHORT>(cDims);
    psa->cbElements = cbElements;
    psa->cLocks = 0;
    psa->pvData = data;
    for (UINT i = 0; i < cDims; ++i) {
        psa->rgsabound[cDims - 1 - i] = rgsabound[i];
    }
    switch (vt) {
    case VT_UNKNOWN:
        psa->fFeatures = FADF_UNKNOWN | FADF_HAVEIID;
        std::memcpy(block, &IID_IUnknown, sizeof(GUID));
        break;
    case VT_DISPATCH:
        psa->fFeatures = FADF_DISPATCH | FADF_HAVEIID;
        std::memcpy(block, &kIidIDispatch, sizeof(GUID));
        break;
    default: {
        psa->fFeatures = static_cast<USHORT>(FADF_HAVEVARTYPE | (vt == VT_BSTR ? FADF_BSTR : 0));
        DWORD stored = vt;
        std::memcpy(block + kHidden - sizeof(DWORD), &stored, sizeof(DWORD));
        break;
    }
    }
    return psa;
}

/******************************************************************************
 *  SafeArrayDestroy
 *
 *  PARAMS
 *   psa [I] array to destroy, or NULL.
 *
 *  RETURNS
 *   S_OK (also for NULL); DISP_E_ARRAYISLOCKED while cLocks is not 0, and
 *   then nothing is freed or released.
 *
 *  NOTES
 *   Releases every interface element and frees every BSTR element first.
 */
HRESULT WINAPI SafeArrayDestroy(SAFEARRAY* psa) {
    if (psa == nullptr) {
        return S_OK;
    }
    if (__atomic_load_n(&psa->cLocks, __ATOMIC_ACQUIRE) != 0) {
        return DISP_E_ARRAYISLOCKED;
    }
    ClearElements(psa);
    std::free(psa->pvData);
    std::free(HiddenBytes(psa));
    return S_OK;
}

/******************************************************************************
 *  SafeArrayGetDim
 *
 *  RETURNS
 *   cDims of psa; 0 for NULL.
 */
UINT WINAPI SafeArrayGetDim(SAFEARRAY* psa) { return psa == nullptr ? 0 : psa->cDims; }

/******************************************************************************
 *  SafeArrayGetElemsize
 *
 *  RETURNS
 *   cbElements of psa; 0 for NULL.
 */
UINT WINAPI SafeArrayGetElemsize(SAFEARRAY* psa) { return psa == nullptr ? 0 : psa->cbElements; }

/******************************************************************************
 *  SafeArrayGetVartype
 *
 *  PARAMS
 *   psa [I] array.
 *   pvt [O] element type.
 *
 *  RETURNS
 *   S_OK; E_INVALIDARG for NULL arguments or an array that records no type.
 */
HRESULT WINAPI SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
    if (psa == nullptr || pvt == nullptr) {
        return E_INVALIDARG;
    }
    if (psa->fFeatures & FADF_HAVEIID) {
        *pvt = (psa->fFeatures & FADF_DISPATCH) ? VT_DISPATCH : VT_UNKNOWN;
        return S_OK;
    }
    if (psa->fFeatures & FADF_HAVEVARTYPE) {
        DWORD stored;
        std::memcpy(&stored, HiddenBytes(psa) + kHidden - sizeof(DWORD), sizeof(DWORD));
        *pvt = static_cast<VARTYPE>(stored);
        return S_OK;
    }
    return E_INVALIDARG;
}

/******************************************************************************
 *  SafeArrayGetLBound
 *
 *  PARAMS
 *   psa      [I] array.
 *   nDim     [I] dimension, 1-based.
 *   plLbound [O] lower bound.
 *
 *  RETURNS
 *   S_OK; DISP_E_BADINDEX for nDim 0 or above cDims; E_INVALIDARG for NULL
 *   arguments.
 */
HRESULT WINAPI SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
    if (psa == nullptr || plLbound == nullptr) {
        return E_INVALIDARG;
    }
    if (nDim == 0 || nDim > psa->cDims) {
        return DISP_E_BADINDEX;
    }
    *plLbound = Bound(psa, nDim).lLbound;
    return S_OK;
}

/******************************************************************************
 *  SafeArrayGetUBound
 *
 *  PARAMS
 *   psa      [I] array.
 *   nDim     [I] dimension, 1-based.
 *   plUbound [O] upper bound = lower bound + count - 1.
 *
 *  RETURNS
 *   S_OK (an empty dimension with lower bound 0 gives -1); DISP_E_BADINDEX for
 *   nDim 0 or above cDims; DISP_E_OVERFLOW when the upper bound does not fit
 *   in a LONG (above LONG_MAX, or one below an empty dimension's INT_MIN
 *   lower bound); E_INVALIDARG for NULL arguments.
 *
 *  NOTES
 *   Wine wraps instead of reporting DISP_E_OVERFLOW.
 */
HRESULT WINAPI SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
    if (psa == nullptr || plUbound == nullptr) {
        return E_INVALIDARG;
    }
    if (nDim == 0 || nDim > psa->cDims) {
        return DISP_E_BADINDEX;
    }
    const SAFEARRAYBOUND& bound = Bound(psa, nDim);
    int64_t upper = static_cast<int64_t>(bound.lLbound) + bound.cElements - 1;
    // An empty dimension at INT_MIN has its upper bound below any LONG.
    if (upper > INT32_MAX || upper < INT32_MIN) {
        return DISP_E_OVERFLOW;
    }
    *plUbound = static_cast<LONG>(upper);
    return S_OK;
}

/******************************************************************************
 *  SafeArrayPutElement
 *
 *  PARAMS
 *   psa       [I] array.
 *   rgIndices [I] one index per dimension, dimension 1 first.
 *   pv        [I] the value: for BSTR and interface arrays the BSTR or
 *                 interface pointer itself (may be NULL), otherwise a pointer
 *                 to cbElements bytes.
 *
 *  RETURNS
 *   S_OK; DISP_E_BADINDEX for an index out of range; E_INVALIDARG for NULL
 *   psa or rgIndices, or NULL pv for a plain type; E_OUTOFMEMORY when a BSTR
 *   cannot be copied; E_UNEXPECTED when the array is locked 65535 times.
 *
 *  NOTES
 *   Locks the array for the time of the call, so it works on an array that
 *   the caller has locked too. The array keeps a copy of a BSTR and its own
 *   reference to an interface; the old element is freed or released after
 *   the new one is taken, so putting the same object again is balanced.
 */
HRESULT WINAPI SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    if (psa == nullptr || rgIndices == nullptr) {
        return E_INVALIDARG;
    }
    if (pv == nullptr && !HoldsInterfaces(psa) && !HoldsStrings(psa)) {
        return E_INVALIDARG;
    }
    if (PAL_FAULT_POINT("SafeArrayPutElement")) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = Lock(psa);
    if (FAILED(hr)) {
        return hr;
    }
    unsigned char* cell = ElementAt(psa, rgIndices);
    if (cell == nullptr) {
        hr = DISP_E_BADINDEX;
    } else if (HoldsInterfaces(psa)) {
        IUnknown* item = static_cast<IUnknown*>(pv);
        IUnknown* old;
        std::memcpy(&old, cell, sizeof(old));
        if (item != nullptr) {
            item->AddRef();
        }
        std::memcpy(cell, &item, sizeof(item));
        if (old != nullptr) {
            old->Release();
        }
    } else if (HoldsStrings(psa)) {
        BSTR source = static_cast<BSTR>(pv);
        BSTR copy = CopyBstr(source);
        if (copy == nullptr && source != nullptr) {
            hr = E_OUTOFMEMORY;
        } else {
            BSTR old;
            std::memcpy(&old, cell, sizeof(old));
            std::memcpy(cell, &copy, sizeof(copy));
            SysFreeString(old);
        }
    } else {
        std::memcpy(cell, pv, psa->cbElements);
    }
    Unlock(psa);
    return hr;
}

/******************************************************************************
 *  SafeArrayGetElement
 *
 *  PARAMS
 *   psa       [I] array.
 *   rgIndices [I] one index per dimension, dimension 1 first.
 *   pv        [O] receives cbElements bytes: for BSTR arrays a new copy the
 *                 caller frees, for interface arrays a pointer the caller
 *                 releases (AddRef'd here).
 *
 *  RETURNS
 *   S_OK; DISP_E_BADINDEX for an index out of range; E_INVALIDARG for NULL
 *   arguments; E_OUTOFMEMORY when a BSTR cannot be copied (pv then holds
 *   NULL); E_UNEXPECTED when the array is locked 65535 times.
 */
HRESULT WINAPI SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    if (psa == nullptr || rgIndices == nullptr || pv == nullptr) {
        return E_INVALIDARG;
    }
    HRESULT hr = Lock(psa);
    if (FAILED(hr)) {
        return hr;
    }
    unsigned char* cell = ElementAt(psa, rgIndices);
    if (cell == nullptr) {
        hr = DISP_E_BADINDEX;
    } else if (HoldsInterfaces(psa)) {
        IUnknown* item;
        std::memcpy(&item, cell, sizeof(item));
        if (item != nullptr) {
            item->AddRef();
        }
        std::memcpy(pv, &item, sizeof(item));
    } else if (HoldsStrings(psa)) {
        BSTR source;
        std::memcpy(&source, cell, sizeof(source));
        BSTR copy = CopyBstr(source);
        if (copy == nullptr && source != nullptr) {
            hr = E_OUTOFMEMORY;
        }
        std::memcpy(pv, &copy, sizeof(copy));
    } else {
        std::memcpy(pv, cell, psa->cbElements);
    }
    Unlock(psa);
    return hr;
}

/******************************************************************************
 *  SafeArrayAccessData
 *
 *  PARAMS
 *   psa     [I] array.
 *   ppvData [O] the elements; NULL on failure.
 *
 *  RETURNS
 *   S_OK, with cLocks raised by one until SafeArrayUnaccessData;
 *   E_INVALIDARG for NULL arguments; E_UNEXPECTED when the array is already
 *   locked 65535 times.
 *
 *  NOTES
 *   A zero-element array gives a non-NULL pointer that must not be
 *   dereferenced (Windows and Wine do the same; the documentation is
 *   silent).
 */
HRESULT WINAPI SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
    if (ppvData == nullptr) {
        return E_INVALIDARG;
    }
    *ppvData = nullptr;
    if (psa == nullptr) {
        return E_INVALIDARG;
    }
    HRESULT hr = PAL_FAULT_POINT("SafeArrayAccessData") ? E_UNEXPECTED : Lock(psa);
    if (SUCCEEDED(hr)) {
        *ppvData = psa->pvData;
    }
    return hr;
}

/******************************************************************************
 *  SafeArrayUnaccessData
 *
 *  PARAMS
 *   psa [I] array accessed with SafeArrayAccessData.
 *
 *  RETURNS
 *   S_OK; E_UNEXPECTED when the array is not locked; E_INVALIDARG for NULL.
 */
HRESULT WINAPI SafeArrayUnaccessData(SAFEARRAY* psa) {
    if (psa == nullptr) {
        return E_INVALIDARG;
    }
    return Unlock(psa);
}
