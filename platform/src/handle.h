// Kernel handles on POSIX: a process-wide table that maps HANDLE values to the
// objects behind them (events, comm ports). Objects are shared, so a handle
// closed while another thread waits on it leaves that thread a live object.
#ifndef PLATFORM_SRC_HANDLE_H
#define PLATFORM_SRC_HANDLE_H

#include <memory>

#include "platform/winapi.h"

namespace pal {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Called once by CloseHandle, before the handle is removed: a device
    // gives back its file descriptor here and ends pending I/O.
    virtual void OnClose() {}
};

// Registers obj and returns its handle: never NULL, never INVALID_HANDLE_VALUE,
// and never the value of an earlier handle, so a stale handle stays invalid.
HANDLE InsertHandle(std::shared_ptr<KernelObject> obj);

// The object behind h, or null if h is not an open handle of the wanted kind.
std::shared_ptr<KernelObject> ReferenceHandle(HANDLE h);

template <class T>
std::shared_ptr<T> ReferenceHandleAs(HANDLE h) {
    return std::dynamic_pointer_cast<T>(ReferenceHandle(h));
}

}  // namespace pal

#endif  // PLATFORM_SRC_HANDLE_H
