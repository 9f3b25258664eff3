// Paths and folders: the Windows-form path mapping shared by every file
// function, the machine-wide application-data folder, and directory creation.
// Implements: SHGetSpecialFolderPathA (CSIDL_COMMON_APPDATA), PathAddBackslashA,
//   CreateDirectoryA.
// Not implemented: other CSIDLs, drive letters and UNC names (a path is read as
//   a POSIX path with backslashes for slashes), security attributes.
#include "path_map.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <sys/types.h>

#ifndef ERROR_TOO_MANY_OPEN_FILES
#define ERROR_TOO_MANY_OPEN_FILES 4L
#endif
#ifndef ERROR_DISK_FULL
#define ERROR_DISK_FULL 112L
#endif

namespace pal {

std::string ToPosixPath(const char* windowsPath) {
    std::string path(windowsPath ? windowsPath : "");
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

std::string ToWindowsPath(const std::string& posixPath) {
    std::string path(posixPath);
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

DWORD Win32ErrorFromErrno(int err) {
    switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ELOOP: return ERROR_PATH_NOT_FOUND;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
        return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EBUSY:
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    default: return ERROR_GEN_FAILURE;
    }
}

}  // namespace pal

namespace {

// Where the machine-wide application data lives on this system: PROGRAMDATA
// when it names a folder, otherwise /var/lib (the FHS home of state data).
std::string CommonAppDataFolder() {
    const char* env = std::getenv("PROGRAMDATA");
    std::string folder = (env && *env) ? pal::ToPosixPath(env) : std::string("/var/lib");
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

// Creates every missing level of path; true if it is a directory afterwards.
bool MakeDirectoryTree(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        std::string level = path.substr(0, pos);
        if (mkdir(level.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return false;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

/***********************************************************************
 *           SHGetSpecialFolderPathA
 *
 * PARAMS
 *  hwnd    [I] ignored
 *  pszPath [O] receives the folder, at least MAX_PATH characters
 *  csidl   [I] CSIDL_COMMON_APPDATA
 *  fCreate [I] nonzero: create the folder (and missing parents) if absent
 *
 * RETURNS
 *  TRUE with the folder in Windows form (backslashes, no trailing one);
 *  FALSE for any other CSIDL, a NULL pszPath, a folder that does not fit in
 *  MAX_PATH, or a folder that fCreate could not create.
 *
 * NOTES
 *  The folder is $PROGRAMDATA when set and non-empty, otherwise /var/lib
 *  (Windows: C:\ProgramData). Without fCreate its existence is not checked.
 */
BOOL WINAPI SHGetSpecialFolderPathA(HWND hwnd, LPSTR pszPath, int csidl, BOOL fCreate) {
    (void)hwnd;
    if (!pszPath || csidl != CSIDL_COMMON_APPDATA) return FALSE;
    std::string folder = CommonAppDataFolder();
    if (folder.size() >= MAX_PATH) return FALSE;
    if (fCreate && !MakeDirectoryTree(folder)) return FALSE;
    std::string windowsForm = pal::ToWindowsPath(folder);
    std::memcpy(pszPath, windowsForm.c_str(), windowsForm.size() + 1);
    return TRUE;
}

/***********************************************************************
 *           PathAddBackslashA
 *
 * PARAMS
 *  pszPath [IO] a path in a buffer of MAX_PATH characters
 *
 * RETURNS
 *  A pointer to the terminating NUL of the (possibly extended) path; NULL
 *  if pszPath is NULL or the backslash would not fit in MAX_PATH.
 *
 * NOTES
 *  Only a backslash counts as a separator ("a/" gains one); an empty path
 *  stays empty. Wine extends a 259-character path past MAX_PATH; this
 *  follows the documented NULL (row "259 chars" in the core tests).
 */
LPSTR WINAPI PathAddBackslashA(LPSTR pszPath) {
    if (!pszPath) return nullptr;
    size_t len = std::strlen(pszPath);
    if (len >= MAX_PATH) return nullptr;
    if (len == 0 || pszPath[len - 1] == '\\') return pszPath + len;
    if (len + 1 >= MAX_PATH) return nullptr;
    pszPath[len] = '\\';
    pszPath[len + 1] = '\0';
    return pszPath + len + 1;
}

/***********************************************************************
 *           CreateDirectoryA
 *
 * PARAMS
 *  lpPathName           [I] the directory; only its last level is created
 *  lpSecurityAttributes [I] ignored (the directory gets mode 0777 & ~umask)
 *
 * RETURNS
 *  TRUE, or FALSE with the last error: ERROR_ALREADY_EXISTS (the name exists,
 *  as a directory or a file), ERROR_PATH_NOT_FOUND (a parent level is
 *  missing, or the name is empty), ERROR_ACCESS_DENIED, or
 *  ERROR_FILENAME_EXCED_RANGE (MAX_PATH characters or more).
 *
 * NOTES
 *  Windows documents a 248-character limit for the ANSI form; only MAX_PATH
 *  is enforced here. The last error is left alone on success.
 */
BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
    (void)lpSecurityAttributes;
    if (!lpPathName || !*lpPathName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (std::strlen(lpPathName) >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    if (PAL_FAULT_POINT("CreateDirectoryA")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::string path = pal::ToPosixPath(lpPathName);
    if (mkdir(path.c_str(), 0777) != 0) {
        int err = errno;
        SetLastError(err == ENOENT ? ERROR_PATH_NOT_FOUND : pal::Win32ErrorFromErrno(err));
        return FALSE;
    }
    return TRUE;
}
