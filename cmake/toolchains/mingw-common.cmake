# The part of the mingw-w64 toolchain files that does not depend on the
# target: Debian's cross compilers (posix threads, so std::thread is there)
# for CMAKE_SYSTEM_PROCESSOR, which the including file sets first.
set(CMAKE_SYSTEM_NAME Windows)
set(GLOBALTOOLS_MINGW_TRIPLET ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${GLOBALTOOLS_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${GLOBALTOOLS_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${GLOBALTOOLS_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${GLOBALTOOLS_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C, C++ and thread runtimes are linked in, so a program imports only DLLs
# that Windows itself ships (scripts/check-pe.sh checks the import table).
# -static also makes the linker take libwinpthread.a over its import library.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
