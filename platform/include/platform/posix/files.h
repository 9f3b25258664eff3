// Shell folders, directories, the executable's own path and INI reading for
// the POSIX build, declared as the Windows SDK declares them (shlobj.h,
// shlwapi.h, fileapi.h, libloaderapi.h, winbase.h).
// Paths cross this boundary in Windows form: every path returned uses
// backslashes, and every path received has its backslashes read as '/'.
// Implements: SHGetSpecialFolderPathA (CSIDL_COMMON_APPDATA only),
//   PathAddBackslashA, CreateDirectoryA, GetModuleFileNameA (own executable
//   only), GetPrivateProfileIntA.
// Not implemented: drive letters, other CSIDLs, the W variants (see
//   docs/platform-coverage.md).
#ifndef PLATFORM_POSIX_FILES_H
#define PLATFORM_POSIX_FILES_H

#include "platform/posix/base.h"
#include "platform/posix/synch.h"

typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;

#define CSIDL_COMMON_APPDATA 0x0023

extern "C" {

BOOL WINAPI SHGetSpecialFolderPathA(HWND hwnd, LPSTR pszPath, int csidl, BOOL fCreate);
LPSTR WINAPI PathAddBackslashA(LPSTR pszPath);
BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
UINT WINAPI GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, INT nDefault, LPCSTR lpFileName);

}  // extern "C"

#endif  // PLATFORM_POSIX_FILES_H
