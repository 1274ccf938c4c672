// The application logger end to end: into a temporary application folder, through the main
// queue, onto standard output and into KIV.log.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "DeviceConfigurations.hpp"
#include "LoggerTestSupport.hpp"
#include "app/Logger/KIVLogger.hpp"
#include "app/Logger/LogDebugDefault.hpp"
#include "app/support/AppDirectory.hpp"
#include "platform/Dispatch.hpp"

namespace kiv {
namespace {

using model::LogLevel;
using testing::configurationWithLevel;

void turnMainLoop() {
    while (platform::runMainLoopOnce(std::chrono::milliseconds(0))) {
    }
}

class KIVLoggerTest : public testing::FacilityTest {
protected:
    void SetUp() override {
        FacilityTest::SetUp();
        turnMainLoop();
        installLogDebugStore(nullptr, nullptr);
        writeLogDebug(std::nullopt);
    }
    void TearDown() override {
        turnMainLoop();
        FacilityTest::TearDown();
    }

    KIVLogger::Environment environment(std::optional<std::string> version = "2.5.1",
                                       std::optional<std::string> build = "42") {
        KIVLogger::Environment env = KIVLogger::defaultEnvironment();
        env.appVersion = std::move(version);
        env.buildVersion = std::move(build);
        env.destinations = testing::fixedEnvironment();
        return env;
    }

    // Runs the main queue, then waits for the destinations to write.
    void settle(const KIVLogger& logger) {
        turnMainLoop();
        if (auto console = logger.consoleDestination()) testing::drain(*console);
        if (auto file = logger.fileDestination()) testing::drain(*file);
    }

    std::filesystem::path logFile() const { return dataHome() / "BrannockCloud" / "KIV.log"; }
    std::filesystem::path dataHome() const { return temp_.path() / ".local" / "share"; }

    testing::TemporaryFolder temp_;
    testing::ScopedEnvironment home_{"KIV_HOME", temp_.path().string()};
    testing::CapturedOutput output_;
};

std::vector<std::string> sorted(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST_F(KIVLoggerTest, ProductionMessageReachesStandardOutputTwiceAndTheFileOnce) {
    auto logger = std::make_shared<KIVLogger>(environment());
    logger->log("hello", LogLevel::production);
    EXPECT_FALSE(logger->hasSetup());  // nothing happens before the main queue runs
    EXPECT_TRUE(output_.lines().empty());
    settle(*logger);
    EXPECT_TRUE(logger->hasSetup());
    EXPECT_EQ(LogFacility::countDestinations(), 2);
    EXPECT_EQ(sorted(output_.lines()),
              sorted({"09:07:09 VERBOSE 2.5.1 (42) :  hello", "verbose 2.5.1 (42) :  hello"}));
    EXPECT_EQ(testing::readFile(logFile()), "2024-03-05 09:07:09.123 VERBOSE: 2.5.1 (42) :  hello\n");
}

TEST_F(KIVLoggerTest, DiagnoseMessageIsLoggedAtDebug) {
    auto logger = std::make_shared<KIVLogger>(environment());
    logger->log("details  ", LogLevel::diagnose);
    settle(*logger);
    EXPECT_EQ(sorted(output_.lines()),
              sorted({"09:07:09 DEBUG 2.5.1 (42) :  details", "diagnose 2.5.1 (42) :  details  "}));
    EXPECT_EQ(testing::readFile(logFile()), "2024-03-05 09:07:09.123 DEBUG: 2.5.1 (42) :  details\n");
}

TEST_F(KIVLoggerTest, WarningAndNoneProduceNothingButSetUpStillRuns) {
    auto logger = std::make_shared<KIVLogger>(environment());
    logger->log("w", LogLevel::warning);
    logger->log("n", LogLevel::none);
    settle(*logger);
    EXPECT_TRUE(logger->hasSetup());
    EXPECT_TRUE(output_.lines().empty());
    EXPECT_FALSE(std::filesystem::exists(logFile()));
}

TEST_F(KIVLoggerTest, SetUpMakesTheCachesFolderAndAttachesOnce) {
    auto logger = std::make_shared<KIVLogger>(environment());
    logger->log("a", LogLevel::production);
    logger->log("b", LogLevel::production);
    settle(*logger);
    EXPECT_EQ(LogFacility::countDestinations(), 2);
    EXPECT_TRUE(std::filesystem::is_directory(temp_.path() / ".cache" / program_invocation_short_name));
    EXPECT_EQ(logger->fileDestination()->logFileURL, logFile());
    EXPECT_EQ(logger->consoleDestination()->format, KIVLogger::kConsoleFormat);
    EXPECT_EQ(logger->fileDestination()->format, KIVLogger::kFileFormat);
}

TEST_F(KIVLoggerTest, NoApplicationFolderMeansNoFileButConsoleGoesOn) {
    auto env = environment();
    env.applicationDirectory = [](std::error_code& error) {
        error = std::make_error_code(std::errc::permission_denied);
        return std::filesystem::path();
    };
    auto logger = std::make_shared<KIVLogger>(env);
    logger->log("still here", LogLevel::production);
    settle(*logger);
    EXPECT_FALSE(logger->fileDestination()->logFileURL);
    EXPECT_EQ(output_.lines().size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(logFile()));
}

TEST_F(KIVLoggerTest, MissingVersionValuesLeaveEmptyParentheses) {
    auto logger = std::make_shared<KIVLogger>(environment(std::nullopt, std::nullopt));
    EXPECT_EQ(logger->versionPrefix(), " () :  ");
    logger->log("m", LogLevel::production);
    settle(*logger);
    EXPECT_EQ(testing::readFile(logFile()), "2024-03-05 09:07:09.123 VERBOSE:  () :  m\n");
}

// The version texts come from the program's Info.plist, as the build writes it.
TEST_F(KIVLoggerTest, DefaultVersionsComeFromTheMainBundle) {
    const auto bundle = temp_.path() / "bundle";
    std::filesystem::create_directories(bundle);
    std::ofstream(bundle / "Info.plist")
        << R"({"CFBundleShortVersionString": "3.1.4", "CFBundleVersion": 77})";
    testing::ScopedEnvironment mainBundle{"KIV_MAIN_BUNDLE", bundle.string()};
    const KIVLogger::Environment env = KIVLogger::defaultEnvironment();
    EXPECT_EQ(env.appVersion, "3.1.4");
    EXPECT_EQ(env.buildVersion, std::nullopt);  // not text
}

TEST_F(KIVLoggerTest, LinesFromManyThreadsKeepTheMainQueueOrder) {
    auto logger = std::make_shared<KIVLogger>(environment("1", "1"));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&logger, t] {
            for (int i = 0; i < 50; ++i)
                logger->log(std::to_string(t) + "-" + std::to_string(i), LogLevel::production);
        });
    }
    for (auto& t : threads) t.join();
    settle(*logger);
    // The direct lines are printed by the main-queue tasks themselves, so they give the order in
    // which those tasks ran; the file must hold the same messages in that order.
    std::vector<std::string> mainOrder;
    for (const std::string& line : output_.lines()) {
        if (line.rfind("verbose ", 0) == 0)
            mainOrder.push_back(line.substr(std::string("verbose 1 (1) :  ").size()));
    }
    std::vector<std::string> fileOrder;
    std::istringstream file(testing::readFile(logFile()));
    const std::string filePrefix = "2024-03-05 09:07:09.123 VERBOSE: 1 (1) :  ";
    for (std::string line; std::getline(file, line);) fileOrder.push_back(line.substr(filePrefix.size()));
    ASSERT_EQ(mainOrder.size(), 200u);
    EXPECT_EQ(fileOrder, mainOrder);
    // And each thread's own messages stay in its order.
    for (int t = 0; t < 4; ++t) {
        int next = 0;
        for (const std::string& m : fileOrder) {
            if (m.rfind(std::to_string(t) + "-", 0) == 0) {
                EXPECT_EQ(m, std::to_string(t) + "-" + std::to_string(next++));
            }
        }
        EXPECT_EQ(next, 50);
    }
}

TEST_F(KIVLoggerTest, ALoggerGoneBeforeTheMainQueueRunsLogsNothing) {
    auto logger = std::make_shared<KIVLogger>(environment());
    logger->log("lost", LogLevel::production);
    logger.reset();
    turnMainLoop();
    EXPECT_TRUE(output_.lines().empty());
    EXPECT_EQ(LogFacility::countDestinations(), 0);
}

TEST_F(KIVLoggerTest, HeldConfigurationStoresItsLevelAndKeepsLogging) {
    auto logger = std::make_shared<KIVLogger>(environment());
    logger->setDeviceConfigResponse(configurationWithLevel(LogLevel::diagnose));
    logger->log("a", LogLevel::production);
    EXPECT_EQ(readLogDebug(), true);
    logger->setDeviceConfigResponse(configurationWithLevel(LogLevel::none));
    logger->log("b", LogLevel::production);
    EXPECT_EQ(readLogDebug(), std::nullopt);
    logger->setDeviceConfigResponse(configurationWithLevel(std::nullopt));
    logger->log("c", LogLevel::production);
    EXPECT_EQ(readLogDebug(), std::nullopt);
    settle(*logger);
    EXPECT_EQ(output_.lines().size(), 6u);  // the logger's own level (production) gates, not the server's
}

TEST_F(KIVLoggerTest, ConfigurationMayChangeWhileOthersLog) {
    auto logger = std::make_shared<KIVLogger>(environment());
    std::thread writer([&logger] {
        for (int i = 0; i < 200; ++i)
            logger->setDeviceConfigResponse(configurationWithLevel(LogLevel::production));
    });
    for (int i = 0; i < 200; ++i) logger->log("x", LogLevel::production);
    writer.join();
    settle(*logger);
    EXPECT_EQ(output_.lines().size(), 400u);
}

TEST_F(KIVLoggerTest, LevelIsStoredOnlyWhenItChanges) {
    std::vector<std::optional<bool>> written;
    installLogDebugStore([&](std::optional<bool> v) { written.push_back(v); },
                         [] { return std::optional<bool>(); });
    auto logger = std::make_shared<KIVLogger>(environment());
    const std::optional<LogLevel> levels[] = {LogLevel::diagnose, LogLevel::diagnose, LogLevel::none,
                                              std::nullopt,       LogLevel::none,     LogLevel::production};
    for (const auto& level : levels) {
        logger->setDeviceConfigResponse(configurationWithLevel(level));
        logger->log("a", LogLevel::production);
        logger->log("b", LogLevel::production);
    }
    installLogDebugStore(nullptr, nullptr);
    EXPECT_EQ(written, (std::vector<std::optional<bool>>{true, std::nullopt, true}));
}

TEST(KIVLoggerLevelSetter, StoresLogDebug) {
    installLogDebugStore(nullptr, nullptr);
    KIVLogger::setLogLevel(LogLevel::warning);
    EXPECT_EQ(readLogDebug(), true);
    KIVLogger::setLogLevel(LogLevel::none);
    EXPECT_EQ(readLogDebug(), std::nullopt);
    std::vector<std::optional<bool>> written;
    installLogDebugStore([&](std::optional<bool> v) { written.push_back(v); },
                         [] { return std::optional<bool>(); });
    KIVLogger::setLogLevel(LogLevel::production);
    KIVLogger::setLogLevel(LogLevel::none);
    installLogDebugStore(nullptr, nullptr);
    EXPECT_EQ(written, (std::vector<std::optional<bool>>{true, std::nullopt}));
}

struct VersionCase {
    std::optional<std::string> appVersion;
    std::optional<std::int64_t> major;
    std::optional<std::int64_t> minor;
};

class KIVLoggerVersions : public ::testing::TestWithParam<VersionCase> {};

TEST_P(KIVLoggerVersions, MajorAndMinor) {
    const VersionCase& c = GetParam();
    EXPECT_EQ(KIVLogger::majorVersion(c.appVersion), c.major);
    EXPECT_EQ(KIVLogger::minorVersion(c.appVersion), c.minor);
}

INSTANTIATE_TEST_SUITE_P(
    Table, KIVLoggerVersions,
    ::testing::Values(VersionCase{"2.5.1", 2, 5}, VersionCase{"2.5", 2, std::nullopt},
                      VersionCase{"3", std::nullopt, std::nullopt}, VersionCase{"2.x.1", 2, std::nullopt},
                      VersionCase{std::nullopt, std::nullopt, std::nullopt},
                      VersionCase{"", std::nullopt, std::nullopt}, VersionCase{".5.1", std::nullopt, 5},
                      VersionCase{"2..1", 2, std::nullopt}, VersionCase{"10.20.30.40", 10, 20},
                      VersionCase{" 2.5.1", std::nullopt, 5},
                      VersionCase{"99999999999999999999.1.0", std::nullopt, 1}));

}  // namespace
}  // namespace kiv
