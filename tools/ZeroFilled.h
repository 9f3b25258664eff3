// NewZeroFilled<T>() creates a T on storage that is all zero bytes before the
// constructor runs, so every field the constructor leaves alone reads as zero
// or null. The factory builds its channels this way; their constructors also
// set every field themselves, so no value comes from the bytes alone.
#ifndef TOOLS_ZEROFILLED_H
#define TOOLS_ZEROFILLED_H

#include <cstddef>
#include <cstring>
#include <new>

namespace ZeroFilled {

// GCC treats an object's bytes as dead until its constructor starts, so a
// plain memset before placement new is removed as a dead store once the
// constructor is inlined (-flifetime-dse). Calling through a volatile pointer
// hides the memset from that analysis on every compiler.
inline void* (*volatile zeroBytes)(void*, int, std::size_t) = std::memset;

}  // namespace ZeroFilled

// Allocates T's storage with the global operator new, fills it with zero
// bytes and constructs T in it. If the constructor throws, the storage is
// freed and the exception passes on; allocation failure throws
// std::bad_alloc. The object is ended with a plain delete.
template <class T>
T* NewZeroFilled() {
    void* storage = ::operator new(sizeof(T));
    ZeroFilled::zeroBytes(storage, 0, sizeof(T));
    try {
        return ::new (storage) T;
    } catch (...) {
        ::operator delete(storage);
        throw;
    }
}

#endif  // TOOLS_ZEROFILLED_H
