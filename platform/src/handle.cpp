// The handle table and CloseHandle.
// Implements: CloseHandle.
// Not implemented: DuplicateHandle, handle inheritance, pseudo-handles
// (INVALID_HANDLE_VALUE is never an open handle here).
#include "handle.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace pal {
namespace {

struct HandleTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
    uintptr_t next = 0x100;  // multiples of 4, as Windows hands them out
};

HandleTable& Table() {
    static HandleTable* table = new HandleTable;  // outlives every static destructor
    return *table;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> obj) {
    HandleTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    uintptr_t value = t.next;
    t.next += 4;
    t.objects.emplace(value, std::move(obj));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> ReferenceHandle(HANDLE h) {
    HandleTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
    return it == t.objects.end() ? nullptr : it->second;
}

}  // namespace pal

/***********************************************************************
 *           CloseHandle
 *
 * PARAMS
 *  hObject [I] an open handle
 *
 * RETURNS
 *  TRUE; FALSE with ERROR_INVALID_HANDLE when hObject is not open (NULL,
 *  INVALID_HANDLE_VALUE and already closed handles included).
 */
BOOL WINAPI CloseHandle(HANDLE hObject) {
    std::shared_ptr<pal::KernelObject> obj;
    {
        pal::HandleTable& t = pal::Table();
        std::lock_guard<std::mutex> guard(t.lock);
        auto it = t.objects.find(reinterpret_cast<uintptr_t>(hObject));
        if (it == t.objects.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        obj = std::move(it->second);
        t.objects.erase(it);
    }
    obj->OnClose();
    return TRUE;
}
