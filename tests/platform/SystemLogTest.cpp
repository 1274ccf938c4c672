// The system log stand-in: capture, levels, exact texts, line layout, concurrency.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/LogLimiter.hpp"
#include "platform/LogLine.hpp"
#include "platform/SystemLog.hpp"

namespace platform {
namespace {

struct Captured {
    std::mutex mutex;
    std::vector<LogRecord> records;
    LogSink sink() {
        return [this](const LogRecord& r) {
            std::lock_guard lock(mutex);
            records.push_back(r);
        };
    }
};

class SystemLogTest : public ::testing::Test {
protected:
    void SetUp() override { setMinimumLogType(LogType::defaultType); }
    void TearDown() override { setMinimumLogType(LogType::defaultType); }
};

TEST_F(SystemLogTest, CaptureGetsFormatLikeTextsUnharmed) {
    Captured captured;
    LogCapture capture(captured.sink());
    const SystemLog log("com.veltrix.kiv.KIVDNSProxy", "provider");
    const std::vector<std::string> texts = {"%s%n", "100% done %d %@ %{public}@", "", "line\nbreak",
                                            std::string("nul\0inside", 10)};
    for (const auto& text : texts) log.error(text);
    ASSERT_EQ(captured.records.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(captured.records[i].message, texts[i]);
        EXPECT_EQ(captured.records[i].subsystem, "com.veltrix.kiv.KIVDNSProxy");
        EXPECT_EQ(captured.records[i].category, "provider");
        EXPECT_EQ(captured.records[i].type, LogType::error);
    }
}

TEST_F(SystemLogTest, CaptureReceivesEveryTypeWhateverTheMinimum) {
    setMinimumLogType(LogType::error);
    const SystemLog log("sub", "cat");
    EXPECT_FALSE(log.enabled(LogType::debug));
    Captured captured;
    {
        LogCapture capture(captured.sink());
        for (LogType type :
             {LogType::debug, LogType::info, LogType::defaultType, LogType::error, LogType::fault}) {
            EXPECT_TRUE(log.enabled(type));
            log.log(type, "x");
        }
        log.debug("d");
        log.info("i");
        log.notice("n");
    }
    EXPECT_FALSE(log.enabled(LogType::debug));
    EXPECT_TRUE(log.enabled(LogType::error));
    ASSERT_EQ(captured.records.size(), 8u);
    EXPECT_EQ(captured.records[5].type, LogType::debug);
    EXPECT_EQ(captured.records[6].type, LogType::info);
    EXPECT_EQ(captured.records[7].type, LogType::defaultType);
}

struct Threshold {
    LogType minimum;
    LogType type;
    bool enabled;
};

class LogThreshold : public ::testing::TestWithParam<Threshold> {};

TEST_P(LogThreshold, EnabledFollowsMinimumType) {
    setMinimumLogType(GetParam().minimum);
    EXPECT_EQ(SystemLog("s", "c").enabled(GetParam().type), GetParam().enabled);
    setMinimumLogType(LogType::defaultType);
}

INSTANTIATE_TEST_SUITE_P(Table, LogThreshold,
                         ::testing::Values(Threshold{LogType::debug, LogType::debug, true},
                                           Threshold{LogType::info, LogType::debug, false},
                                           Threshold{LogType::info, LogType::info, true},
                                           Threshold{LogType::defaultType, LogType::info, false},
                                           Threshold{LogType::defaultType, LogType::defaultType, true},
                                           Threshold{LogType::error, LogType::defaultType, false},
                                           Threshold{LogType::error, LogType::fault, true}));

TEST_F(SystemLogTest, CapturesNestAndRestore) {
    Captured outer, inner;
    const SystemLog log("s", "c");
    {
        LogCapture first(outer.sink());
        log.error("one");
        {
            LogCapture second(inner.sink());
            log.error("two");
        }
        log.error("three");
    }
    ASSERT_EQ(outer.records.size(), 2u);
    EXPECT_EQ(outer.records[0].message, "one");
    EXPECT_EQ(outer.records[1].message, "three");
    ASSERT_EQ(inner.records.size(), 1u);
    EXPECT_EQ(inner.records[0].message, "two");
}

TEST_F(SystemLogTest, SinkMayLogItself) {
    std::vector<std::string> seen;
    const SystemLog log("s", "c");
    LogCapture capture([&](const LogRecord& r) {
        seen.push_back(r.message);
        if (r.message == "first") log.error("from the sink");
    });
    log.error("first");
    EXPECT_EQ(seen, (std::vector<std::string>{"first", "from the sink"}));
}

TEST_F(SystemLogTest, NsLogReachesCaptureWithoutSubsystem) {
    Captured captured;
    LogCapture capture(captured.sink());
    nsLog("DNSProxyProvider no endpoint %@");
    ASSERT_EQ(captured.records.size(), 1u);
    EXPECT_EQ(captured.records[0].message, "DNSProxyProvider no endpoint %@");
    EXPECT_EQ(captured.records[0].subsystem, "");
    EXPECT_EQ(captured.records[0].category, "");
    EXPECT_EQ(captured.records[0].type, LogType::defaultType);
}

TEST_F(SystemLogTest, ManyThreadsLogging) {
    constexpr int kThreads = 8;
    constexpr int kEach = 500;
    Captured captured;
    LogCapture capture(captured.sink());
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const SystemLog log("sub", "thread" + std::to_string(t));
            for (int i = 0; i < kEach; ++i) {
                if (log.enabled(LogType::debug)) log.debug(std::to_string(i));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(captured.records.size(), static_cast<std::size_t>(kThreads * kEach));
    std::vector<int> next(kThreads, 0);
    for (const auto& record : captured.records) {
        const int t = std::stoi(record.category.substr(6));
        ASSERT_EQ(record.message, std::to_string(next[t])) << record.category;
        ++next[t];
    }
}

// Installing and removing captures while other threads log: a sink is never called
// after its capture is gone.
TEST_F(SystemLogTest, CaptureSwapWhileLogging) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> loggers;
    for (int t = 0; t < 4; ++t) {
        loggers.emplace_back([&] {
            const SystemLog log("sub", "swap");
            while (!stop) log.debug("x");
        });
    }
    for (int round = 0; round < 200; ++round) {
        auto alive = std::make_unique<bool>(true);
        {
            LogCapture capture([flag = alive.get()](const LogRecord&) { EXPECT_TRUE(*flag); });
        }
        *alive = false;  // a late call would see this (or, under ASan, the freed flag)
    }
    stop = true;
    for (auto& logger : loggers) logger.join();
}

TEST(LogLine, TypeNames) {
    EXPECT_EQ(logTypeName(LogType::debug), "debug");
    EXPECT_EQ(logTypeName(LogType::info), "info");
    EXPECT_EQ(logTypeName(LogType::defaultType), "default");
    EXPECT_EQ(logTypeName(LogType::error), "error");
    EXPECT_EQ(logTypeName(LogType::fault), "fault");
}

TEST(LogLine, TimeAndBodyLayout) {
    std::tm local{};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 11;
    local.tm_mday = 9;
    local.tm_hour = 4;
    local.tm_min = 41;
    local.tm_sec = 9;
    EXPECT_EQ(formatLogTime(local, 123), "2026-12-09 04:41:09.123");
    EXPECT_EQ(formatLogTime(local, 7), "2026-12-09 04:41:09.007");
    EXPECT_EQ(formatLogBody("com.veltrix.kiv.KIVDNSProxy", "filter", LogType::debug, "a %s%n b"),
              "com.veltrix.kiv.KIVDNSProxy [filter] debug: a %s%n b");
}

// The standard error line, taken by pointing descriptor 2 at a temporary file.
class StandardErrorLine : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = ::testing::TempDir() + "kiv-systemlog-XXXXXX";
        fd_ = ::mkstemp(path_.data());
        ASSERT_GE(fd_, 0);
        saved_ = ::dup(STDERR_FILENO);
        ASSERT_GE(saved_, 0);
        ASSERT_EQ(::dup2(fd_, STDERR_FILENO), STDERR_FILENO);
    }
    std::string restoreAndRead() {
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        ::close(fd_);
        saved_ = fd_ = -1;
        std::ifstream in(path_);
        std::stringstream text;
        text << in.rdbuf();
        ::unlink(path_.c_str());
        return text.str();
    }
    void TearDown() override {
        if (saved_ >= 0) restoreAndRead();
    }
    // "YYYY-MM-DD HH:MM:SS.mmm " at the start of `line`.
    static bool startsWithTime(const std::string& line) {
        const std::string shape = "dddd-dd-dd dd:dd:dd.ddd ";
        if (line.size() < shape.size()) return false;
        for (std::size_t i = 0; i < shape.size(); ++i) {
            if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i]) {
                return false;
            }
        }
        return true;
    }

    std::string path_;
    int fd_ = -1;
    int saved_ = -1;
};

TEST_F(StandardErrorLine, SystemLogWritesOneLineWithTimeAndFields) {
    setLogOutput(LogOutput::standardError);
    setMinimumLogType(LogType::defaultType);
    SystemLog("com.veltrix.kiv.KIVDNSProxy", "app").error("reply %s%n 100%");
    SystemLog("com.veltrix.kiv.KIVDNSProxy", "app").info("not written");
    const std::string text = restoreAndRead();
    ASSERT_TRUE(startsWithTime(text)) << text;
    EXPECT_EQ(text.substr(24), "com.veltrix.kiv.KIVDNSProxy [app] error: reply %s%n 100%\n");
}

TEST_F(StandardErrorLine, NsLogWritesProcessNameAndIds) {
    setMinimumLogType(LogType::error);  // NSLog is written whatever the minimum
    nsLog("DNSProxyProvider edns hex: 00%s");
    setMinimumLogType(LogType::defaultType);
    const std::string text = restoreAndRead();
    ASSERT_TRUE(startsWithTime(text)) << text;
    const std::string expectedStart =
        std::string(program_invocation_short_name) + "[" + std::to_string(::getpid()) + ":";
    EXPECT_EQ(text.substr(24, expectedStart.size()), expectedStart);
    const std::string expectedEnd = "] DNSProxyProvider edns hex: 00%s\n";
    ASSERT_GE(text.size(), expectedEnd.size());
    EXPECT_EQ(text.substr(text.size() - expectedEnd.size()), expectedEnd);
}

// KIV_LOG_LEVEL is read once per process, so each case runs in a fresh one.
struct EnvironmentCase {
    const char* value;
    LogType lowestEnabled;
};

class LogLevelEnvironment : public ::testing::TestWithParam<EnvironmentCase> {};

TEST_P(LogLevelEnvironment, SetsLowestTypeWritten) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto& c = GetParam();
    EXPECT_EXIT(
        {
            ::setenv("KIV_LOG_LEVEL", c.value, 1);
            const SystemLog log("s", "c");
            bool right = true;
            for (LogType type : {LogType::debug, LogType::info, LogType::defaultType, LogType::error}) {
                right = right && log.enabled(type) == (type >= c.lowestEnabled);
            }
            ::setenv("KIV_LOG_LEVEL", "debug", 1);  // read once: a later change is ignored
            right = right && log.enabled(LogType::debug) == (LogType::debug >= c.lowestEnabled);
            std::_Exit(right ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Values, LogLevelEnvironment,
                         ::testing::Values(EnvironmentCase{"debug", LogType::debug},
                                           EnvironmentCase{"info", LogType::info},
                                           EnvironmentCase{"default", LogType::defaultType},
                                           EnvironmentCase{"error", LogType::error},
                                           EnvironmentCase{"", LogType::defaultType},
                                           EnvironmentCase{"verbose", LogType::defaultType},
                                           EnvironmentCase{"DEBUG", LogType::defaultType}));

TEST(LogLevelEnvironmentWarning, UnknownValueIsReportedOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ::setenv("KIV_LOG_LEVEL", "verbose", 1);
            (void)SystemLog("s", "c").enabled(LogType::info);
            (void)SystemLog("s", "c").enabled(LogType::info);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "KIV_LOG_LEVEL: unknown level \"verbose\"");
}

// ---- lines a flood would repeat ----

struct LimitCase {
    const char* name;
    // Monotonic times at which a line is due, and whether each goes out.
    std::vector<std::pair<std::chrono::nanoseconds, bool>> lines;
    friend void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.name; }
};

class LogLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(LogLimit, LetsTheFirstLineOutThenOnePerTenSeconds) {
    LogLimiter limiter;
    for (const auto& [at, out] : GetParam().lines) EXPECT_EQ(limiter.allow(at), out) << at.count() << " ns";
}

using std::chrono::nanoseconds;
using std::chrono::seconds;

INSTANTIATE_TEST_SUITE_P(
    Table, LogLimit,
    ::testing::Values(LimitCase{"first_at_time_zero",
                                {{seconds(0), true}, {seconds(5), false}, {seconds(10), true}}},
                      // The quiet time runs from the last line let out, not from the last suppressed one.
                      LimitCase{"within_ten_seconds_suppressed",
                                {{seconds(100), true},
                                 {seconds(100), false},
                                 {seconds(110) - nanoseconds(1), false},
                                 {seconds(110), true},
                                 {seconds(119), false},
                                 {seconds(125), true}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LogLimitRace, OneOfTheCallersAtOneInstantIsLetThrough) {
    LogLimiter limiter;
    std::atomic<int> out{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 8; ++i) callers.emplace_back([&] { out += limiter.allow(seconds(1)) ? 1 : 0; });
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(out.load(), 1);
}

}  // namespace
}  // namespace platform
