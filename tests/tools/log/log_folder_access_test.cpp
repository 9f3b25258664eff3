// The folders a logger creates stay writable for later runs under other
// accounts: they carry an inheritable entry that lets the local Users group
// (S-1-5-32-545) modify what is inside, and files made there inherit it. A
// folder that exists already keeps its access list. Windows only (run under
// Wine): POSIX folders have no access lists.
//
// Wine 8 keeps no access lists on files either: it turns a DACL into Unix
// mode bits and reads back one made from them. Under Wine the entry is
// checked in the descriptor the logger hands to CreateDirectoryA (parsed by
// Wine's own SDDL reader), and the folder's list is read back only where
// the system keeps it.
#include <gtest/gtest.h>

#include <aclapi.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "conformance.h"
#include "tools/log/LogWriter.h"

namespace {

// Read, write, execute and delete: what Explorer calls "Modify".
const ACCESS_MASK kModify = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;

struct UsersEntry {
    bool found = false;
    BYTE flags = 0;
    ACCESS_MASK mask = 0;
};

// The Users entry of a DACL, if it has one.
UsersEntry FindUsersEntry(PACL dacl) {
    UsersEntry entry;
    BYTE users[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof users;
    if (!CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &size)) return entry;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount && !entry.found; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && EqualSid(&allowed->SidStart, users)) {
            entry = {true, allowed->Header.AceFlags, allowed->Mask};
        }
    }
    return entry;
}

// The Users entry in path's access list.
UsersEntry FindUsersEntry(const std::string& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              &descriptor) != ERROR_SUCCESS) {
        ADD_FAILURE() << "cannot read the access list of " << path;
        return UsersEntry();
    }
    UsersEntry entry = FindUsersEntry(dacl);
    LocalFree(descriptor);
    return entry;
}

// path's access list in its text form, to see that it did not change.
std::string AccessListText(const std::string& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    LPSTR text = nullptr;
    std::string result;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &descriptor) == ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                             &text, nullptr)) {
        result = text;
        LocalFree(text);
    }
    LocalFree(descriptor);
    return result;
}

}  // namespace

TEST(LogFolderAccess, created_folders_let_users_modify_inside_existing_ones_keep_their_list) {
    const BYTE kInheritance = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    const BYTE kFlags = kInheritance | INHERITED_ACE;

    // The entry the logger asks for.
    PSECURITY_DESCRIPTOR asked = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(LogWriter::kUsersMayModify, SDDL_REVISION_1,
                                                                     &asked, nullptr));
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL askedDacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(asked, &present, &askedDacl, &defaulted));
    const UsersEntry wanted = FindUsersEntry(askedDacl);
    LocalFree(asked);
    ASSERT_TRUE(wanted.found);
    EXPECT_EQ(kInheritance, wanted.flags & kFlags);
    EXPECT_EQ(kModify, wanted.mask);

    char temp[MAX_PATH] = {0};
    ASSERT_NE(0u, GetTempPathA(MAX_PATH, temp));
    const std::string base = std::string(temp) + "globaltools-acl-" + std::to_string(GetCurrentProcessId());
    std::error_code ignored;
    std::filesystem::remove_all(base, ignored);
    ASSERT_TRUE(CreateDirectoryA(base.c_str(), nullptr));

    // A folder that is there already is not touched.
    const std::string existing = base + "\\existing";
    ASSERT_TRUE(CreateDirectoryA(existing.c_str(), nullptr));
    const std::string before = AccessListText(existing);
    SetLastError(conformance::kSentinel);
    EXPECT_FALSE(LogWriter::CreateLogFolder(existing.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_EQ(before, AccessListText(existing));

    const std::string created = base + "\\Quendra Driver Package";
    ASSERT_TRUE(LogWriter::CreateLogFolder(created.c_str()));
    const std::string file = created + "\\KavoConnectMonitor.log";
    FILE* stream = _fsopen(file.c_str(), "a+", _SH_DENYNO);
    ASSERT_NE(nullptr, stream);
    fclose(stream);

    if (conformance::UnderWine()) {
        std::printf(
            "Wine keeps no access lists: the folder's list, read back as %s, is made from its "
            "mode bits (known difference)\n",
            AccessListText(created).c_str());
    } else {
        const UsersEntry own = FindUsersEntry(created);
        EXPECT_TRUE(own.found) << AccessListText(created);
        EXPECT_EQ(kInheritance, own.flags & kFlags);
        EXPECT_EQ(kModify, own.mask & kModify) << std::hex << own.mask;
        // The log file made inside gets the entry by inheritance.
        const UsersEntry inherited = FindUsersEntry(file);
        EXPECT_TRUE(inherited.found) << AccessListText(file);
        EXPECT_EQ(INHERITED_ACE, inherited.flags & INHERITED_ACE);
        EXPECT_EQ(kModify, inherited.mask & kModify) << std::hex << inherited.mask;
    }

    std::filesystem::remove_all(base, ignored);
}
