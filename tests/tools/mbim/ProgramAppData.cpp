// Gives the whole test program a common application-data folder of its own,
// before any test runs and so before the shared logger fixes its path: the
// POSIX platform reads PROGRAMDATA. The folder is removed at exit.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/winapi.h"

namespace {

class ProgramAppData {
public:
    ProgramAppData()
    {
        std::filesystem::path base = std::filesystem::temp_directory_path();
        folder = (base / ("globaltools-mbim-" + std::to_string(GetCurrentProcessId()))).generic_string();
        std::filesystem::create_directories(folder);
        // putenv keeps the pointer, so the text lives in static storage that
        // outlasts every reader of the environment.
        std::snprintf(setting, sizeof setting, "PROGRAMDATA=%s", folder.c_str());
        putenv(setting);
    }
    ~ProgramAppData()
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

private:
    std::string folder;
    static char setting[1024];
};

char ProgramAppData::setting[1024];
ProgramAppData programAppData;

}  // namespace
