// The folder an end-to-end test runs atcmd in: a copy of the program in
// "bin" (where it looks for kvconfig.ini) and an empty "appdata" for
// PROGRAMDATA, under a name no other test or process uses.
#ifndef TESTS_E2E_RUN_FOLDER_H
#define TESTS_E2E_RUN_FOLDER_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>

namespace e2e {

// Makes <temp>/<prefix><pid>-<n> with bin/atcmd copied from program and an
// empty appdata; returns its path.
inline std::filesystem::path MakeRunFolder(const std::string& prefix, const std::string& program) {
    namespace fs = std::filesystem;
    static std::atomic<int> serial{0};
    const fs::path root =
        fs::temp_directory_path() / (prefix + std::to_string(getpid()) + "-" + std::to_string(++serial));
    fs::create_directories(root / "bin");
    fs::create_directories(root / "appdata");
    fs::copy_file(program, root / "bin" / "atcmd", fs::copy_options::overwrite_existing);
    fs::permissions(root / "bin" / "atcmd", fs::perms::owner_all, fs::perm_options::add);
    return root;
}

// The shared log of a run in root.
inline std::filesystem::path SharedLogOf(const std::filesystem::path& root) {
    return root / "appdata" / "Quendra Driver Package" / "logs" / "KavoConnectMonitor.log";
}

// A test with a run folder of its own, removed when the test ends.
class RunFolderTest : public ::testing::Test {
protected:
    RunFolderTest(const std::string& prefix, const std::string& atcmd)
        : root(MakeRunFolder(prefix, atcmd)), program(root / "bin" / "atcmd") {}
    ~RunFolderTest() override {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }

    // Writes kvconfig.ini beside the program with this log threshold.
    void SetLogLevel(int level) const {
        std::ofstream(root / "bin" / "kvconfig.ini", std::ios::binary) << "[BASE_CONFIG]\r\nLOG_LV=" << level << "\r\n";
    }

    const std::filesystem::path root;
    const std::filesystem::path program;
};

}  // namespace e2e

#endif  // TESTS_E2E_RUN_FOLDER_H
