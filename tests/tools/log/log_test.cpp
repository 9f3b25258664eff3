// Scenario tests of the two file loggers: the line layout on disk, the
// threshold read from the INI file on every call, what happens to lines when
// files and folders go missing, and the shared logger's reference counting.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "log_test_support.h"
#include "tools/interfaces.h"
#include "tools/log/CLog.h"
#include "tools/log/CLogEx.h"

namespace {

using logtest::CrLfLines;
using logtest::LogFolder;
using logtest::ReadAll;

template <class T>
struct ReleaseDeleter {
    void operator()(T* object) const { object->Release(); }
};
template <class T>
using Held = std::unique_ptr<T, ReleaseDeleter<T>>;

// One line as the loggers write it; groups: pid, tid, month, day, hour,
// minute, second, millisecond, message.
const std::regex kLine(R"(\[(-?\d+)\] \[(-?\d+)\] (\d\d)-(\d\d) (\d\d):(\d\d):(\d\d):(\d\d\d) : (.*))");

// The messages of a log file's lines, in order; a line that does not have
// the layout comes back as "<bad line: ...>" so that it shows in the diff.
std::vector<std::string> Messages(const std::string& windowsPath) {
    std::vector<std::string> messages;
    for (const std::string& line : CrLfLines(ReadAll(windowsPath))) {
        std::smatch match;
        if (std::regex_match(line, match, kLine)) {
            messages.push_back(match[9]);
        } else {
            messages.push_back("<bad line: " + line + ">");
        }
    }
    return messages;
}

long long TimeKey(int month, int day, int hour, int minute, int second, int millisecond) {
    return ((((month * 32LL + day) * 24 + hour) * 60 + minute) * 60 + second) * 1000 + millisecond;
}

long long TimeKey(const SYSTEMTIME& t) {
    return TimeKey(t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
}

long long TimeKey(const std::smatch& m) {
    return TimeKey(std::stoi(m[3]), std::stoi(m[4]), std::stoi(m[5]), std::stoi(m[6]), std::stoi(m[7]),
                   std::stoi(m[8]));
}

class Loggers : public ::testing::Test {
protected:
    Loggers() {
        logtest::RemoveAll(SharedFile());
        logtest::RemoveAll(PrivateFile());
    }
    ~Loggers() override {
        logtest::RemoveAll(SharedFile());
        logtest::RemoveAll(PrivateFile());
    }

    static std::string SharedFile() { return LogFolder() + "KavoConnectMonitor.log"; }
    static std::string PrivateFile() { return LogFolder() + "KavoConnectMonitorEx.log"; }

    // Logs "level N" at each level from `from` to `to` through both loggers.
    static void LogLevels(IGlobalTools::ILog* shared, IGlobalTools::ILogEx* priv, int from, int to) {
        for (int level = from; level <= to; ++level) {
            shared->Log(level, "level %d", level);
            priv->Log(level, "level %d", level);
        }
    }

    static std::vector<std::string> Levels(std::initializer_list<int> levels) {
        std::vector<std::string> texts;
        for (int level : levels) {
            texts.push_back("level " + std::to_string(level));
        }
        return texts;
    }

    logtest::AppDataFolder appData;
    logtest::IniFile ini;
};

}  // namespace

// --- Line layout -----------------------------------------------------------

TEST_F(Loggers, line_has_prefix_message_and_cr_lf_on_disk) {
    Held<CLogEx> log(new CLogEx());
    SYSTEMTIME before;
    GetLocalTime(&before);
    log->Log(2, "[Success] OpenSession success hr = 0x%x", 0);
    SYSTEMTIME after;
    GetLocalTime(&after);

    const std::string text = ReadAll(PrivateFile());
    std::smatch match;
    ASSERT_TRUE(std::regex_match(text, match,
                                 std::regex(R"(\[(\d+)\] \[(\d+)\] (\d\d)-(\d\d) (\d\d):(\d\d):(\d\d):(\d\d\d) : )"
                                            R"(\[Success\] OpenSession success hr = 0x0\r\n)")))
        << "file holds: " << text;
    EXPECT_EQ(std::stoll(match[1]), static_cast<long long>(GetCurrentProcessId()));
    EXPECT_EQ(std::stoll(match[2]), static_cast<long long>(GetCurrentThreadId()));
    // Month before day, no year: the stamp lies between the two readings.
    EXPECT_LE(TimeKey(before), TimeKey(match));
    EXPECT_LE(TimeKey(match), TimeKey(after));
}

TEST_F(Loggers, every_line_ends_in_cr_lf_and_no_bare_line_feed) {
    Held<CLogEx> log(new CLogEx());
    log->Log(0, "first");
    log->Log(0, "second %d", 2);
    const std::string text = ReadAll(PrivateFile());
    EXPECT_EQ(Messages(PrivateFile()), (std::vector<std::string>{"first", "second 2"}));
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            ASSERT_GT(i, 0u);
            EXPECT_EQ(text[i - 1], '\r') << "bare line feed at " << i;
        }
    }
}

TEST_F(Loggers, percent_signs_in_arguments_are_written_unchanged) {
    Held<CLogEx> log(new CLogEx());
    log->Log(0, "[error] answer %s", "100%d %s %n %% %x");
    EXPECT_EQ(Messages(PrivateFile()), (std::vector<std::string>{"[error] answer 100%d %s %n %% %x"}));
}

TEST_F(Loggers, message_longer_than_511_characters_is_cut_at_511) {
    Held<CLogEx> log(new CLogEx());
    std::string huge(100 * 1024, 'x');
    for (size_t i = 0; i < huge.size(); i += 10) {
        huge[i] = static_cast<char>('0' + (i / 10) % 10);
    }
    const std::string exact(511, 'e');
    const std::string oneOver(512, 'o');

    log->Log(0, "%s", huge.c_str());
    log->Log(0, "%s", exact.c_str());
    log->Log(0, "%s", oneOver.c_str());
    log->Log(0, "after");

    EXPECT_EQ(Messages(PrivateFile()),
              (std::vector<std::string>{huge.substr(0, 511), exact, oneOver.substr(0, 511), "after"}));
}

// --- Thresholds ------------------------------------------------------------

TEST_F(Loggers, without_ini_shared_writes_only_negative_levels_private_up_to_five) {
    Held<CLog> shared(new CLog());
    Held<CLogEx> priv(new CLogEx());
    LogLevels(shared.get(), priv.get(), -2, 7);
    EXPECT_EQ(Messages(SharedFile()), Levels({-2, -1}));
    EXPECT_EQ(Messages(PrivateFile()), Levels({-2, -1, 0, 1, 2, 3, 4, 5}));
}

// Version 2 of the shared logger: lines up to a level also go to standard
// error, whatever the INI says, and only those; the file keeps its own rule.
TEST_F(Loggers, standard_error_gets_the_lines_up_to_its_level) {
    Held<CLog> shared(new CLog());
    ini.SetLevel("0");
    shared->SetStandardErrorLevel(2);
    ::testing::internal::CaptureStderr();
    for (int level = 0; level <= 3; ++level) shared->Log(level, "level %d", level);
    shared->SetStandardErrorLevel(-1);
    shared->Log(0, "level 0 again");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(Messages(SharedFile()), std::vector<std::string>({"level 0", "level 0 again"}));
    EXPECT_NE(std::string::npos, err.find(" : level 2\n")) << err;
    EXPECT_EQ(std::string::npos, err.find("level 3")) << err;
    EXPECT_EQ(std::string::npos, err.find("again")) << err;
    EXPECT_EQ(3, std::count(err.begin(), err.end(), '\n')) << err;
}

TEST_F(Loggers, ini_level_is_the_highest_level_written) {
    Held<CLog> shared(new CLog());
    Held<CLogEx> priv(new CLogEx());

    ini.SetLevel("0");
    LogLevels(shared.get(), priv.get(), -1, 3);
    EXPECT_EQ(Messages(SharedFile()), Levels({-1, 0}));
    EXPECT_EQ(Messages(PrivateFile()), Levels({-1, 0}));

    logtest::RemoveAll(SharedFile());
    logtest::RemoveAll(PrivateFile());
    ini.SetLevel("2");
    LogLevels(shared.get(), priv.get(), -1, 3);
    EXPECT_EQ(Messages(SharedFile()), Levels({-1, 0, 1, 2}));
    EXPECT_EQ(Messages(PrivateFile()), Levels({-1, 0, 1, 2}));
}

TEST_F(Loggers, negative_ini_level_silences_level_zero) {
    Held<CLogEx> priv(new CLogEx());
    ini.SetLevel("-1");
    priv->Log(0, "level 0");
    priv->Log(-1, "level -1");
    EXPECT_EQ(Messages(PrivateFile()), Levels({-1}));
}

TEST_F(Loggers, level_edited_between_calls_applies_to_the_next_call) {
    Held<CLog> shared(new CLog());
    Held<CLogEx> priv(new CLogEx());
    shared->Log(2, "level %d", 2);  // no INI: -1
    priv->Log(2, "level %d", 2);    // no INI: 5
    ini.SetLevel("2");
    shared->Log(2, "level %d", 2);
    priv->Log(2, "level %d", 2);
    ini.SetLevel("1");
    shared->Log(2, "level %d", 2);
    priv->Log(2, "level %d", 2);
    ini.Remove();
    shared->Log(2, "level %d", 2);
    priv->Log(2, "level %d", 2);
    EXPECT_EQ(Messages(SharedFile()), Levels({2}));
    EXPECT_EQ(Messages(PrivateFile()), Levels({2, 2, 2}));
}

TEST_F(Loggers, level_without_digits_counts_as_zero) {
    // Windows converts a value without digits to 0, not to the default.
    Held<CLog> shared(new CLog());
    Held<CLogEx> priv(new CLogEx());
    ini.SetLevel("verbose");
    LogLevels(shared.get(), priv.get(), 0, 1);
    EXPECT_EQ(Messages(SharedFile()), Levels({0}));
    EXPECT_EQ(Messages(PrivateFile()), Levels({0}));
}

TEST_F(Loggers, ini_without_the_key_or_section_keeps_the_defaults) {
    Held<CLog> shared(new CLog());
    Held<CLogEx> priv(new CLogEx());
    ini.Write("[OTHER]\r\nLOG_LV=9\r\n[BASE_CONFIG]\r\nLEVEL=9\r\n");
    LogLevels(shared.get(), priv.get(), -1, 6);
    EXPECT_EQ(Messages(SharedFile()), Levels({-1}));
    EXPECT_EQ(Messages(PrivateFile()), Levels({-1, 0, 1, 2, 3, 4, 5}));
}

// --- Files and folders -----------------------------------------------------

TEST_F(Loggers, construction_creates_the_log_folders) {
    if (!appData.Redirected()) {
        GTEST_SKIP() << "the common application-data folder cannot be redirected here";
    }
    const std::string package = logtest::WithBackslash(logtest::CommonAppData()) + "Quendra Driver Package";
    ASSERT_FALSE(logtest::Exists(package));
    Held<CLogEx> priv(new CLogEx());
    EXPECT_TRUE(logtest::Exists(package));
    EXPECT_TRUE(logtest::Exists(LogFolder()));
    EXPECT_FALSE(logtest::Exists(PrivateFile())) << "no file before the first written line";
}

TEST_F(Loggers, deleted_log_file_is_created_again_by_the_next_line) {
    Held<CLogEx> priv(new CLogEx());
    priv->Log(0, "one");
    logtest::RemoveAll(PrivateFile());
    ASSERT_FALSE(logtest::Exists(PrivateFile()));
    priv->Log(0, "two");
    EXPECT_EQ(Messages(PrivateFile()), (std::vector<std::string>{"two"}));
}

TEST_F(Loggers, missing_log_folder_drops_lines_until_it_is_back) {
    Held<CLog> shared(new CLog());
    Held<CLogEx> priv(new CLogEx());
    ini.SetLevel("2");
    logtest::RemoveAll(LogFolder());
    shared->Log(0, "dropped");
    priv->Log(0, "dropped");
    EXPECT_FALSE(logtest::Exists(LogFolder())) << "a logger creates folders only when constructed";

    std::filesystem::create_directories(logtest::Slashed(LogFolder()));
    shared->Log(0, "kept");
    priv->Log(0, "kept");
    EXPECT_EQ(Messages(SharedFile()), (std::vector<std::string>{"kept"}));
    EXPECT_EQ(Messages(PrivateFile()), (std::vector<std::string>{"kept"}));
}

TEST_F(Loggers, set_log_path_redirects_lines_and_keeps_the_ini_path) {
    Held<CLogEx> priv(new CLogEx());
    const std::string other = LogFolder() + "other.log";
    logtest::RemoveAll(other);
    priv->SetLogPath(other.c_str());
    ini.SetLevel("1");
    priv->Log(1, "to other");
    priv->Log(2, "filtered by the INI");
    EXPECT_EQ(Messages(other), (std::vector<std::string>{"to other"}));
    EXPECT_FALSE(logtest::Exists(PrivateFile()));

    priv->SetLogPath((LogFolder() + "missing\\folder.log").c_str());
    priv->Log(0, "dropped");
    EXPECT_FALSE(logtest::Exists(LogFolder() + "missing"));
    EXPECT_EQ(Messages(other), (std::vector<std::string>{"to other"}));
    logtest::RemoveAll(other);
}

TEST_F(Loggers, private_loggers_append_to_the_same_file) {
    void* first = nullptr;
    void* second = nullptr;
    ASSERT_EQ(CreateToolInstance(IID_ILogEx, &first), 1);
    ASSERT_EQ(CreateToolInstance(IID_ILogEx, &second), 1);
    Held<IGlobalTools::ILogEx> a(static_cast<IGlobalTools::ILogEx*>(first));
    Held<IGlobalTools::ILogEx> b(static_cast<IGlobalTools::ILogEx*>(second));
    ASSERT_NE(a.get(), b.get());
    a->Log(0, "a1");
    b->Log(0, "b1");
    a->Log(0, "a2");
    b.reset();
    a->Log(0, "a3");
    EXPECT_EQ(Messages(PrivateFile()), (std::vector<std::string>{"a1", "b1", "a2", "a3"}));
}

TEST_F(Loggers, too_long_log_folder_gives_up_the_log_file) {
    // "\Quendra Driver Package\logs\" adds 29 characters to the folder, so a
    // folder of 230 characters is the longest that still fits 259.
    for (size_t length : {230u, 231u, 240u, 258u, 259u}) {
        SCOPED_TRACE("application-data folder of " + std::to_string(length) + " characters");
        logtest::AppDataFolder longFolder(length);
        if (!longFolder.Redirected()) {
            GTEST_SKIP() << "the common application-data folder cannot be redirected here";
        }
        ASSERT_EQ(logtest::CommonAppData().size(), length);
        Held<CLogEx> priv(new CLogEx());
        priv->Log(0, "long folder");
        if (length <= 230) {
            EXPECT_EQ(Messages(PrivateFile()), (std::vector<std::string>{"long folder"}));
        } else {
            EXPECT_FALSE(logtest::Exists(LogFolder())) << "no logs folder beyond 259 characters";
            EXPECT_FALSE(logtest::Exists(PrivateFile()));
        }
    }
}

// --- Concurrency -----------------------------------------------------------

TEST_F(Loggers, lines_from_many_threads_never_interleave) {
    Held<CLog> shared(new CLog());
    ini.SetLevel("2");
    const int kThreads = 4;
    const int kLines = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&shared, t] {
            for (int n = 0; n < kLines; ++n) {
                shared->Log(2, "thread %d line %d", t, n);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    const std::vector<std::string> lines = CrLfLines(ReadAll(SharedFile()));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    long long previousTime = 0;
    for (const std::string& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, kLine)) << line;
        const std::string message = match[9];
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(message, parts, std::regex(R"(thread (\d) line (\d+))"))) << line;
        const int t = std::stoi(parts[1]);
        EXPECT_EQ(std::stoi(parts[2]), next[t]++) << "lines of one thread out of order";
        // The time is read under the lock, so stamps follow the file order.
        EXPECT_LE(previousTime, TimeKey(match));
        previousTime = TimeKey(match);
    }
}

// --- The shared logger -----------------------------------------------------

TEST_F(Loggers, each_get_shared_log_adds_one_reference_to_the_same_object) {
    Held<IGlobalTools::ILog> first(GetSharedLog());
    const int before = first->AddRef();
    first->Release();
    Held<IGlobalTools::ILog> second(GetSharedLog());
    EXPECT_EQ(second.get(), first.get());
    EXPECT_EQ(first->AddRef(), before + 1);
    first->Release();
}

TEST_F(Loggers, shared_logger_outlives_its_holders_and_shares_its_path) {
    void* first = nullptr;
    void* second = nullptr;
    ASSERT_EQ(CreateToolInstance(IID_ILog, &first), 1);
    ASSERT_EQ(CreateToolInstance(IID_ILog, &second), 1);
    ASSERT_EQ(first, second);
    IGlobalTools::ILog* a = static_cast<IGlobalTools::ILog*>(first);
    IGlobalTools::ILog* b = static_cast<IGlobalTools::ILog*>(second);

    // The shared logger may have been built for another test's folder.
    std::filesystem::create_directories(logtest::Slashed(LogFolder()));
    const std::string other = LogFolder() + "shared-other.log";
    a->SetLogPath(other.c_str());
    ini.SetLevel("0");
    b->Log(0, "through b");
    a->Release();
    b->Release();

    Held<IGlobalTools::ILog> again(GetSharedLog());
    EXPECT_EQ(again.get(), a);
    again->Log(0, "after both released");
    EXPECT_EQ(Messages(other), (std::vector<std::string>{"through b", "after both released"}));
    logtest::RemoveAll(other);
}

namespace {

// These run in a process of their own (a death-test child), where
// GetSharedLog has not been called yet. They return 0 when the checks hold,
// else the number of the failed check, which becomes the exit status.
int FirstCallCount() {
    logtest::AppDataFolder appData;
    IGlobalTools::ILog* log = GetSharedLog();
    int failed = 0;
    if (log->AddRef() != 4) {  // the first call hands out the count 3
        failed = 1;
    } else if (GetSharedLog() != log || log->AddRef() != 6) {  // each later call adds 1
        failed = 2;
    }
    return failed;
}

int ConcurrentFirstCalls() {
    logtest::AppDataFolder appData;
    const int kThreads = 8;
    std::vector<IGlobalTools::ILog*> got(kThreads, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&got, t] { got[t] = GetSharedLog(); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    int failed = 0;
    for (IGlobalTools::ILog* log : got) {
        if (log == nullptr || log != got[0]) {
            failed = 1;
        }
    }
    // Two references from the creation, one per call, one for this AddRef.
    if (failed == 0 && got[0]->AddRef() != 2 + kThreads + 1) {
        failed = 2;
    }
    return failed;
}

}  // namespace

TEST(SharedLogFirstUse, first_call_hands_out_the_count_three) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(FirstCallCount()), ::testing::ExitedWithCode(0), "");
}

TEST(SharedLogFirstUse, concurrent_first_calls_create_one_logger) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(ConcurrentFirstCalls()), ::testing::ExitedWithCode(0), "");
}
