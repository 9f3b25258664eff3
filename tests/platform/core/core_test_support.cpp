// Helpers for the core platform conformance tables. The only place in these
// tests besides the kit's Wine detection that tells the systems apart at
// compile time: the CRT's invalid-parameter handler exists only on Windows,
// and setting an environment variable has no portable spelling.
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

#include "core_test_support.h"  // last: see the note on winapi.h there

namespace coretest {

#ifdef _WIN32
namespace {
// The CRT ends the process on an invalid parameter by default; the tables
// check the documented result that follows when the handler returns.
void ReturnFromInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) {}
const bool invalidParameterHandlerSet = (_set_invalid_parameter_handler(ReturnFromInvalidParameter), true);
}  // namespace
#endif

void SetEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    if (value.empty())
        unsetenv(name);
    else
        setenv(name, value.c_str(), 1);
#endif
}

std::string WinPath(const std::filesystem::path& path) {
    std::string text = path.string();
    for (char& c : text) {
        if (c == '/') c = '\\';
    }
    return text;
}

std::filesystem::path FromWinPath(const std::string& windowsPath) {
    std::string text = windowsPath;
    for (char& c : text) {
        if (c == '\\') c = '/';
    }
    return std::filesystem::path(text);
}

std::string ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

ScratchFolder::ScratchFolder() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    path_ =
        std::filesystem::temp_directory_path() / ("core-" + std::to_string(GetCurrentProcessId()) + "-" +
                                                  std::to_string(counter++) + "-" + std::to_string(random() % 100000));
    std::filesystem::create_directories(path_);
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace coretest
